#include "hosts/render/AudioInputFile.h"

#include "hosts/render/RenderError.h"
#include "hosts/render/RenderOptions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
std::optional<std::int64_t> framesInHeader(int descriptor)
{
    std::vector<unsigned char> head(kHeaderScanBytes);
    // pread leaves the file position where libsndfile will start.
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::pread(descriptor, head.data() + got, head.size() - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    head.resize(got);
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

std::expected<AudioInputFile, platform::Error> AudioInputFile::open(
    const std::filesystem::path& path, std::optional<std::pair<int, int>> channels)
{
    const bool standardInput = isStandardStream(path);
    const std::string shown = standardInput ? "standard input" : quotedPath(path);
    int descriptor = -1;
    if (standardInput) {
        descriptor = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        std::error_code status;
        const auto kind = std::filesystem::status(path, status);
        if (kind.type() == std::filesystem::file_type::not_found)
            return std::unexpected(makeError(ErrorCode::FileMissing, shown + ": no such file"));
        if (status)
            return std::unexpected(makeError(ErrorCode::FileMissing, shown + ": " + status.message()));
        if (kind.type() == std::filesystem::file_type::directory)
            return std::unexpected(makeError(ErrorCode::NotARegularFile, shown + " is a folder, not an audio file"));
        // Opened once: a FIFO's writer is read by this descriptor alone.
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (descriptor < 0)
        return std::unexpected(
            makeError(ErrorCode::FileMissing, "cannot open " + shown + ": " + std::system_category().message(errno)));
    struct stat file {};
    const bool regular = ::fstat(descriptor, &file) == 0 && S_ISREG(file.st_mode);

    SF_INFO info{};
    AudioInputFile input;
    input.path_ = path;
    input.streamed_ = !regular;
    // Read before libsndfile takes the descriptor, by position, from a file
    // that can be read twice; a stream's header is libsndfile's alone.
    if (regular)
        input.headerFrames_ = framesInHeader(descriptor);
    input.file_ = sf_open_fd(descriptor, SFM_READ, &info, SF_TRUE);
    if (!input.file_) {
        // libsndfile has closed the descriptor it was given to own.
        const std::string reason = sf_strerror(nullptr);
        return std::unexpected(makeError(ErrorCode::NotAudio, shown + " is not an audio file that can be read: " +
                reason + (regular ? "" : " (FLAC cannot be read as a stream; send WAV, AIFF, Ogg or MP3)")));
    }
    if (info.channels < 1 || info.samplerate <= 0)
        return std::unexpected(makeError(ErrorCode::NotAudio, shown + " declares no channels or no sample rate"));
    if (channels) {
        for (const int channel : {channels->first, channels->second}) {
            if (channel >= info.channels)
                return std::unexpected(makeError(ErrorCode::TooManyChannels,
                    "--channels: " + shown + " has " + std::to_string(info.channels) + " channel" +
                        (info.channels == 1 ? "" : "s") + ", no channel " + std::to_string(channel + 1)));
        }
        input.leftChannel_ = channels->first;
        input.rightChannel_ = channels->second;
    } else if (info.channels > 2) {
        return std::unexpected(makeError(ErrorCode::TooManyChannels,
            shown + " has " + std::to_string(info.channels) +
                " channels; pick the two to render with --channels A,B (counted from 1, e.g. --channels 1,2)"));
    } else {
        // The last channel is the right one: a mono file's only channel
        // goes to both sides.
        input.rightChannel_ = info.channels - 1;
    }

    input.sampleRate_ = info.samplerate;
    input.channels_ = info.channels;
    // libsndfile says SF_COUNT_MAX when a stream does not know its length,
    // and a stream's header may promise anything.
    input.declaredFrames_ =
        regular && info.frames > 0 && info.frames < std::numeric_limits<sf_count_t>::max() ? info.frames : 0;
    input.chunk_.resize(kReadChunkFrames * static_cast<std::size_t>(info.channels));
    return input;
}

AudioInputFile::AudioInputFile(AudioInputFile&& other) noexcept
    : path_(std::move(other.path_))
    , file_(std::exchange(other.file_, nullptr))
    , sampleRate_(other.sampleRate_)
    , channels_(other.channels_)
    , leftChannel_(other.leftChannel_)
    , rightChannel_(other.rightChannel_)
    , streamed_(other.streamed_)
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
        leftChannel_ = other.leftChannel_;
        rightChannel_ = other.rightChannel_;
        streamed_ = other.streamed_;
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
                    ErrorCode::ReadFailed, "reading " + (isStandardStream(path_) ? std::string("standard input") : quotedPath(path_)) + " failed: " + sf_strerror(file_)));
            chunkFrames_ = got > 0 ? static_cast<std::size_t>(got) : 0;
            chunkUsed_ = 0;
            // A short chunk is not yet the end: only a read that returns
            // nothing is.
            ended_ = chunkFrames_ == 0;
            if (ended_)
                break;
        }
        const std::size_t frames = std::min(wanted - filled, chunkFrames_ - chunkUsed_);
        const float* from = chunk_.data() + chunkUsed_ * channels;
        const auto leftAt = static_cast<std::size_t>(leftChannel_);
        const auto rightAt = static_cast<std::size_t>(rightChannel_);
        for (std::size_t i = 0; i < frames; ++i) {
            left[filled + i] = from[i * channels + leftAt];
            right[filled + i] = from[i * channels + rightAt];
        }
        filled += frames;
        chunkUsed_ += frames;
    }
    framesRead_ += static_cast<std::int64_t>(filled);
    return filled;
}

} // namespace orvane::render
