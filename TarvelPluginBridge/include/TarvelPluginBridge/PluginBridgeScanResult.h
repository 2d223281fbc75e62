// The scan report of one plug-in bundle, as the helper prints it and the
// parent reads it back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One class of a plug-in factory.
struct PluginBridgeScannedClass {
    std::string cid;           // 32 upper-case hex digits
    std::string name;
    std::string vendor;        // the factory's vendor when the class names none
    std::string category;      // "Audio Module Class" for processors
    std::string subCategories; // "|"-separated

    // One "|"-separated piece is exactly "Instrument".
    bool hasInstrumentTag() const;
    bool isInstrument() const;
    bool isProcessingEffect() const;

    bool operator==(const PluginBridgeScannedClass&) const = default;
};

struct PluginBridgeScanResult {
    std::string path;   // as given on the command line, U+FFFD for bytes that are not UTF-8
    std::string vendor; // empty when unknown
    std::vector<PluginBridgeScannedClass> classes; // effects, in factory order
    std::optional<std::vector<PluginBridgeScannedClass>> instrumentClasses;
    std::optional<std::string> error;

    bool operator==(const PluginBridgeScanResult&) const = default;

    // Starts the report line, so a parent can find it after whatever a plug-in
    // printed while it loaded.
    static constexpr std::string_view marker = "TARVEL_VST3_SCAN ";

    // Keeps the audio processor classes, split into effects and instruments,
    // both in the order given; drops every other category.
    static PluginBridgeScanResult sorting(std::string path, std::string vendor,
                                          const std::vector<PluginBridgeScannedClass>& all);

    // Compact JSON, slashes escaped. Nothing when the result cannot be encoded
    // (a text that is not valid UTF-8).
    std::optional<std::string> toJSON() const;
    // Nothing when the text is not a scan result.
    static std::optional<PluginBridgeScanResult> fromJSON(std::string_view json);

    // The bytes to print: line feed, marker, JSON (or a fixed fallback object
    // when encoding fails), line feed.
    std::string reportBytes() const;
    // The report in everything a scan printed on standard output: the last
    // line that starts with the marker (a plug-in may print before it, and a
    // name may hold the marker's text, but never a line break). Nothing when
    // there is no readable report.
    static std::optional<PluginBridgeScanResult> fromOutput(std::string_view output);
    // The fallback used when the real result cannot be encoded.
    static const std::string& fallbackJSON();
};
