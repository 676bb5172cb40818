#include "hosts/render/AudioOutputFile.h"

#include <sndfile.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
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
// Lossy streams carry no size field to overflow.
constexpr std::uint64_t kMaxStreamFrames = std::uint64_t(1) << 62;
constexpr int kMaxSymbolicLinks = 40;
constexpr const char* kTemporarySuffix = ".part";

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
    switch (format.type) {
    case FileType::Ogg:
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    case FileType::Opus:
        return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    case FileType::Mp3:
        return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    default:
        break;
    }
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

/// Creates a new, empty, hidden file ".NAME.PID-XXXX.part" beside `target`
/// that nobody else can have opened, on the list of files an interruption
/// removes. The process id in the name lets a later run tell a temporary of a
/// run killed outright from one of a run still going. The mode is left to
/// the umask, as for any file the user makes.
std::expected<Temporary, platform::Error> createTemporaryBeside(const std::filesystem::path& target)
{
    const auto folder = folderOf(target);
    std::random_device entropy;
    std::mt19937_64 names(entropy() ^ (std::uint64_t(::getpid()) << 32));
    int lastError = 0;
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, "%lld-%016llx", static_cast<long long>(::getpid()),
            static_cast<unsigned long long>(names()));
        auto candidate = folder / ("." + target.filename().string() + "." + suffix + kTemporarySuffix);
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

/// The process id in a temporary's name ".NAME.PID-XXXXXXXXXXXXXXXX.part",
/// or 0 when the name is not one of ours.
long long temporaryOwner(const std::string& name)
{
    constexpr std::size_t kHexDigits = 16;
    const std::size_t suffix = std::strlen(kTemporarySuffix);
    if (name.size() < 1 + 2 + kHexDigits + suffix || name.front() != '.' || !name.ends_with(kTemporarySuffix))
        return 0;
    const std::size_t hexEnd = name.size() - suffix;
    const std::size_t hexStart = hexEnd - kHexDigits;
    if (name[hexStart - 1] != '-')
        return 0;
    for (std::size_t i = hexStart; i < hexEnd; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::isupper(static_cast<unsigned char>(name[i])))
            return 0;
    const std::size_t pidEnd = hexStart - 1;
    std::size_t pidStart = pidEnd;
    while (pidStart > 0 && std::isdigit(static_cast<unsigned char>(name[pidStart - 1])))
        --pidStart;
    if (pidStart == pidEnd || pidEnd - pidStart > 12 || pidStart < 2 || name[pidStart - 1] != '.')
        return 0;
    return std::stoll(name.substr(pidStart, pidEnd - pidStart));
}

