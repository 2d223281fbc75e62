// Saved settings files and audio files.
#include "Tarvel.h"

#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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

struct SampleFormat {
    const char* name;
    // Where a type knows only one kind of 8-bit sample (WAV: unsigned), the
    // one it knows.
    int subtypes[2];
};
constexpr SampleFormat kSampleFormats[] = {
    {"float", {SF_FORMAT_FLOAT, 0}},   {"double", {SF_FORMAT_DOUBLE, 0}},
    {"pcm8", {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8}}, {"pcm16", {SF_FORMAT_PCM_16, 0}},
    {"pcm24", {SF_FORMAT_PCM_24, 0}},  {"pcm32", {SF_FORMAT_PCM_32, 0}},
    {"ulaw", {SF_FORMAT_ULAW, 0}},     {"alaw", {SF_FORMAT_ALAW, 0}},
};

// libsndfile's type for the output name's extension, or 0.
int typeNamedBy(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2) return 0;
    std::string wanted = extension.substr(1);
    for (char& ch : wanted) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (wanted == "aif") wanted = "aiff";
    if (wanted == "ogg") wanted = "oga"; // libsndfile's name for its Ogg type
    int majors = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    for (int m = 0; m < majors; ++m) {
        SF_FORMAT_INFO major{};
        major.format = m;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major) != 0 || !major.extension) continue;
        if (wanted == major.extension) return major.format;
    }
    return 0;
}

bool canHold(int format, int sampleRate, int channels) {
    SF_INFO check{};
    check.samplerate = sampleRate;
    check.channels = channels;
    check.format = format;
    return sf_format_check(&check) != 0;
}

// Sample formats that keep values beyond full scale.
bool keepsBeyondFullScale(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
        return true;
    default:
        return false;
    }
}

} // namespace

const char* sampleFormatNames() { return "float, double, pcm8, pcm16, pcm24, pcm32, ulaw, alaw"; }

bool isSampleFormatName(const std::string& name) {
    return std::any_of(std::begin(kSampleFormats), std::end(kSampleFormats),
                       [&](const SampleFormat& f) { return name == f.name; });
}

int outputFormat(const std::string& path, int inputFormat, int sampleRate, int channels,
                 const std::optional<std::string>& sampleFormat) {
    const int named = typeNamedBy(path);
    const int type = named != 0 ? named : inputFormat & SF_FORMAT_TYPEMASK;
    if (sampleFormat) {
        for (const SampleFormat& f : kSampleFormats) {
            if (*sampleFormat != f.name) continue;
            for (const int subtype : f.subtypes)
                if (subtype != 0 && canHold(type | subtype, sampleRate, channels)) return type | subtype;
            throw UsageError("--format " + *sampleFormat + ": the file type of " + path + " cannot hold it");
        }
        throw UsageError("--format needs one of " + std::string(sampleFormatNames()));
    }
    if (type == (inputFormat & SF_FORMAT_TYPEMASK)) return inputFormat;
    const int subtypes[] = {inputFormat & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16,
                            SF_FORMAT_VORBIS};
    for (const int subtype : subtypes)
        if (canHold(type | subtype, sampleRate, channels)) return type | subtype;
    return inputFormat;
}

void writeStateFile(const std::string& path, const SavedState& state) {
    std::string bytes(kStateMagic, kMagicBytes);
    putUInt64(bytes, state.component.size());
    putUInt64(bytes, state.controller.size());
    bytes.append(state.component.begin(), state.component.end());
    bytes.append(state.controller.begin(), state.controller.end());
    // Beside the file, so that the rename stays on one file system and
    // replaces the old settings in one step.
    const std::string temporary = path + ".tarvel-" + std::to_string(::getpid());
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        written = static_cast<bool>(out);
    }
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw Failure("could not write the settings file " + path);
    }
}

void checkStateFileWritable(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error) || ::access(folder.c_str(), W_OK | X_OK) != 0 ||
        std::filesystem::is_directory(path, error)) {
        throw Failure("could not write the settings file " + path);
    }
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

