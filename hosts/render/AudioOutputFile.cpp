#include "hosts/render/AudioOutputFile.h"

#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <system_error>
#include <utility>

namespace orvane::render {
namespace {

// Interleaving happens in chunks of this many frames, so a caller that writes
// a whole file in one call does not need a second copy of it.
constexpr std::size_t kWriteChunkFrames = 8192;
constexpr int kTemporaryNameAttempts = 100;
// WAV and AIFF record sizes in 32 bits; past this many bytes of samples
// (4 GiB less room for the header) the file would be corrupt.
constexpr std::uint64_t kMaxRiffSampleBytes = 0xFFFFFFFFull - 4096;

} // namespace

std::uint64_t maxFrames(OutputFormat format)
{
    if (format.type == FileType::Flac)
        return kMaxFlacFrames;
    const std::uint64_t bytesPerSample = format.encoding == SampleEncoding::Pcm16 ? 2
        : format.encoding == SampleEncoding::Pcm24                                ? 3
                                                                                  : 4;
    return kMaxRiffSampleBytes / (2 * bytesPerSample);
}

namespace {

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string errnoText(int error)
{
    return std::system_category().message(error);
}

int sndfileFormat(OutputFormat format)
{
    int major = SF_FORMAT_WAV;
    if (format.type == FileType::Aiff)
        major = SF_FORMAT_AIFF;
    else if (format.type == FileType::Flac)
        major = SF_FORMAT_FLAC;
    int subtype = SF_FORMAT_FLOAT;
    if (format.encoding == SampleEncoding::Pcm16)
        subtype = SF_FORMAT_PCM_16;
    else if (format.encoding == SampleEncoding::Pcm24)
        subtype = SF_FORMAT_PCM_24;
    return major | subtype;
}

std::filesystem::path folderOf(const std::filesystem::path& path)
{
    auto folder = path.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

struct Temporary {
    std::filesystem::path path;
    int descriptor = -1;
    platform::PendingFile pending;
};

/// Creates a new, empty, hidden file beside `target` that nobody else can
/// have opened, on the list of files an interruption removes. The mode is
/// left to the umask, as for any file the user makes.
std::expected<Temporary, platform::Error> createTemporaryBeside(
    const std::filesystem::path& target)
{
    const auto folder = folderOf(target);
    std::random_device entropy;
    std::mt19937_64 names(entropy() ^ (std::uint64_t(::getpid()) << 32));
    int lastError = 0;
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(names()));
        auto candidate = folder / ("." + target.filename().string() + "." + suffix + ".part");
        platform::PendingFile pending(candidate);
        const int descriptor = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0)
            return Temporary{std::move(candidate), descriptor, std::move(pending)};
        lastError = errno;
        if (lastError != EEXIST)
            break;
    }
    return std::unexpected(makeError(ErrorCode::CreateFailed,
        "cannot create a temporary file in " + quotedPath(folder) + " for " + quotedPath(target) + ": " +
            errnoText(lastError)));
}

} // namespace

std::expected<OutputFormat, platform::Error> outputFormatFor(
    const std::filesystem::path& output, std::optional<SampleEncoding> requested)
{
    const std::string extension = lowercase(output.extension().string());
    OutputFormat format;
    if (extension == ".wav") {
        format.type = FileType::Wav;
    } else if (extension == ".aiff" || extension == ".aif") {
        format.type = FileType::Aiff;
    } else if (extension == ".flac") {
        format.type = FileType::Flac;
    } else {
        const std::string shown =
            extension.empty() ? "no extension" : "extension '" + output.extension().string() + "'";
        return std::unexpected(makeError(ErrorCode::UnsupportedOutputType,
            "output " + quotedPath(output) + " has " + shown + "; use .wav, .aiff, .aif or .flac"));
    }
    if (format.type == FileType::Flac) {
        if (requested == SampleEncoding::Float32)
            return std::unexpected(makeError(ErrorCode::SampleFormatNotAllowed,
                "output " + quotedPath(output) + ": FLAC has no float samples; use --bits 16 or 24"));
        format.encoding = requested.value_or(SampleEncoding::Pcm24);
    } else {
        format.encoding = requested.value_or(SampleEncoding::Float32);
    }
    return format;
}