void put32(unsigned char* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t get32(const unsigned char* at)
{
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 | std::uint32_t(at[3]) << 24;
}

/// The header of a WAV stream whose length nobody knows yet: both sizes at
/// their largest, as streaming writers leave them and readers take them.
std::array<unsigned char, 46> streamWavHeader(double sampleRate, SampleEncoding encoding)
{
    std::array<unsigned char, 46> header{};
    const bool isFloat = encoding == SampleEncoding::Float32;
    const std::uint32_t bytes = encoding == SampleEncoding::Pcm16 ? 2 : encoding == SampleEncoding::Pcm24 ? 3 : 4;
    const auto rate = static_cast<std::uint32_t>(sampleRate);
    std::memcpy(header.data(), "RIFF", 4);
    put32(header.data() + 4, 0xFFFFFFFFu);
    std::memcpy(header.data() + 8, "WAVEfmt ", 8);
    put32(header.data() + 16, 18); // with cbSize, as float files need
    header[20] = isFloat ? 3 : 1;
    header[22] = 2;
    put32(header.data() + 24, rate);
    put32(header.data() + 28, rate * 2 * bytes);
    header[32] = static_cast<unsigned char>(2 * bytes);
    header[34] = static_cast<unsigned char>(8 * bytes);
    // cbSize (0) at 36
    std::memcpy(header.data() + 38, "data", 4);
    put32(header.data() + 42, 0xFFFFFFFFu);
    return header;
}

/// libsndfile writes a float WAV's format chunk in 16 bytes, without the
/// cbSize field that non-PCM formats carry, and some readers warn about it.
/// The chunk grows by those two bytes, taken from the padding chunk
/// libsndfile puts before the samples, so nothing else moves.
void addFormatExtensionSize(int descriptor)
{
    std::array<unsigned char, 512> head{};
    ssize_t got = ::pread(descriptor, head.data(), head.size(), 0);
    if (got < 0 && errno == EBADF) {
        // Standard output redirected into a file is open for writing only.
        const int reader = ::open(("/proc/self/fd/" + std::to_string(descriptor)).c_str(), O_RDONLY | O_CLOEXEC);
        got = reader >= 0 ? ::pread(reader, head.data(), head.size(), 0) : -1;
        if (reader >= 0)
            ::close(reader);
    }
    if (got < 12 || std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "WAVE", 4) != 0)
        return;
    struct Chunk {
        std::size_t at;
        std::uint32_t size;
    };
    std::optional<Chunk> format, padding;
    for (std::size_t at = 12; at + 8 <= std::size_t(got);) {
        const std::uint32_t size = get32(head.data() + at + 4);
        if (std::memcmp(head.data() + at, "data", 4) == 0)
            break;
        if (std::memcmp(head.data() + at, "fmt ", 4) == 0)
            format = Chunk{at, size};
        else if (std::memcmp(head.data() + at, "PAD ", 4) == 0 || std::memcmp(head.data() + at, "JUNK", 4) == 0)
            padding = Chunk{at, size};
        at += 8 + std::size_t(size) + (size & 1);
    }
    if (!format || !padding || format->size != 16 || head[format->at + 8] != 3 || padding->size < 2 ||
        padding->at < format->at || padding->at + 8 + padding->size > std::size_t(got))
        return;
    // Everything from the end of the format chunk to the padding's start
    // moves two bytes on; the padding's body shrinks by two.
    const std::size_t from = format->at + 8 + 16;
    std::array<unsigned char, 512> edited = head;
    std::memmove(edited.data() + from + 2, head.data() + from, padding->at - from + 8);
    edited[from] = 0;
    edited[from + 1] = 0;
    put32(edited.data() + format->at + 4, 18);
    put32(edited.data() + padding->at + 2 + 4, padding->size - 2);
    const std::size_t end = padding->at + 8 + padding->size;
    std::fill(edited.begin() + std::ptrdiff_t(padding->at + 2 + 8), edited.begin() + std::ptrdiff_t(end), 0);
    [[maybe_unused]] const auto written = ::pwrite(descriptor, edited.data(), end, 0);
}

