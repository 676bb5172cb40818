#pragma once

#include "platform/foundation/Error.h"

#include <sndfile.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace orvane::render {

/// An input file opened for reading block by block as planar stereo 32-bit
/// float, the layout the effect renders; a mono file is sent to both
/// channels. Only one chunk of the file is held at a time, so memory stays
/// the same whatever the file's length. The file is opened once: a pipe, a
/// FIFO or standard input ("-") is read as the stream it is, from start to
/// end, its length unknown until it ends. Move-only; one thread at a time.
class AudioInputFile {
public:
    /// Opens any file libsndfile can decode (WAV, AIFF, FLAC, Ogg, ...).
    /// Errors name the file and the reason: missing, a folder, not audio
    /// (with libsndfile's own words), or more than two channels when
    /// `channels` (two channel indices from 0) picks none of them.
    static std::expected<AudioInputFile, platform::Error> open(
        const std::filesystem::path& path, std::optional<std::pair<int, int>> channels = std::nullopt);

    AudioInputFile(AudioInputFile&& other) noexcept;
    AudioInputFile& operator=(AudioInputFile&& other) noexcept;
    AudioInputFile(const AudioInputFile&) = delete;
    AudioInputFile& operator=(const AudioInputFile&) = delete;
    ~AudioInputFile();

    /// Fills both spans (of equal length) from the start with the next frames
    /// and returns how many it filled: fewer than asked only at the end of
    /// the file, zero after it. A decode that stops part way is an error
    /// (ReadFailed), so a damaged file never passes for a shorter one.
    std::expected<std::size_t, platform::Error> read(std::span<float> left, std::span<float> right);

    const std::filesystem::path& path() const { return path_; }
    double sampleRate() const { return sampleRate_; }
    /// Channels in the file itself.
    int fileChannels() const { return channels_; }
    /// Whether the file is read as a stream, whose length is not known ahead.
    bool streamed() const { return streamed_; }
    /// The frame count the header declares (0 for a stream): what the
    /// progress bar counts towards. The frames actually read may differ for
    /// a damaged file.
    std::int64_t declaredFrames() const { return declaredFrames_; }
    std::int64_t framesRead() const { return framesRead_; }
    /// The frame count a WAV or AIFF file's own header promises, when it
    /// says; more than the file holds when the file was cut short.
    std::optional<std::int64_t> headerFrames() const { return headerFrames_; }

private:
    AudioInputFile() = default;
    void close() noexcept;

    std::filesystem::path path_;
    SNDFILE* file_ = nullptr;
    double sampleRate_ = 0.0;
    int channels_ = 0;
    int leftChannel_ = 0;
    int rightChannel_ = 0;
    bool streamed_ = false;
    std::int64_t declaredFrames_ = 0;
    std::optional<std::int64_t> headerFrames_;
    std::int64_t framesRead_ = 0;
    bool ended_ = false;
    /// The chunk last decoded, interleaved as the file holds it, and how
    /// much of it read() has not handed out yet.
    std::vector<float> chunk_;
    std::size_t chunkFrames_ = 0;
    std::size_t chunkUsed_ = 0;
};

} // namespace orvane::render
