#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace orvane::render {

/// A whole input file decoded to planar stereo 32-bit float, the layout the
/// effect renders. A mono file is sent to both channels.
struct AudioInput {
    std::filesystem::path path;
    double sampleRate = 0.0;
    std::int64_t frames = 0;
    /// Channels in the file itself: 1 or 2.
    int fileChannels = 0;
    /// libsndfile's name of the container and encoding, e.g. "WAV (Microsoft), Signed 16 bit PCM".
    std::string formatName;
    std::vector<float> left;
    std::vector<float> right;

    double durationSeconds() const { return sampleRate > 0.0 ? double(frames) / sampleRate : 0.0; }
};

/// Reads any file libsndfile can decode (WAV, AIFF, FLAC, Ogg, ...). Errors
/// name the file and the reason: missing, not a regular file, not audio
/// (with libsndfile's own words), more than two channels, or a read that
/// stopped part way. A valid file with no frames yields an empty input.
std::expected<AudioInput, platform::Error> readAudioFile(const std::filesystem::path& path);

} // namespace orvane::render
