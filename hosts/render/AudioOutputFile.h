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

/// Container of the output file, chosen by the output's extension.
enum class FileType { Wav, Aiff, Flac };

/// How the output is written: container and sample encoding.
struct OutputFormat {
    FileType type = FileType::Wav;
    SampleEncoding encoding = SampleEncoding::Float32;

    friend bool operator==(const OutputFormat&, const OutputFormat&) = default;
};

/// The format for an output path: the type from its extension (.wav, .aiff,
/// .aif, .flac, any case) and the requested encoding, or the type's default
/// (32-bit float for WAV and AIFF, 24-bit for FLAC, which has no float).
std::expected<OutputFormat, platform::Error> outputFormatFor(
    const std::filesystem::path& output, std::optional<SampleEncoding> requested);

/// The most stereo frames a file of this format can hold: WAV and AIFF
/// record their size in 32 bits (4 GB), FLAC its length in 36.
std::uint64_t maxFrames(OutputFormat format);
inline constexpr std::uint64_t kMaxFlacFrames = (std::uint64_t(1) << 36) - 1;

/// "WAV, 32-bit float", "FLAC, 24-bit", ...
std::string describeOutputFormat(OutputFormat format);

/// "<input stem>-orvane.wav" in the input's folder.
std::filesystem::path defaultOutputPath(const std::filesystem::path& input);

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

/// Resolves the output of a render of `input`: the requested path or the
/// default one, its format, and the check that it does not replace the input.
std::expected<OutputPlan, platform::Error> planOutput(const std::filesystem::path& input,
    const std::optional<std::filesystem::path>& output, std::optional<SampleEncoding> requested);

/// A stereo output file written block by block into a temporary file in the
/// target's folder, which commit() renames over the target. Until commit()
/// succeeds the target is untouched; any failure, or destruction without a
/// commit, removes the temporary, so no partial output is ever left behind.
/// Integer encodings clip samples beyond full scale instead of wrapping;
/// float output is written as it comes. Move-only; one thread at a time.
class AudioOutputFile {
public:
    static std::expected<AudioOutputFile, platform::Error> create(
        const std::filesystem::path& target, double sampleRate, OutputFormat format);

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

private:
    AudioOutputFile() = default;
    void abandon() noexcept;
    platform::Error abandonWith(ErrorCode code, std::string message);

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    platform::PendingFile pending_;
    SNDFILE* file_ = nullptr;
    int descriptor_ = -1;
    OutputFormat format_;
    std::int64_t framesWritten_ = 0;
    std::vector<float> interleaved_;
};

} // namespace orvane::render