AudioReader::AudioReader(const std::string& path) : path_(path) {
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (!file_) throw Failure("could not read " + path + " (" + sf_strerror(nullptr) + ")");
    sampleRate_ = info.samplerate;
    channels_ = info.channels;
    format_ = info.format;
    frames_ = info.frames;
}

AudioReader::~AudioReader() {
    if (file_) sf_close(file_);
}

void AudioReader::read(float* interleaved, std::int64_t frames) {
    sf_count_t got = 0;
    if (!ended_) got = sf_readf_float(file_, interleaved, frames);
    // A short read is the end of the file, unless the file failed: silence in
    // place of unread audio would be a corrupted render that looks fine.
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR) {
        throw Failure("could not read " + path_ + " (" + sf_strerror(file_) + ")");
    }
    if (got < frames) {
        ended_ = true;
        std::fill(interleaved + got * channels_, interleaved + frames * channels_, 0.0f);
    }
}

AudioWriter::AudioWriter(const std::string& path, int format, int sampleRate, int channels)
    : path_(path), channels_(channels) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    // Beside the output, so that the final rename stays on one file system.
    temporary_ = path + ".tarvel-" + std::to_string(::getpid());
    file_ = sf_open(temporary_.c_str(), SFM_WRITE, &info);
    if (!file_) throw Failure("could not write " + path + " (" + sf_strerror(nullptr) + ")");
    // Integer samples are clipped here, where they can be counted; libsndfile
    // clips too, because its unclipped conversion of exactly full scale to
    // 32 bits overflows.
    clips_ = !keepsBeyondFullScale(format);
    sf_command(file_, SFC_SET_CLIPPING, nullptr, clips_ ? SF_TRUE : SF_FALSE);
}

AudioWriter::~AudioWriter() {
    if (file_) {
        sf_close(file_);
        std::remove(temporary_.c_str());
    }
}

void AudioWriter::write(const float* interleaved, std::int64_t frames) {
    if (frames <= 0) return;
    if (clips_) {
        const auto samples = static_cast<std::size_t>(frames * channels_);
        if (clippedBlock_.size() < samples) clippedBlock_.resize(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            float v = interleaved[i];
            if (v > 1.0f) {
                v = 1.0f;
                ++clipped_;
            } else if (v < -1.0f) {
                v = -1.0f;
                ++clipped_;
            } else if (v != v) {
                v = 0.0f; // NaN has no integer value; silence is the least harm
                ++clipped_;
            }
            clippedBlock_[i] = v;
        }
        interleaved = clippedBlock_.data();
    }
    if (sf_writef_float(file_, interleaved, frames) != frames) throw Failure("could not write all of " + path_);
}

void AudioWriter::finish() {
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0 || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        std::remove(temporary_.c_str());
        throw Failure("could not write " + path_);
    }
}

int runTone(const std::string& path, double seconds, int channels, int sampleRate) {
    if (seconds <= 0 || channels < 1 || sampleRate < 1) throw UsageError("tone needs a positive length, channels and rate");
    AudioWriter writer(path, outputFormat(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, sampleRate, channels, std::nullopt),
                       sampleRate, channels);
    const auto frames = static_cast<std::int64_t>(seconds * sampleRate);
    constexpr std::int64_t kBlock = 4096;
    std::vector<float> block(static_cast<std::size_t>(kBlock * channels));
    const double pi = 3.14159265358979323846;
    for (std::int64_t at = 0; at < frames; at += kBlock) {
        const std::int64_t n = std::min(kBlock, frames - at);
        for (std::int64_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(at + i) / sampleRate;
            // A burst every half second, decaying, so compressors and gates work.
            const double burst = 0.5 * std::exp(-std::fmod(t, 0.5) * 12.0) * std::sin(2 * pi * 880.0 * t);
            for (int c = 0; c < channels; ++c) {
                const double v = 0.3 * std::sin(2 * pi * (220.0 + 110.0 * c) * t) + 0.15 * std::sin(2 * pi * 1320.0 * t);
                block[static_cast<std::size_t>(i * channels + c)] = static_cast<float>(v + burst);
            }
        }
        writer.write(block.data(), n);
    }
    writer.finish();
    return 0;
}

} // namespace tarvel
