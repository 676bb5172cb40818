#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orvane::render {

/// Sample encoding of the output file, chosen with --bits.
enum class SampleEncoding { Pcm16, Pcm24, Float32 };

/// Container of the output file: from the output's extension, or --format.
enum class FileType { Wav, Aiff, Flac, Ogg, Opus, Mp3 };

/// What is added before integer samples are rounded (--dither).
enum class Dither { None, Tpdf };

/// One --set ID=VALUE: a parameter identifier and the value to give it.
struct ParameterSetting {
    std::string identifier;
    float value = 0.0f;

    friend bool operator==(const ParameterSetting&, const ParameterSetting&) = default;
};

/// A --preset choice: a factory preset by the number people see, counted
/// from 1 as the preset labels are (all digits), or by name or label.
using PresetChoice = std::variant<std::uint32_t, std::string>;

/// Everything the command line of orvane-render asks for, validated. A plain
/// value: the host applies a preset first, then a saved state, then the
/// --set values in command-line order, so later settings win.
struct RenderOptions {
    /// The audio files to render, in command-line order; none selects the
    /// built-in demo input.
    std::vector<std::filesystem::path> inputs;
    /// Where to write a single input; none means "<input stem>-orvane.wav"
    /// beside the input, or in outputFolder.
    std::optional<std::filesystem::path> output;
    /// The folder that receives every "<input stem>-orvane.wav" (--outdir).
    std::optional<std::filesystem::path> outputFolder;
    /// Files rendered at once, 1 to kMaxJobs; none means one per processor.
    std::optional<std::uint32_t> jobs;
    std::optional<PresetChoice> preset;
    std::vector<ParameterSetting> settings;
    std::optional<std::filesystem::path> stateFile;
    /// Both --preset and --state given, --preset later: the preset is applied
    /// after the state, so that the later one wins.
    bool presetAfterState = false;
    std::optional<std::filesystem::path> saveStateFile;
    /// The plug-in bundle folder; none means the one beside the program.
    std::optional<std::filesystem::path> plugin;
    bool listPresets = false;
    bool bypass = false;
    bool quiet = false;
    /// 1 to 4294967294; none leaves the unit's own seeding alone.
    std::optional<std::uint32_t> seed;
    /// Frames per render call, 1 to kMaxBlockFrames.
    std::uint32_t blockFrames = 512;
    /// Seconds of tail to render after the input; none means "auto": ask the unit.
    std::optional<double> tailSeconds;
    /// none: the output format's default (float for WAV and AIFF, 24-bit for FLAC).
    std::optional<SampleEncoding> encoding;
    /// none: TPDF at 16 bits, nothing at 24.
    std::optional<Dither> dither;
    /// 0 to 1, for the lossy formats; none means kDefaultQuality.
    std::optional<double> quality;
    /// --format: the container of outputs with no name of their own (a
    /// batch's, standard output's); none means WAV there.
    std::optional<FileType> fileType;
    /// --channels A,B: the two channels (counted from 0 here) taken from a
    /// file with more than two.
    std::optional<std::pair<int, int>> channels;
    /// -n: refuse any output that exists already.
    bool noClobber = false;
};

/// The name that stands for standard input as INPUT and for standard output
/// as -o.
inline constexpr std::string_view kStandardStream = "-";
inline bool isStandardStream(const std::filesystem::path& path) { return path.native() == kStandardStream; }

inline constexpr double kDefaultQuality = 0.7;

inline constexpr std::uint32_t kMaxBlockFrames = 65536;
inline constexpr std::uint32_t kMaxJobs = 1024;
inline constexpr std::uint32_t kMinSeed = 1;
inline constexpr std::uint32_t kMaxSeed = 4294967294u;

/// The range of every parameter, which --set holds values to.
inline constexpr double kParameterMinimum = 0.0;
inline constexpr double kParameterMaximum = 1.0;

/// The six parameter identifiers --set accepts, in address order.
inline constexpr std::string_view kParameterIdentifiers[] = {
    "premix", "granularity", "incoherence", "impatience", "nausea", "gravitas"};

/// Text the user asked to see instead of a render (--help, --version); the
/// caller prints it to standard output and exits with success.
struct InformationRequest {
    std::string text;
};

/// A successful parse: either options to render with or text to show.
using CommandLine = std::variant<RenderOptions, InformationRequest>;

/// Parses orvane-render's arguments (argv[0] is the program name). Never
/// prints and never exits: errors come back as one line that names the
/// offending text, for the caller to print.
std::expected<CommandLine, std::string> parseCommandLine(int argc, const char* const* argv);

/// The usage text shown by --help.
std::string usageText();

/// Parses one --preset argument: all digits is a number, anything else a name.
std::expected<PresetChoice, std::string> parsePresetChoice(std::string_view text);

/// Parses one --set argument, "ID=VALUE"; the identifier in any case.
std::expected<ParameterSetting, std::string> parseParameterSetting(std::string_view text);

/// Whether --preset comes after --state among the arguments (both given):
/// the later of the two is applied last and wins.
bool presetComesAfterState(int argc, const char* const* argv);

/// "wav", "ogg", ...: the name --format takes for a file type.
std::string_view fileTypeName(FileType type);

} // namespace orvane::render