/// splitmix64: a fast generator whose sequence depends on the seed alone.
std::uint64_t nextRandom(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

bool isLossy(FileType type)
{
    return type == FileType::Ogg || type == FileType::Opus || type == FileType::Mp3;
}

std::uint64_t maxFrames(OutputFormat format)
{
    if (format.type == FileType::Flac)
        return kMaxFlacFrames;
    if (isLossy(format.type))
        return kMaxStreamFrames;
    const std::uint64_t bytesPerSample = format.encoding == SampleEncoding::Pcm16 ? 2
        : format.encoding == SampleEncoding::Pcm24                                ? 3
                                                                                  : 4;
    return kMaxRiffSampleBytes / (2 * bytesPerSample);
}

std::expected<OutputFormat, platform::Error> outputFormatFor(
    const std::filesystem::path& output, const RenderOptions& options)
{
    const auto refuse = [&](const std::string& why) {
        return std::unexpected(makeError(ErrorCode::FormatRefused, "output " + quotedPath(output) + ": " + why));
    };
    OutputFormat format;
    if (isStandardStream(output)) {
        format.type = options.fileType.value_or(FileType::Wav);
        if (::isatty(STDOUT_FILENO) == 1)
            return std::unexpected(makeError(ErrorCode::FormatRefused,
                "-o -: standard output is a terminal, which shows no audio; redirect it into a file or a pipe"));
        if (format.type == FileType::Aiff || format.type == FileType::Mp3)
            return std::unexpected(makeError(ErrorCode::FormatRefused,
                "-o -: " + std::string(fileTypeName(format.type)) +
                    " cannot be written as a stream; standard output takes --format wav, flac, ogg or opus"));
    } else {
        const std::string extension = lowercase(output.extension().string());
        const std::pair<const char*, FileType> known[] = {{".wav", FileType::Wav}, {".aiff", FileType::Aiff},
            {".aif", FileType::Aiff}, {".flac", FileType::Flac}, {".ogg", FileType::Ogg}, {".oga", FileType::Ogg},
            {".opus", FileType::Opus}, {".mp3", FileType::Mp3}};
        const auto found = std::ranges::find_if(known, [&](const auto& entry) { return extension == entry.first; });
        if (found == std::end(known)) {
            const std::string shown =
                extension.empty() ? "no extension" : "extension '" + output.extension().string() + "'";
            return std::unexpected(makeError(ErrorCode::UnsupportedOutputType,
                "output " + quotedPath(output) + " has " + shown +
                    "; use .wav, .aiff, .aif, .flac, .ogg, .opus or .mp3"));
        }
        format.type = found->second;
        if (options.fileType && *options.fileType != format.type)
            return refuse("its extension says " + std::string(fileTypeName(format.type)) + " but --format says " +
                std::string(fileTypeName(*options.fileType)));
    }
    if (isLossy(format.type)) {
        if (options.encoding)
            return refuse(std::string(fileTypeName(format.type)) + " output takes no --bits; set its --quality instead");
        if (options.dither == Dither::Tpdf)
            return refuse("lossy formats are not rounded to integers; --dither tpdf does not apply");
        format.encoding = SampleEncoding::Float32;
        format.quality = options.quality.value_or(kDefaultQuality);
        return format;
    }
    if (options.quality)
        return refuse("--quality is for .ogg, .opus and .mp3 output; " + std::string(fileTypeName(format.type)) +
            " is lossless");
    if (format.type == FileType::Flac) {
        if (options.encoding == SampleEncoding::Float32)
            return refuse("FLAC has no float samples; use --bits 16 or 24");
        format.encoding = options.encoding.value_or(SampleEncoding::Pcm24);
    } else {
        format.encoding = options.encoding.value_or(SampleEncoding::Float32);
    }
    if (format.encoding == SampleEncoding::Float32) {
        if (options.dither == Dither::Tpdf)
            return refuse("32-bit float samples are not rounded; --dither tpdf needs --bits 16 or 24");
        format.dither = Dither::None;
    } else {
        format.dither = options.dither.value_or(format.encoding == SampleEncoding::Pcm16 ? Dither::Tpdf : Dither::None);
    }
    return format;
}

std::string describeOutputFormat(OutputFormat format)
{
    const auto quality = [&] {
        char text[32];
        std::snprintf(text, sizeof text, ", quality %.2g", format.quality);
        return std::string(text);
    };
    switch (format.type) {
    case FileType::Ogg:
        return "Ogg Vorbis" + quality();
    case FileType::Opus:
        return "Opus" + quality();
    case FileType::Mp3:
        return "MP3" + quality();
    default:
        break;
    }
    std::string text = format.type == FileType::Wav ? "WAV" : format.type == FileType::Aiff ? "AIFF" : "FLAC";
    const std::string dither = format.dither == Dither::Tpdf ? ", TPDF dither" : "";
    switch (format.encoding) {
    case SampleEncoding::Pcm16:
        return text + ", 16-bit" + dither;
    case SampleEncoding::Pcm24:
        return text + ", 24-bit" + dither;
    case SampleEncoding::Float32:
        break;
    }
    return text + ", 32-bit float";
}

std::filesystem::path defaultOutputPath(const std::filesystem::path& input, FileType type)
{
    return input.parent_path() / (input.stem().string() + "-orvane." + std::string(fileTypeName(type)));
}

std::filesystem::path resolvedOutputPath(const std::filesystem::path& output)
{
    std::filesystem::path path = output;
    for (int hop = 0; hop < kMaxSymbolicLinks; ++hop) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)) || error)
            return path;
        const auto target = std::filesystem::read_symlink(path, error);
        if (error)
            return path;
        path = target.is_absolute() ? target : folderOf(path) / target;
    }
    return path;
}

