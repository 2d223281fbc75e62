// tarvel: scan plug-in bundles, list a plug-in's parameters, render audio
// files through plug-ins and edit their settings in their own editors, each in
// a helper process of its own.
#include "Tarvel.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kStatusFailed = 1;
constexpr int kStatusUsage = 64;

constexpr const char* kUsage =
    "usage: tarvel [--helper PATH] scan <bundle or folder>...\n"
    "       tarvel [--helper PATH] params <bundle> [--cid ID]\n"
    "       tarvel [--helper PATH] render <bundle> <in> <out> [--cid ID] [--param ID=VALUE]...\n"
    "              [--state FILE] [--save-state FILE] [--block N] [--tail SECONDS] [--notes]\n"
    "              [--format float|double|pcm8|pcm16|pcm24|pcm32|ulaw|alaw]\n"
    "       tarvel [--helper PATH] edit <bundle> [--cid ID] [--state FILE] --save-state FILE [--title TEXT]\n"
    "       tarvel tone <out.wav> [--seconds S] [--channels C] [--rate R]\n";

double number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        throw tarvel::UsageError(std::string(what) + " needs a number, not \"" + text + "\"");
    return v;
}

std::int64_t integer(const std::string& text, const char* what) {
    const double v = number(text, what);
    if (v != std::floor(v) || std::fabs(v) > 1e15) throw tarvel::UsageError(std::string(what) + " needs a whole number");
    return static_cast<std::int64_t>(v);
}

// Hands out the arguments one by one; options take the next one as value.
struct Arguments {
    std::vector<std::string> list;
    std::size_t at = 0;
    bool more() const { return at < list.size(); }
    const std::string& next() { return list[at++]; }
    std::string valueOf(const std::string& option) {
        if (!more()) throw tarvel::UsageError(option + " needs a value");
        return next();
    }
};

int run(Arguments args) {
    tarvel::Options options;
    options.helper = TARVEL_DEFAULT_HELPER;
    if (args.more() && args.list[args.at] == "--helper") {
        args.next();
        options.helper = args.valueOf("--helper");
    }
    if (!args.more()) throw tarvel::UsageError("no command given");
    const std::string command = args.next();

    if (command == "scan") {
        std::vector<std::string> paths;
        while (args.more()) paths.push_back(args.next());
        return tarvel::runScan(options, paths);
    }
    if (command == "params") {
        if (!args.more()) throw tarvel::UsageError("params needs a bundle");
        const std::string bundle = args.next();
        std::optional<std::string> cid;
        while (args.more()) {
            const std::string option = args.next();
            if (option == "--cid") cid = args.valueOf(option);
            else throw tarvel::UsageError("unknown option " + option);
        }
        return tarvel::runParams(options, bundle, cid);
    }
    if (command == "render") {
        tarvel::RenderOptions render;
        std::vector<std::string> positional;
        while (args.more()) {
            const std::string a = args.next();
            if (a == "--cid") render.cid = args.valueOf(a);
            else if (a == "--state") render.state = args.valueOf(a);
            else if (a == "--save-state") render.saveState = args.valueOf(a);
            else if (a == "--block") render.block = integer(args.valueOf(a), "--block");
            else if (a == "--tail") render.tailSeconds = number(args.valueOf(a), "--tail");
            else if (a == "--notes") render.notes = true;
            else if (a == "--format") {
                render.format = args.valueOf(a);
                if (!tarvel::isSampleFormatName(*render.format))
                    throw tarvel::UsageError("--format needs one of " + std::string(tarvel::sampleFormatNames()));
            }
            else if (a == "--param") {
                const std::string v = args.valueOf(a);
                const std::size_t eq = v.find('=');
                if (eq == std::string::npos) throw tarvel::UsageError("--param needs ID=VALUE");
                const std::int64_t id = integer(v.substr(0, eq), "--param's id");
                const double value = number(v.substr(eq + 1), "--param's value");
                if (id < 0 || id > 0xFFFFFFFFll) throw tarvel::UsageError("--param's id must fit 32 bits");
                if (value < 0 || value > 1) throw tarvel::UsageError("--param's value is normalized: 0 to 1");
                render.parameters.emplace_back(static_cast<std::uint32_t>(id), value);
            } else if (a.rfind("--", 0) == 0) {
                throw tarvel::UsageError("unknown option " + a);
            } else {
                positional.push_back(a);
            }
        }
        if (positional.size() != 3) throw tarvel::UsageError("render needs a bundle, an input and an output file");
        render.bundle = positional[0];
        render.input = positional[1];
        render.output = positional[2];
        return tarvel::runRender(options, render);
    }
    if (command == "edit") {
        tarvel::EditOptions edit;
        std::vector<std::string> positional;
        std::optional<std::string> saveState;
        while (args.more()) {
            const std::string a = args.next();
            if (a == "--cid") edit.cid = args.valueOf(a);
            else if (a == "--state") edit.state = args.valueOf(a);
            else if (a == "--save-state") saveState = args.valueOf(a);
            else if (a == "--title") edit.title = args.valueOf(a);
            else if (a.rfind("--", 0) == 0) throw tarvel::UsageError("unknown option " + a);
            else positional.push_back(a);
        }
        if (positional.size() != 1) throw tarvel::UsageError("edit needs one bundle");
        if (!saveState || saveState->empty()) throw tarvel::UsageError("edit needs --save-state FILE");
        edit.bundle = positional[0];
        edit.saveState = *saveState;
        return tarvel::runEdit(options, edit);
    }
    if (command == "tone") {
        if (!args.more()) throw tarvel::UsageError("tone needs an output file");
        const std::string path = args.next();
        double seconds = 3;
        std::int64_t channels = 2, rate = 48000;
        while (args.more()) {
            const std::string a = args.next();
            if (a == "--seconds") seconds = number(args.valueOf(a), "--seconds");
            else if (a == "--channels") channels = integer(args.valueOf(a), "--channels");
            else if (a == "--rate") rate = integer(args.valueOf(a), "--rate");
            else throw tarvel::UsageError("unknown option " + a);
        }
        if (channels < 1 || channels > 64 || rate < 1 || rate > 1000000 || seconds > 3600)
            throw tarvel::UsageError("tone: channels 1 to 64, a rate up to 1000000, at most an hour");
        return tarvel::runTone(path, seconds, static_cast<int>(channels), static_cast<int>(rate));
    }
    throw tarvel::UsageError("unknown command " + command);
}

} // namespace

int main(int argc, char** argv) {
    Arguments args;
    args.list.assign(argv + 1, argv + argc);
    try {
        return run(std::move(args));
    } catch (const tarvel::UsageError& e) {
        std::fprintf(stderr, "tarvel: %s\n%s", e.what(), kUsage);
        return kStatusUsage;
    } catch (const std::exception& e) { // tarvel::Failure among them
        std::fprintf(stderr, "tarvel: %s\n", e.what());
        return kStatusFailed;
    }
}
