#include "hosts/render/AudioInput.h"

#include "hosts/render/RenderError.h"

#include <sndfile.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

namespace orvane::render {
namespace {

constexpr sf_count_t kReadChunkFrames = 4096;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

std::string describeFormat(int format)
{
    std::string name;
    for (const int part : {format & SF_FORMAT_TYPEMASK, format & SF_FORMAT_SUBMASK}) {
        SF_FORMAT_INFO info{};
        info.format = part;
        if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name) {
            name += (name.empty() ? "" : ", ") + std::string(info.name);
        }
    }
    return name;
}

} // namespace

std::expected<AudioInput, platform::Error> readAudioFile(const std::filesystem::path& path)
{
    std::error_code status;
    const auto kind = std::filesystem::status(path, status);
    if (kind.type() == std::filesystem::file_type::not_found)
        return std::unexpected(makeError(ErrorCode::FileMissing, quotedPath(path) + ": no such file"));
    if (status)
        return std::unexpected(makeError(ErrorCode::FileMissing, quotedPath(path) + ": " + status.message()));
    if (kind.type() == std::filesystem::file_type::directory)
        return std::unexpected(
            makeError(ErrorCode::NotARegularFile, quotedPath(path) + " is a folder, not an audio file"));

    SF_INFO info{};
    SndfileHandle file{sf_open(path.c_str(), SFM_READ, &info)};
    if (!file)
        return std::unexpected(makeError(ErrorCode::NotAudio,
            quotedPath(path) + " is not an audio file that can be read: " + sf_strerror(nullptr)));
    if (info.channels > 2)
        return std::unexpected(makeError(ErrorCode::TooManyChannels,
            quotedPath(path) + " has " + std::to_string(info.channels) +
                " channels; only mono and stereo files can be rendered"));
    if (info.channels < 1 || info.samplerate <= 0)
        return std::unexpected(
            makeError(ErrorCode::NotAudio, quotedPath(path) + " declares no channels or no sample rate"));

    AudioInput input;
    input.path = path;
    input.sampleRate = info.samplerate;
    input.fileChannels = info.channels;
    input.formatName = describeFormat(info.format);
    if (info.frames > 0) {
        // The header's frame count is a hint: a damaged header may claim more
        // than memory holds, and the loop below grows the vectors anyway.
        try {
            input.left.reserve(static_cast<std::size_t>(info.frames));
            input.right.reserve(static_cast<std::size_t>(info.frames));
        } catch (const std::length_error&) {
        } catch (const std::bad_alloc&) {
        }
    }

    const int channels = info.channels;
    std::vector<float> chunk(static_cast<std::size_t>(kReadChunkFrames * channels));
    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), chunk.data(), kReadChunkFrames);
        if (got <= 0)
            break;
        for (sf_count_t frame = 0; frame < got; ++frame) {
            const float left = chunk[static_cast<std::size_t>(frame * channels)];
            const float right = chunk[static_cast<std::size_t>(frame * channels + channels - 1)];
            input.left.push_back(left);
            input.right.push_back(right);
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR)
        return std::unexpected(makeError(
            ErrorCode::ReadFailed, "reading " + quotedPath(path) + " failed: " + sf_strerror(file.get())));
    input.frames = static_cast<std::int64_t>(input.left.size());
    return input;
}

} // namespace orvane::render