std::size_t removeStaleTemporaries(const std::filesystem::path& folder)
{
    std::size_t removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const long long owner = temporaryOwner(entry->path().filename().string());
        if (owner <= 0 || owner == ::getpid() || owner > std::numeric_limits<pid_t>::max())
            continue;
        // Gone for good only when no process has that id; a process of
        // another user that took the id over (EPERM) keeps the file.
        if (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)
            continue;
        std::error_code ignored;
        if (std::filesystem::is_regular_file(entry->symlink_status(ignored)) &&
            std::filesystem::remove(entry->path(), ignored))
            ++removed;
    }
    return removed;
}

std::expected<void, platform::Error> checkOutputIsNotInput(
    const std::filesystem::path& input, const std::filesystem::path& output)
{
    if (isStandardStream(output))
        return {};
    std::error_code error;
    const auto kind = std::filesystem::status(output, error);
    if (kind.type() == std::filesystem::file_type::not_found)
        return {};
    if (kind.type() == std::filesystem::file_type::directory)
        return std::unexpected(
            makeError(ErrorCode::NotARegularFile, "output " + quotedPath(output) + " is a folder"));
    // equivalent() compares device and inode, so another spelling of the
    // path, a symbolic link or a hard link to the input are all caught.
    if (!isStandardStream(input) && std::filesystem::equivalent(input, output, error) && !error)
        return std::unexpected(makeError(ErrorCode::SameFileAsInput,
            "output " + quotedPath(output) + " is the input file " + quotedPath(input) +
                "; refusing to overwrite it"));
    return {};
}

std::expected<OutputPlan, platform::Error> planOutput(const std::filesystem::path& input, const RenderOptions& options)
{
    OutputPlan plan;
    plan.path = options.output.value_or(defaultOutputPath(input, options.fileType.value_or(FileType::Wav)));
    auto format = outputFormatFor(plan.path, options);
    if (!format)
        return std::unexpected(format.error());
    plan.format = *format;
    if (auto distinct = checkOutputIsNotInput(input, plan.path); !distinct)
        return std::unexpected(distinct.error());
    std::error_code error;
    if (options.noClobber && !isStandardStream(plan.path) &&
        std::filesystem::symlink_status(plan.path, error).type() != std::filesystem::file_type::not_found)
        return std::unexpected(makeError(ErrorCode::OutputExists,
            "output " + quotedPath(plan.path) + " exists, and -n (--no-clobber) forbids replacing it"));
    return plan;
}

