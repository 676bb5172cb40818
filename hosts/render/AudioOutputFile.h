#pragma once

#include "hosts/render/RenderError.h"
#include "hosts/render/RenderOptions.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PendingFiles.h"

#include <sndfile.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvane::render {

/// How the output is written: container, sample encoding (float for the
/// lossy formats, which take no bits), the dither of integer samples and
/// the quality of lossy ones.
struct OutputFormat {
    FileType type = FileType::Wav;
    SampleEncoding encoding = SampleEncoding::Float32;
    Dither dither = Dither::None;
    double quality = kDefaultQuality;

    friend bool operator==(const OutputFormat&, const OutputFormat&) = default;
};

/// Ogg Vorbis, Opus and MP3: no bits to choose, a quality instead.
bool isLossy(FileType type);

/// The format for an output path: the type from its extension (.wav, .aiff,
/// .aif, .flac, .ogg, .opus, .mp3, any case), or for standard output ("-")
/// from options.fileType (WAV by default), with options.encoding or the
/// type's default (32-bit float for WAV and AIFF, 24-bit for FLAC, which has
/// no float), options.dither or the default (TPDF at 16 bits, none at 24)
/// and options.quality. A combination that cannot be is refused with
/// FormatRefused, an extension of no format with UnsupportedOutputType.
std::expected<OutputFormat, platform::Error> outputFormatFor(
    const std::filesystem::path& output, const RenderOptions& options);

/// The most stereo frames a file of this format can hold: WAV and AIFF
/// record their size in 32 bits (4 GB), FLAC its length in 36.
std::uint64_t maxFrames(OutputFormat format);
inline constexpr std::uint64_t kMaxFlacFrames = (std::uint64_t(1) << 36) - 1;

/// "WAV, 32-bit float", "FLAC, 16-bit, TPDF dither", "Ogg Vorbis, quality 0.7", ...
std::string describeOutputFormat(OutputFormat format);

/// "<input stem>-orvane.wav" (or the extension of `type`) in the input's folder.
std::filesystem::path defaultOutputPath(const std::filesystem::path& input, FileType type = FileType::Wav);

/// The file a write to `output` replaces: `output` itself, or the end of
/// the chain of symbolic links it names, which may not exist yet.
std::filesystem::path resolvedOutputPath(const std::filesystem::path& output);

/// Removes from `folder` the temporaries that runs of this program left
/// there when they were killed outright: the hidden ".NAME.PID-XXXX.part"
/// files whose process no longer runs. Those of live runs stay. The count
/// of files removed.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder);

/// Refuses an output that is the input itself, however it is spelt: when the
/// output exists, the two are compared by device and inode, which also
/// catches other spellings, symbolic links and hard links. Also refuses an
/// output that is a folder.
std::expected<void, platform::Error> checkOutputIsNotInput(
    const std::filesystem::path& input, const std::filesystem::path& output);

/// Where and how a render writes.
struct OutputPlan {
    std::filesystem::path path;
    OutputFormat format;
};

/// Resolves the output of a render of `input`: options.output or the default
/// path, its format, and the check that it does not replace the input (nor,
/// with options.noClobber, any file).
std::expected<OutputPlan, platform::Error> planOutput(const std::filesystem::path& input, const RenderOptions& options);

/// A stereo output file written block by block into a temporary file in the
/// folder of the file it replaces (through symbolic links, their target),
/// which commit() renames over that file, giving it the replaced file's
/// permissions. Until commit() succeeds the target is untouched; any failure,
/// or destruction without a commit, removes the temporary, so no partial
/// output is ever left behind. Standard output ("-") is written as it comes.
/// Integer samples are rounded to nearest, after TPDF dither when the format
/// asks for it, and clipped at full scale instead of wrapping; float output
/// is written as it comes. Move-only; one thread at a time.
class AudioOutputFile {
public:
    /// `ditherSeed` makes the dither reproducible; none draws a fresh one.
    static std::expected<AudioOutputFile, platform::Error> create(const std::filesystem::path& target,
        double sampleRate, OutputFormat format, std::optional<std::uint32_t> ditherSeed = std::nullopt);

    AudioOutputFile(AudioOutputFile&& other) noexcept;
    AudioOutputFile& operator=(AudioOutputFile&& other) noexcept;
    AudioOutputFile(const AudioOutputFile&) = delete;
    AudioOutputFile& operator=(const AudioOutputFile&) = delete;
    ~AudioOutputFile();

    /// Appends one planar block; both channels hold the same number of frames.
    /// After a failure the file is abandoned and every later call fails.
    std::expected<void, platform::Error> write(std::span<const float> left, std::span<const float> right);

    /// Finishes the file, flushes it to disk and renames it over the target.
    std::expected<void, platform::Error> commit();

    const std::filesystem::path& target() const { return target_; }
    /// Empty once committed or abandoned.
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    std::int64_t framesWritten() const { return framesWritten_; }
    OutputFormat format() const { return format_; }
    /// Whether commit() replaced a file that was there.
    bool replaced() const { return replaced_; }
    /// Samples beyond full scale that integer output clipped.
    std::int64_t clippedSamples() const { return clipped_; }

private:
    AudioOutputFile() = default;
    void abandon() noexcept;
    platform::Error abandonWith(ErrorCode code, std::string message);
    /// Rounds (after dither) and clips one interleaved chunk into integers.
    void quantize(std::size_t samples);

    std::filesystem::path target_;
    /// The file the rename replaces: target_, or its symbolic links' target.
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    platform::PendingFile pending_;
    SNDFILE* file_ = nullptr;
    int descriptor_ = -1;
    bool toStandardOutput_ = false;
    bool replaced_ = false;
    OutputFormat format_;
    std::int64_t framesWritten_ = 0;
    std::int64_t clipped_ = 0;
    std::uint64_t ditherState_ = 0;
    std::vector<float> interleaved_;
    std::vector<int> quantized_;
};

} // namespace orvane::render