std::string describeOutputFormat(OutputFormat format)
{
    std::string text = format.type == FileType::Wav ? "WAV" : format.type == FileType::Aiff ? "AIFF" : "FLAC";
    switch (format.encoding) {
    case SampleEncoding::Pcm16:
        return text + ", 16-bit";
    case SampleEncoding::Pcm24:
        return text + ", 24-bit";
    case SampleEncoding::Float32:
        break;
    }
    return text + ", 32-bit float";
}

std::filesystem::path defaultOutputPath(const std::filesystem::path& input)
{
    return input.parent_path() / (input.stem().string() + "-orvane.wav");
}

std::expected<void, platform::Error> checkOutputIsNotInput(
    const std::filesystem::path& input, const std::filesystem::path& output)
{
    std::error_code error;
    const auto kind = std::filesystem::status(output, error);
    if (kind.type() == std::filesystem::file_type::not_found)
        return {};
    if (kind.type() == std::filesystem::file_type::directory)
        return std::unexpected(
            makeError(ErrorCode::NotARegularFile, "output " + quotedPath(output) + " is a folder"));
    // equivalent() compares device and inode, so another spelling of the
    // path, a symbolic link or a hard link to the input are all caught.
    if (std::filesystem::equivalent(input, output, error) && !error)
        return std::unexpected(makeError(ErrorCode::SameFileAsInput,
            "output " + quotedPath(output) + " is the input file " + quotedPath(input) +
                "; refusing to overwrite it"));
    return {};
}

std::expected<OutputPlan, platform::Error> planOutput(const std::filesystem::path& input,
    const std::optional<std::filesystem::path>& output, std::optional<SampleEncoding> requested)
{
    OutputPlan plan;
    plan.path = output.value_or(defaultOutputPath(input));
    auto format = outputFormatFor(plan.path, requested);
    if (!format)
        return std::unexpected(format.error());
    plan.format = *format;
    if (auto distinct = checkOutputIsNotInput(input, plan.path); !distinct)
        return std::unexpected(distinct.error());
    return plan;
}

