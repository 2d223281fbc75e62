#include "TarvelPluginBridge/PluginBridgeScanResult.h"

#include "TarvelPluginBridge/PluginBridgeText.h"

#include <nlohmann/json.hpp>

namespace {

using ordered = nlohmann::ordered_json;
constexpr std::string_view kAudioModuleClass = "Audio Module Class";

ordered classJSON(const PluginBridgeScannedClass& c) {
    ordered o = ordered::object();
    o["cid"] = c.cid;
    o["name"] = c.name;
    o["vendor"] = c.vendor;
    o["category"] = c.category;
    o["subCategories"] = c.subCategories;
    return o;
}

ordered classListJSON(const std::vector<PluginBridgeScannedClass>& list) {
    ordered a = ordered::array();
    for (const auto& c : list) a.push_back(classJSON(c));
    return a;
}

// The report is read by parents whose JSON writers escape "/"; write it the
// same way so that both ends produce identical bytes. A "/" can only occur
// inside a JSON string, so escaping every one is safe.
std::string escapingSlashes(const std::string& json) {
    std::string out;
    out.reserve(json.size() + 16);
    for (char ch : json) {
        if (ch == '/') out += '\\';
        out += ch;
    }
    return out;
}

bool readString(const nlohmann::json& o, const char* key, std::string& into) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return false;
    into = it->get<std::string>();
    return true;
}

std::optional<std::vector<PluginBridgeScannedClass>> readClassList(const nlohmann::json& a) {
    if (!a.is_array()) return std::nullopt;
    std::vector<PluginBridgeScannedClass> list;
    for (const auto& o : a) {
        if (!o.is_object()) return std::nullopt;
        PluginBridgeScannedClass c;
        if (!readString(o, "cid", c.cid) || !readString(o, "name", c.name) ||
            !readString(o, "vendor", c.vendor) || !readString(o, "category", c.category) ||
            !readString(o, "subCategories", c.subCategories)) {
            return std::nullopt;
        }
        list.push_back(std::move(c));
    }
    return list;
}

} // namespace

bool PluginBridgeScannedClass::hasInstrumentTag() const {
    std::string_view rest = subCategories;
    while (true) {
        const auto bar = rest.find('|');
        if (rest.substr(0, bar) == "Instrument") return true;
        if (bar == std::string_view::npos) return false;
        rest.remove_prefix(bar + 1);
    }
}

bool PluginBridgeScannedClass::isInstrument() const {
    return category == kAudioModuleClass && hasInstrumentTag();
}

bool PluginBridgeScannedClass::isProcessingEffect() const {
    return category == kAudioModuleClass && !hasInstrumentTag();
}

PluginBridgeScanResult PluginBridgeScanResult::sorting(std::string path, std::string vendor,
                                                       const std::vector<PluginBridgeScannedClass>& all) {
    PluginBridgeScanResult result;
    result.path = std::move(path);
    result.vendor = std::move(vendor);
    result.instrumentClasses.emplace();
    for (const auto& c : all) {
        if (c.isProcessingEffect()) result.classes.push_back(c);
        else if (c.isInstrument()) result.instrumentClasses->push_back(c);
    }
    return result;
}

std::optional<std::string> PluginBridgeScanResult::toJSON() const {
    ordered o = ordered::object();
    o["path"] = path;
    o["vendor"] = vendor;
    o["classes"] = classListJSON(classes);
    if (instrumentClasses) o["instrumentClasses"] = classListJSON(*instrumentClasses);
    if (error) o["error"] = *error;
    try {
        // Strict: a text that is not UTF-8 fails the whole report rather than
        // being changed behind the reader's back.
        return escapingSlashes(o.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<PluginBridgeScanResult> PluginBridgeScanResult::fromJSON(std::string_view text) {
    const nlohmann::json o = nlohmann::json::parse(text, nullptr, false);
    if (!o.is_object()) return std::nullopt;
    PluginBridgeScanResult r;
    if (!readString(o, "path", r.path) || !readString(o, "vendor", r.vendor)) return std::nullopt;
    auto classes = o.find("classes");
    if (classes == o.end()) return std::nullopt;
    auto list = readClassList(*classes);
    if (!list) return std::nullopt;
    r.classes = std::move(*list);
    if (auto it = o.find("instrumentClasses"); it != o.end() && !it->is_null()) {
        auto instruments = readClassList(*it);
        if (!instruments) return std::nullopt;
        r.instrumentClasses = std::move(*instruments);
    }
    if (auto it = o.find("error"); it != o.end() && !it->is_null()) {
        if (!it->is_string()) return std::nullopt;
        r.error = it->get<std::string>();
    }
    return r;
}

const std::string& PluginBridgeScanResult::fallbackJSON() {
    static const std::string text =
        R"({"path":"","vendor":"","classes":[],"error":"could not encode the scan result"})";
    return text;
}

std::optional<PluginBridgeScanResult> PluginBridgeScanResult::fromOutput(std::string_view output) {
    std::string start = "\n";
    start += marker;
    const std::size_t at = output.rfind(start);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view line = output.substr(at + start.size());
    if (const std::size_t end = line.find('\n'); end != std::string_view::npos) line = line.substr(0, end);
    return fromJSON(line);
}

std::string PluginBridgeScanResult::reportBytes() const {
    const std::optional<std::string> json = toJSON();
    const std::string& body = json && isValidUTF8(*json) ? *json : fallbackJSON();
    std::string bytes;
    bytes.reserve(body.size() + marker.size() + 2);
    bytes += '\n';
    bytes += marker;
    bytes += body;
    bytes += '\n';
    return bytes;
}
