#pragma once

// Sound files as the plug-in tests read and write them, through libsndfile.

#include <sndfile.h>

#include <filesystem>
#include <vector>

namespace testsound {

/// A file's samples, interleaved, as libsndfile reads them; empty when it
/// cannot be read.
inline std::vector<float> wavSamples(const std::filesystem::path& file) {
    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    std::vector<float> samples(sound ? static_cast<std::size_t>(info.frames * info.channels) : 0);
    if (sound) sf_readf_float(sound, samples.data(), info.frames), sf_close(sound);
    return samples;
}

/// Writes two channels as a 32-bit float WAV file.
inline void writeStereoWav(const std::filesystem::path& file, const std::vector<float>& left,
                           const std::vector<float>& right, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sound = sf_open(file.c_str(), SFM_WRITE, &info);
    std::vector<float> frames;
    for (std::size_t i = 0; i < left.size(); ++i) frames.insert(frames.end(), {left[i], right[i]});
    if (sound) sf_writef_float(sound, frames.data(), static_cast<sf_count_t>(left.size())), sf_close(sound);
}

} // namespace testsound
