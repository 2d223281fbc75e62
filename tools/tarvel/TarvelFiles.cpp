// Saved settings files and audio files.
#include "Tarvel.h"

#include <sndfile.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tarvel {
namespace {

constexpr char kStateMagic[] = "TVST3STATE\n";
constexpr std::size_t kMagicBytes = sizeof kStateMagic - 1;

void putUInt64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t uint64At(const std::string& bytes, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

} // namespace

void writeStateFile(const std::string& path, const SavedState& state) {
    std::string bytes(kStateMagic, kMagicBytes);
    putUInt64(bytes, state.component.size());
    putUInt64(bytes, state.controller.size());
    bytes.append(state.component.begin(), state.component.end());
    bytes.append(state.controller.begin(), state.controller.end());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw Failure("could not write the settings file " + path);
}

SavedState readStateFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("could not read the settings file " + path);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t header = kMagicBytes + 16;
    if (bytes.size() < header || bytes.compare(0, kMagicBytes, kStateMagic) != 0) {
        throw Failure(path + " is not a tarvel settings file");
    }
    const std::uint64_t component = uint64At(bytes, kMagicBytes);
    const std::uint64_t controller = uint64At(bytes, kMagicBytes + 8);
    const std::uint64_t rest = bytes.size() - header;
    if (component > rest || controller != rest - component) {
        throw Failure("the settings file " + path + " is damaged (its lengths do not match its size)");
    }
    SavedState state;
    state.component.assign(bytes.begin() + header, bytes.begin() + static_cast<std::ptrdiff_t>(header + component));
    state.controller.assign(bytes.begin() + static_cast<std::ptrdiff_t>(header + component), bytes.end());
    return state;
}

Audio readAudio(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw Failure("could not read " + path + " (" + sf_strerror(nullptr) + ")");
    Audio audio;
    audio.sampleRate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    audio.data.assign(static_cast<std::size_t>(info.channels), std::vector<float>(static_cast<std::size_t>(got)));
    for (sf_count_t i = 0; i < got; ++i)
        for (int c = 0; c < info.channels; ++c)
            audio.data[c][i] = interleaved[static_cast<std::size_t>(i) * info.channels + c];
    return audio;
}

// The file type the output's name asks for ("out.flac"), keeping the input's
// sample format where that type can hold it; the input's own format where the
// name says nothing libsndfile knows.
static int outputFormat(const std::string& path, int inputFormat, int sampleRate, int channels) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2) return inputFormat;
    std::string wanted = extension.substr(1);
    for (char& ch : wanted) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (wanted == "aif") wanted = "aiff";
    int majors = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    for (int m = 0; m < majors; ++m) {
        SF_FORMAT_INFO major{};
        major.format = m;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major) != 0 || !major.extension) continue;
        if (wanted != major.extension) continue;
        if ((inputFormat & SF_FORMAT_TYPEMASK) == major.format) return inputFormat;
        const int subtypes[] = {inputFormat & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16,
                                SF_FORMAT_VORBIS};
        for (const int subtype : subtypes) {
            SF_INFO check{};
            check.samplerate = sampleRate;
            check.channels = channels;
            check.format = major.format | subtype;
            if (sf_format_check(&check)) return check.format;
        }
    }
    return inputFormat;
}

void writeAudio(const std::string& path, const Audio& audio) {
    SF_INFO info{};
    info.samplerate = audio.sampleRate;
    info.channels = audio.channels;
    info.format = outputFormat(path, audio.format, audio.sampleRate, audio.channels);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) throw Failure("could not write " + path + " (" + sf_strerror(nullptr) + ")");
    // Written as it is: samples beyond full scale are the plug-in's and the
    // file format's business, not ours.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    const std::int64_t frames = audio.frames();
    std::vector<float> interleaved(static_cast<std::size_t>(frames) * static_cast<std::size_t>(audio.channels));
    for (std::int64_t i = 0; i < frames; ++i)
        for (int c = 0; c < audio.channels; ++c)
            interleaved[static_cast<std::size_t>(i) * audio.channels + c] = audio.data[c][i];
    const sf_count_t written = sf_writef_float(file, interleaved.data(), frames);
    sf_close(file);
    if (written != frames) throw Failure("could not write all of " + path);
}

int runTone(const std::string& path, double seconds, int channels, int sampleRate) {
    if (seconds <= 0 || channels < 1 || sampleRate < 1) throw UsageError("tone needs a positive length, channels and rate");
    Audio audio;
    audio.sampleRate = sampleRate;
    audio.channels = channels;
    audio.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const auto frames = static_cast<std::int64_t>(seconds * sampleRate);
    audio.data.assign(static_cast<std::size_t>(channels), std::vector<float>(static_cast<std::size_t>(frames)));
    const double pi = 3.14159265358979323846;
    for (int c = 0; c < channels; ++c) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / sampleRate;
            double v = 0.3 * std::sin(2 * pi * (220.0 + 110.0 * c) * t) + 0.15 * std::sin(2 * pi * 1320.0 * t);
            // A burst every half second, decaying, so compressors and gates work.
            const double sinceBurst = std::fmod(t, 0.5);
            v += 0.5 * std::exp(-sinceBurst * 12.0) * std::sin(2 * pi * 880.0 * t);
            audio.data[c][i] = static_cast<float>(v);
        }
    }
    writeAudio(path, audio);
    return 0;
}

} // namespace tarvel
