#pragma once

#include <sndfile.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::render::testing {

/// A fresh folder under the system's temporary directory, removed with
/// everything in it when the test ends.
class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvane-render-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed for " + pattern);
        path_ = pattern;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    /// Names of everything in the folder, hidden files included.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path path_;
};

/// Interleaved samples and the header libsndfile read them with.
struct SoundFile {
    SF_INFO info{};
    std::vector<float> samples;

    std::int64_t frames() const { return info.channels ? std::int64_t(samples.size()) / info.channels : 0; }
    float at(std::int64_t frame, int channel) const
    {
        return samples[static_cast<std::size_t>(frame * info.channels + channel)];
    }
};

/// Writes interleaved float samples with libsndfile, as a user's file would be.
inline void writeSoundFile(const std::filesystem::path& path, int format, int channels, int sampleRate,
    const std::vector<float>& interleaved)
{
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = sampleRate;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    const sf_count_t frames = sf_count_t(interleaved.size()) / channels;
    EXPECT_EQ(sf_writef_float(file, interleaved.data(), frames), frames);
    EXPECT_EQ(sf_close(file), 0);
}

inline SoundFile readSoundFile(const std::filesystem::path& path)
{
    SoundFile sound;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sound.info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!file)
        return sound;
    sound.samples.resize(static_cast<std::size_t>(sound.info.frames * sound.info.channels));
    EXPECT_EQ(sf_readf_float(file, sound.samples.data(), sound.info.frames), sound.info.frames);
    sf_close(file);
    return sound;
}

/// Samples as 32-bit integers, left-aligned as libsndfile reads them (a 16-bit
/// sample s comes back as s << 16), for checking clipping without the float
/// conversion in the way.
inline std::vector<int> readSoundFileAsInts(const std::filesystem::path& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!file)
        return {};
    std::vector<int> samples(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_int(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

/// A sine of the given amplitude, frequency and sample rate.
inline std::vector<float> sine(std::size_t frames, double amplitude, double hertz, double sampleRate)
{
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] =
            static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hertz * double(i) / sampleRate));
    return samples;
}

/// Interleaves two channels.
inline std::vector<float> interleave(const std::vector<float>& left, const std::vector<float>& right)
{
    std::vector<float> out(left.size() * 2);
    for (std::size_t i = 0; i < left.size(); ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    return out;
}

} // namespace orvane::render::testing