std::expected<AudioOutputFile, platform::Error> AudioOutputFile::create(const std::filesystem::path& target,
    double sampleRate, OutputFormat format, std::optional<std::uint32_t> ditherSeed)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(sampleRate);
    info.channels = 2;
    info.format = sndfileFormat(format);
    if (sampleRate < 1.0 || double(info.samplerate) != sampleRate || !sf_format_check(&info))
        return std::unexpected(makeError(ErrorCode::SampleFormatNotAllowed,
            "output " + quotedPath(target) + ": " + describeOutputFormat(format) + " cannot hold stereo at " +
                std::to_string(std::lround(sampleRate)) + " Hz"));

    AudioOutputFile file;
    file.target_ = target;
    file.format_ = format;
    file.ditherState_ = ditherSeed ? 0x6F7276616E650000ull ^ *ditherSeed : (std::uint64_t(std::random_device{}()) << 32 |
                                                                                  std::random_device{}());
    if (isStandardStream(target)) {
        file.toStandardOutput_ = true;
        file.descriptor_ = STDOUT_FILENO;
        struct stat status {};
        // Standard output redirected to the start of a file is a file like
        // any other, whose header is finished at the end; a pipe is not.
        const bool seekable = ::fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode) &&
            ::lseek(STDOUT_FILENO, 0, SEEK_CUR) == 0;
        if (format.type == FileType::Wav && !seekable) {
            const auto header = streamWavHeader(sampleRate, format.encoding);
            if (::write(STDOUT_FILENO, header.data(), header.size()) != ssize_t(header.size()))
                return std::unexpected(makeError(ErrorCode::WriteFailed,
                    "writing standard output failed: " + errnoText(errno)));
            info.format = SF_FORMAT_RAW | SF_ENDIAN_LITTLE | (info.format & SF_FORMAT_SUBMASK);
        }
        file.file_ = sf_open_fd(STDOUT_FILENO, SFM_WRITE, &info, SF_FALSE);
        if (!file.file_)
            return std::unexpected(makeError(ErrorCode::CreateFailed,
                "cannot write " + describeOutputFormat(format) + " to standard output: " + sf_strerror(nullptr)));
    } else {
        file.destination_ = resolvedOutputPath(target);
        auto temporary = createTemporaryBeside(file.destination_);
        if (!temporary)
            return std::unexpected(temporary.error());
        file.temporary_ = std::move(temporary->path);
        file.descriptor_ = temporary->descriptor;
        file.pending_ = std::move(temporary->pending);
        // The replaced file's permission bits, and its group where ours may
        // give it, carry over to the new one.
        struct stat replaced {};
        if (::stat(file.destination_.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
            file.replaced_ = true;
            [[maybe_unused]] const int owned = ::fchown(file.descriptor_, static_cast<uid_t>(-1), replaced.st_gid);
            ::fchmod(file.descriptor_, replaced.st_mode & 07777);
        }
        // The descriptor stays ours (SF_FALSE) so that commit() can flush it
        // to disk after libsndfile has written the final header.
        file.file_ = sf_open_fd(file.descriptor_, SFM_WRITE, &info, SF_FALSE);
        if (!file.file_)
            return std::unexpected(file.abandonWith(
                ErrorCode::CreateFailed, "cannot start " + quotedPath(target) + ": " + sf_strerror(nullptr)));
    }
    if (isLossy(format.type)) {
        // libsndfile's level runs the other way: 0 is the best quality.
        double level = 1.0 - format.quality;
        sf_command(file.file_, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    // The peak chunk of a float file carries the time it was written: without
    // it, the same render writes the same bytes every time.
    sf_command(file.file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return file;
}

AudioOutputFile::AudioOutputFile(AudioOutputFile&& other) noexcept
    : target_(std::move(other.target_))
    , destination_(std::move(other.destination_))
    , temporary_(std::exchange(other.temporary_, {}))
    , pending_(std::move(other.pending_))
    , file_(std::exchange(other.file_, nullptr))
    , descriptor_(std::exchange(other.descriptor_, -1))
    , toStandardOutput_(other.toStandardOutput_)
    , replaced_(other.replaced_)
    , format_(other.format_)
    , framesWritten_(other.framesWritten_)
    , clipped_(other.clipped_)
    , ditherState_(other.ditherState_)
    , interleaved_(std::move(other.interleaved_))
    , quantized_(std::move(other.quantized_))
{
}

AudioOutputFile& AudioOutputFile::operator=(AudioOutputFile&& other) noexcept
{
    if (this != &other) {
        abandon();
        target_ = std::move(other.target_);
        destination_ = std::move(other.destination_);
        temporary_ = std::exchange(other.temporary_, {});
        pending_ = std::move(other.pending_);
        file_ = std::exchange(other.file_, nullptr);
        descriptor_ = std::exchange(other.descriptor_, -1);
        toStandardOutput_ = other.toStandardOutput_;
        replaced_ = other.replaced_;
        format_ = other.format_;
        framesWritten_ = other.framesWritten_;
        clipped_ = other.clipped_;
        ditherState_ = other.ditherState_;
        interleaved_ = std::move(other.interleaved_);
        quantized_ = std::move(other.quantized_);
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
    if (descriptor_ >= 0 && !toStandardOutput_)
        ::close(descriptor_);
    descriptor_ = -1;
    if (!temporary_.empty())
        ::unlink(std::exchange(temporary_, {}).c_str());
    pending_.release();
}

platform::Error AudioOutputFile::abandonWith(ErrorCode code, std::string message)
{
    abandon();
    return makeError(code, std::move(message));
}

void AudioOutputFile::quantize(std::size_t samples)
{
    // libsndfile takes integers left-aligned in 32 bits and keeps their top
    // bits exactly, so the rounding here is the one the file holds.
    const bool sixteen = format_.encoding == SampleEncoding::Pcm16;
    const double scale = sixteen ? 32768.0 : 8388608.0;
    const int shift = sixteen ? 16 : 8;
    const bool dither = format_.dither == Dither::Tpdf;
    quantized_.resize(std::max(quantized_.size(), samples));
    for (std::size_t i = 0; i < samples; ++i) {
        double value = double(interleaved_[i]) * scale;
        if (dither) {
            // The difference of two uniform values: triangular, one step
            // either side, so the rounding error carries no trace of the signal.
            const std::uint64_t bits = nextRandom(ditherState_);
            value += (double(bits >> 40) - double(bits & 0xFFFFFF)) * 0x1p-24;
        }
        double rounded = std::isnan(value) ? 0.0 : std::nearbyint(value);
        if (rounded > scale - 1.0 || rounded < -scale) {
            rounded = std::clamp(rounded, -scale, scale - 1.0);
            ++clipped_;
        }
        quantized_[i] = static_cast<int>(rounded) * (1 << shift);
    }
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
    const bool integer = !isLossy(format_.type) && format_.encoding != SampleEncoding::Float32;
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
        sf_count_t written = 0;
        if (integer) {
            quantize(frames * 2);
            written = sf_writef_int(file_, quantized_.data(), static_cast<sf_count_t>(frames));
        } else {
            written = sf_writef_float(file_, interleaved_.data(), static_cast<sf_count_t>(frames));
        }
        if (written != static_cast<sf_count_t>(frames)) {
            const std::string reason = sf_strerror(file_);
            return std::unexpected(abandonWith(ErrorCode::WriteFailed,
                "writing " + (toStandardOutput_ ? std::string("standard output") : quotedPath(target_)) +
                    " failed: " + reason));
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
    if (!toStandardOutput_)
        sf_write_sync(file_);
    if (const int status = sf_close(std::exchange(file_, nullptr)); status != 0)
        return std::unexpected(abandonWith(ErrorCode::CommitFailed,
            "finishing " + quotedPath(target_) + " failed: " + sf_error_number(status)));
    if (format_.type == FileType::Wav && format_.encoding == SampleEncoding::Float32)
        addFormatExtensionSize(descriptor_);
    if (toStandardOutput_) {
        descriptor_ = -1;
        return {};
    }
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
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        const int error = errno;
        return std::unexpected(abandonWith(
            ErrorCode::CommitFailed, "cannot replace " + quotedPath(target_) + ": " + errnoText(error)));
    }
    temporary_.clear();
    pending_.release();
    // Make the rename itself durable; a failure here leaves a complete file.
    if (const int folder = ::open(folderOf(destination_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

} // namespace orvane::render
