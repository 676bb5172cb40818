#include "hosts/render/AudioInputFile.h"

#include "hosts/render/RenderError.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>
#include <limits>
#include <system_error>
#include <utility>

namespace orvane::render {
namespace {

// Frames decoded per libsndfile call: large enough that the call's own cost
// vanishes, small enough that a stereo chunk stays in the cache (32 KiB).
constexpr std::size_t kReadChunkFrames = 4096;
// Enough of a file's start to reach its sample data past any metadata
// chunks that usually precede it.
constexpr std::size_t kHeaderScanBytes = 65536;

/// The frame count a WAV, RF64 or AIFF header promises, read from the
/// header itself: libsndfile quietly shortens its own count to what a
/// truncated file holds, which would hide the truncation. None for other
/// containers, and for the "unknown length" that streaming writers leave.
std::optional<std::int64_t> framesInHeader(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> head(kHeaderScanBytes);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    const auto number = [&](std::size_t at, int bytes, bool bigEndian) -> std::optional<std::uint64_t> {
        if (at + std::size_t(bytes) > head.size())
            return std::nullopt;
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= std::uint64_t(head[at + std::size_t(bigEndian ? bytes - 1 - i : i)]) << (8 * i);
        return value;
    };
    const auto tag = [&](std::size_t at) {
        return at + 4 <= head.size() ? std::string(head.begin() + std::ptrdiff_t(at), head.begin() + std::ptrdiff_t(at + 4))
                                     : std::string();
    };
    const bool riff = (tag(0) == "RIFF" || tag(0) == "RF64") && tag(8) == "WAVE";
    const bool aiff = tag(0) == "FORM" && (tag(8) == "AIFF" || tag(8) == "AIFC");
    if (!riff && !aiff)
        return std::nullopt;
    std::optional<std::uint64_t> blockAlign;
    std::optional<std::uint64_t> dataBytes;
    for (std::size_t at = 12; at + 8 <= head.size();) {
        const auto id = tag(at);
        const auto size = number(at + 4, 4, aiff);
        if (!size)
            break;
        if (aiff && id == "COMM") {
            const auto frames = number(at + 10, 4, true);
            return frames ? std::optional<std::int64_t>(std::int64_t(*frames)) : std::nullopt;
        }
        if (riff && id == "ds64")
            dataBytes = number(at + 16, 8, false);
        if (riff && id == "fmt ")
            blockAlign = number(at + 20, 2, false);
        if (riff && id == "data") {
            if (tag(0) == "RIFF")
                dataBytes = size;
            break;
        }
        at += 8 + *size + (*size & 1);
    }
    if (!blockAlign || *blockAlign == 0 || !dataBytes || *dataBytes == 0 || *dataBytes >= 0xFFFFFFF0u)
        return std::nullopt;
    return std::int64_t(*dataBytes / *blockAlign);
}

} // namespace

std::expected<AudioInputFile, platform::Error> AudioInputFile::open(const std::filesystem::path& path)
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
    AudioInputFile input;
    input.path_ = path;
    input.file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (!input.file_)
        return std::unexpected(makeError(ErrorCode::NotAudio,
            quotedPath(path) + " is not an audio file that can be read: " + sf_strerror(nullptr)));
    if (info.channels > 2)
        return std::unexpected(makeError(ErrorCode::TooManyChannels,
            quotedPath(path) + " has " + std::to_string(info.channels) +
                " channels; only mono and stereo files can be rendered"));
    if (info.channels < 1 || info.samplerate <= 0)
        return std::unexpected(
            makeError(ErrorCode::NotAudio, quotedPath(path) + " declares no channels or no sample rate"));

    input.sampleRate_ = info.samplerate;
    input.channels_ = info.channels;
    // libsndfile says SF_COUNT_MAX when a stream does not know its length.
    input.declaredFrames_ =
        info.frames > 0 && info.frames < std::numeric_limits<sf_count_t>::max() ? info.frames : 0;
    input.headerFrames_ = framesInHeader(path);
    input.chunk_.resize(kReadChunkFrames * static_cast<std::size_t>(info.channels));
    return input;
}

AudioInputFile::AudioInputFile(AudioInputFile&& other) noexcept
    : path_(std::move(other.path_))
    , file_(std::exchange(other.file_, nullptr))
    , sampleRate_(other.sampleRate_)
    , channels_(other.channels_)
    , declaredFrames_(other.declaredFrames_)
    , headerFrames_(other.headerFrames_)
    , framesRead_(other.framesRead_)
    , ended_(other.ended_)
    , chunk_(std::move(other.chunk_))
    , chunkFrames_(other.chunkFrames_)
    , chunkUsed_(other.chunkUsed_)
{
}

AudioInputFile& AudioInputFile::operator=(AudioInputFile&& other) noexcept
{
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        file_ = std::exchange(other.file_, nullptr);
        sampleRate_ = other.sampleRate_;
        channels_ = other.channels_;
        declaredFrames_ = other.declaredFrames_;
        headerFrames_ = other.headerFrames_;
        framesRead_ = other.framesRead_;
        ended_ = other.ended_;
        chunk_ = std::move(other.chunk_);
        chunkFrames_ = other.chunkFrames_;
        chunkUsed_ = other.chunkUsed_;
    }
    return *this;
}

AudioInputFile::~AudioInputFile()
{
    close();
}

void AudioInputFile::close() noexcept
{
    if (file_)
        sf_close(std::exchange(file_, nullptr));
}

std::expected<std::size_t, platform::Error> AudioInputFile::read(std::span<float> left, std::span<float> right)
{
    const std::size_t wanted = std::min(left.size(), right.size());
    const auto channels = static_cast<std::size_t>(channels_);
    std::size_t filled = 0;
    while (filled < wanted && file_) {
        if (chunkUsed_ == chunkFrames_) {
            if (ended_)
                break;
            const sf_count_t got =
                sf_readf_float(file_, chunk_.data(), static_cast<sf_count_t>(kReadChunkFrames));
            // Checked after every call: a decoder may report an error with a
            // short read and then carry on as if the file had ended there.
            if (sf_error(file_) != SF_ERR_NO_ERROR)
                return std::unexpected(makeError(
                    ErrorCode::ReadFailed, "reading " + quotedPath(path_) + " failed: " + sf_strerror(file_)));
            chunkFrames_ = got > 0 ? static_cast<std::size_t>(got) : 0;
            chunkUsed_ = 0;
            // A short chunk is not yet the end: only a read that returns
            // nothing is.
            ended_ = chunkFrames_ == 0;
            if (ended_)
                break;
        }
        const std::size_t frames = std::min(wanted - filled, chunkFrames_ - chunkUsed_);
        // The last channel is the right one: a mono file's only channel
        // goes to both sides.
        const float* from = chunk_.data() + chunkUsed_ * channels;
        for (std::size_t i = 0; i < frames; ++i) {
            left[filled + i] = from[i * channels];
            right[filled + i] = from[i * channels + channels - 1];
        }
        filled += frames;
        chunkUsed_ += frames;
    }
    framesRead_ += static_cast<std::int64_t>(filled);
    return filled;
}

} // namespace orvane::render