std::expected<AudioOutputFile, platform::Error> AudioOutputFile::create(
    const std::filesystem::path& target, double sampleRate, OutputFormat format)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(sampleRate);
    info.channels = 2;
    info.format = sndfileFormat(format);
    if (sampleRate < 1.0 || double(info.samplerate) != sampleRate || !sf_format_check(&info))
        return std::unexpected(makeError(ErrorCode::SampleFormatNotAllowed,
            "output " + quotedPath(target) + ": " + describeOutputFormat(format) + " cannot hold stereo at " +
                std::to_string(sampleRate) + " Hz"));

    auto temporary = createTemporaryBeside(target);
    if (!temporary)
        return std::unexpected(temporary.error());

    AudioOutputFile file;
    file.target_ = target;
    file.format_ = format;
    file.temporary_ = std::move(temporary->path);
    file.descriptor_ = temporary->descriptor;
    file.pending_ = std::move(temporary->pending);
    // The descriptor stays ours (SF_FALSE) so that commit() can flush it to
    // disk after libsndfile has written the final header.
    file.file_ = sf_open_fd(file.descriptor_, SFM_WRITE, &info, SF_FALSE);
    if (!file.file_)
        return std::unexpected(file.abandonWith(
            ErrorCode::CreateFailed, "cannot start " + quotedPath(target) + ": " + sf_strerror(nullptr)));
    if (format.encoding != SampleEncoding::Float32)
        sf_command(file.file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The peak chunk of a float file carries the time it was written: without
    // it, the same render writes the same bytes every time.
    sf_command(file.file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return file;
}

AudioOutputFile::AudioOutputFile(AudioOutputFile&& other) noexcept
    : target_(std::move(other.target_))
    , temporary_(std::exchange(other.temporary_, {}))
    , pending_(std::move(other.pending_))
    , file_(std::exchange(other.file_, nullptr))
    , descriptor_(std::exchange(other.descriptor_, -1))
    , format_(other.format_)
    , framesWritten_(other.framesWritten_)
    , interleaved_(std::move(other.interleaved_))
{
}

AudioOutputFile& AudioOutputFile::operator=(AudioOutputFile&& other) noexcept
{
    if (this != &other) {
        abandon();
        target_ = std::move(other.target_);
        temporary_ = std::exchange(other.temporary_, {});
        pending_ = std::move(other.pending_);
        file_ = std::exchange(other.file_, nullptr);
        descriptor_ = std::exchange(other.descriptor_, -1);
        format_ = other.format_;
        framesWritten_ = other.framesWritten_;
        interleaved_ = std::move(other.interleaved_);
    }
    return *this;
}

AudioOutputFile::~AudioOutputFile()
{
    abandon();
}

void AudioOutputFile::abandon() noexcept
{
    if (file_)
        sf_close(std::exchange(file_, nullptr));
    if (descriptor_ >= 0)
        ::close(std::exchange(descriptor_, -1));
    if (!temporary_.empty())
        ::unlink(std::exchange(temporary_, {}).c_str());
    pending_.release();
}

platform::Error AudioOutputFile::abandonWith(ErrorCode code, std::string message)
{
    abandon();
    return makeError(code, std::move(message));
}

std::expected<void, platform::Error> AudioOutputFile::write(
    std::span<const float> left, std::span<const float> right)
{
    if (!file_)
        return std::unexpected(
            makeError(ErrorCode::WriteFailed, quotedPath(target_) + " is no longer open for writing"));
    if (left.size() != right.size())
        return std::unexpected(makeError(ErrorCode::WriteFailed,
            "writing " + quotedPath(target_) + ": left and right blocks differ in length"));
    for (std::size_t start = 0; start < left.size(); start += kWriteChunkFrames) {
        const std::size_t frames = std::min(kWriteChunkFrames, left.size() - start);
        if (std::uint64_t(framesWritten_) + frames > maxFrames(format_))
            return std::unexpected(abandonWith(ErrorCode::WriteFailed,
                "writing " + quotedPath(target_) + ": " + describeOutputFormat(format_) + " files hold at most " +
                    std::to_string(maxFrames(format_)) + " frames" +
                    (format_.type == FileType::Flac ? "" : " (4 GB); write FLAC instead")));
        interleaved_.resize(std::max(interleaved_.size(), frames * 2));
        for (std::size_t i = 0; i < frames; ++i) {
            interleaved_[2 * i] = left[start + i];
            interleaved_[2 * i + 1] = right[start + i];
        }
        const sf_count_t written =
            sf_writef_float(file_, interleaved_.data(), static_cast<sf_count_t>(frames));
        if (written != static_cast<sf_count_t>(frames)) {
            const std::string reason = sf_strerror(file_);
            return std::unexpected(
                abandonWith(ErrorCode::WriteFailed, "writing " + quotedPath(target_) + " failed: " + reason));
        }
        framesWritten_ += written;
    }
    return {};
}

std::expected<void, platform::Error> AudioOutputFile::commit()
{
    if (!file_)
        return std::unexpected(
            makeError(ErrorCode::CommitFailed, quotedPath(target_) + " is no longer open for writing"));
    // sf_close writes the final header; with a full disk that is where the
    // failure shows.
    sf_write_sync(file_);
    if (const int status = sf_close(std::exchange(file_, nullptr)); status != 0)
        return std::unexpected(abandonWith(ErrorCode::CommitFailed,
            "finishing " + quotedPath(target_) + " failed: " + sf_error_number(status)));
    if (::fsync(descriptor_) != 0) {
        const int error = errno;
        return std::unexpected(abandonWith(
            ErrorCode::CommitFailed, "flushing " + quotedPath(target_) + " failed: " + errnoText(error)));
    }
    if (::close(std::exchange(descriptor_, -1)) != 0) {
        const int error = errno;
        return std::unexpected(abandonWith(
            ErrorCode::CommitFailed, "closing " + quotedPath(target_) + " failed: " + errnoText(error)));
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        return std::unexpected(abandonWith(
            ErrorCode::CommitFailed, "cannot replace " + quotedPath(target_) + ": " + errnoText(error)));
    }
    temporary_.clear();
    pending_.release();
    // Make the rename itself durable; a failure here leaves a complete file.
    if (const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

} // namespace orvane::render
