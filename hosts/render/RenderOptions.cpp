#include "hosts/render/RenderOptions.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif

namespace orvane::render {
namespace {

constexpr const char* kProgramName = "orvane-render";

/// The arguments as CLI11 hands them over, before our own validation: every
/// value stays text here so that error messages can quote it verbatim.
struct RawArguments {
    std::vector<std::string> inputs;
    std::string output;
    std::string outputFolder;
    std::string jobs;
    std::string preset;
    std::vector<std::string> settings;
    std::string stateFile;
    std::string saveStateFile;
    std::string plugin;
    std::string seed;
    std::string block;
    std::string tail;
    std::string bits;
    bool listPresets = false;
    bool bypass = false;
    bool quiet = false;
};

void describe(CLI::App& app, RawArguments& raw)
{
    app.description("Runs audio files through the Orvane effect and writes each result as a "
                    "stereo file at the same sample rate.");
    app.footer("Without INPUT the built-in demo clip is rendered: through every factory preset into "
               "out/demo/NN-Name.wav, or once when --preset, --state or -o picks the sound or the file. The "
               "output format follows the output's extension: .wav, .aiff, .aif or .flac. No file the command "
               "writes may be one it reads or another it writes. With --seed, a render is the same bit for bit "
               "for the same block size.\n\n"
               "Exit status: 0 when every file was rendered, 1 when one failed (it leaves no file), 2 for a "
               "command line it cannot take, 128 + the signal's number (130, 143, 129) when interrupted by "
               "Ctrl+C, SIGTERM or SIGHUP (every unfinished file is removed).");
    app.add_option("INPUT", raw.inputs,
           "Audio files to render (any format libsndfile reads; mono or stereo)")
        ->type_name("FILE");
    app.add_option("-o,--output", raw.output,
           "Output file of a single input (default: <input stem>-orvane.wav beside the input)")
        ->type_name("FILE");
    app.add_option("--outdir", raw.outputFolder,
           "Existing folder for the outputs, each named <input stem>-orvane.wav")
        ->type_name("FOLDER");
    app.add_option("--jobs", raw.jobs, "Files rendered at once, 1 to 1024 (default: one per processor)")
        ->type_name("N");
    app.add_option("--preset", raw.preset, "Factory preset to start from, by number or name")
        ->type_name("N|NAME");
    // One value per occurrence, so that "--set premix=1 in.wav" leaves in.wav
    // to the INPUT positional.
    app.add_option("--set", raw.settings,
           "Set a parameter (premix granularity incoherence impatience nausea "
           "gravitas); repeatable, applied in order")
        ->type_name("ID=VALUE")
        ->allow_extra_args(false);
    app.add_option("--state", raw.stateFile, "Restore a saved state before rendering")->type_name("FILE");
    app.add_option("--save-state", raw.saveStateFile, "Save the unit's state after setup")->type_name("FILE");
    app.add_option("--plugin", raw.plugin,
           "The plug-in bundle to load (default: the one installed beside the program)")
        ->type_name("FOLDER");
    app.add_flag("--list-presets", raw.listPresets, "List the factory presets and exit");
    app.add_flag("--bypass", raw.bypass, "Render with the effect bypassed");
    app.add_option("--seed", raw.seed, "Random seed, 1 to 4294967294")->type_name("N");
    app.add_option("--block", raw.block, "Frames per render call, 1 to 65536 (default 512)")->type_name("N");
    app.add_option("--tail", raw.tail,
           "Seconds rendered after the input ends, or auto to ask the effect "
           "(default auto)")
        ->type_name("auto|SECONDS");
    app.add_option("--bits", raw.bits, "Output samples: 16, 24 or float (default float; 24 for FLAC)")
        ->type_name("16|24|float");
    app.add_flag("-q,--quiet", raw.quiet, "Print neither progress nor summary");
    app.set_version_flag("--version", std::string(kProgramName) + " " + ORVANE_VERSION);
}

std::string quoted(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

/// A finite decimal number, the whole text and nothing else.
std::optional<double> parseFiniteNumber(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

/// A whole number within [low, high], quoted in the error under the option's name.
std::expected<std::uint32_t, std::string> parseWholeNumber(
    std::string_view option, std::string_view text, std::uint32_t low, std::uint32_t high)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool allDigits = !text.empty() && end == text.data() + text.size() &&
        (error == std::errc{} || error == std::errc::result_out_of_range);
    if (!allDigits)
        return std::unexpected(std::string(option) + ": " + quoted(text) + " is not a whole number");
    if (error == std::errc::result_out_of_range || value < low || value > high)
        return std::unexpected(std::string(option) + ": " + quoted(text) + " is outside " +
            std::to_string(low) + " to " + std::to_string(high));
    return static_cast<std::uint32_t>(value);
}

std::expected<std::optional<double>, std::string> parseTail(std::string_view text)
{
    if (text == "auto")
        return std::optional<double>{};
    const auto seconds = parseFiniteNumber(text);
    if (!seconds)
        return std::unexpected("--tail: " + quoted(text) + " is neither 'auto' nor a number of seconds");
    if (*seconds < 0.0)
        return std::unexpected("--tail: " + quoted(text) + " is negative");
    return std::optional<double>{*seconds == 0.0 ? 0.0 : *seconds};
}

std::expected<SampleEncoding, std::string> parseBits(std::string_view text)
{
    if (text == "16")
        return SampleEncoding::Pcm16;
    if (text == "24")
        return SampleEncoding::Pcm24;
    if (text == "float")
        return SampleEncoding::Float32;
    return std::unexpected("--bits: " + quoted(text) + " is not one of 16, 24, float");
}

std::expected<PresetChoice, std::string> parsePreset(std::string_view text)
{
    if (text.empty())
        return std::unexpected(std::string("--preset: the preset name is empty"));
    const bool digitsOnly = text.find_first_not_of("0123456789") == std::string_view::npos;
    if (!digitsOnly)
        return PresetChoice{std::string(text)};
    auto number = parseWholeNumber("--preset", text, 0, std::numeric_limits<std::uint32_t>::max());
    if (!number)
        return std::unexpected(number.error());
    return PresetChoice{*number};
}

std::expected<std::filesystem::path, std::string> parsePath(std::string_view option, std::string_view text)
{
    if (text.empty())
        return std::unexpected(std::string(option) + ": the file name is empty");
    return std::filesystem::path(text);
}

/// Turns the raw texts of the options that were given into RenderOptions.
std::expected<RenderOptions, std::string> validate(const CLI::App& app, const RawArguments& raw)
{
    const auto given = [&](const char* name) { return app.count(name) > 0; };
    RenderOptions options;
    options.listPresets = raw.listPresets;
    options.bypass = raw.bypass;
    options.quiet = raw.quiet;

    const auto optionalPath =
        [&](const char* name, std::string_view shown, const std::string& text,
            std::optional<std::filesystem::path>& into) -> std::expected<void, std::string> {
        if (!given(name))
            return {};
        auto path = parsePath(shown, text);
        if (!path)
            return std::unexpected(path.error());
        into = std::move(*path);
        return {};
    };
    for (const auto& text : raw.inputs) {
        auto path = parsePath("INPUT", text);
        if (!path)
            return std::unexpected(path.error());
        options.inputs.push_back(std::move(*path));
    }
    if (auto ok = optionalPath("--output", "--output", raw.output, options.output); !ok)
        return std::unexpected(ok.error());
    if (auto ok = optionalPath("--outdir", "--outdir", raw.outputFolder, options.outputFolder); !ok)
        return std::unexpected(ok.error());
    if (auto ok = optionalPath("--state", "--state", raw.stateFile, options.stateFile); !ok)
        return std::unexpected(ok.error());
    if (auto ok = optionalPath("--plugin", "--plugin", raw.plugin, options.plugin); !ok)
        return std::unexpected(ok.error());
    if (auto ok = optionalPath("--save-state", "--save-state", raw.saveStateFile, options.saveStateFile); !ok)
        return std::unexpected(ok.error());

    if (given("--preset")) {
        auto preset = parsePreset(raw.preset);
        if (!preset)
            return std::unexpected(preset.error());
        options.preset = std::move(*preset);
    }
    for (const auto& text : raw.settings) {
        auto setting = parseParameterSetting(text);
        if (!setting)
            return std::unexpected(setting.error());
        options.settings.push_back(std::move(*setting));
    }
    if (given("--seed")) {
        auto seed = parseWholeNumber("--seed", raw.seed, kMinSeed, kMaxSeed);
        if (!seed)
            return std::unexpected(seed.error());
        options.seed = *seed;
    }
    if (given("--block")) {
        auto block = parseWholeNumber("--block", raw.block, 1, kMaxBlockFrames);
        if (!block)
            return std::unexpected(block.error());
        options.blockFrames = *block;
    }
    if (given("--jobs")) {
        auto jobs = parseWholeNumber("--jobs", raw.jobs, 1, kMaxJobs);
        if (!jobs)
            return std::unexpected(jobs.error());
        options.jobs = *jobs;
    }
    if (given("--tail")) {
        auto tail = parseTail(raw.tail);
        if (!tail)
            return std::unexpected(tail.error());
        options.tailSeconds = *tail;
    }
    if (given("--bits")) {
        auto bits = parseBits(raw.bits);
        if (!bits)
            return std::unexpected(bits.error());
        options.encoding = *bits;
    }

    // Options that belong to one render, or to files given on the command line.
    const auto inputCount = std::to_string(options.inputs.size());
    if (options.output && options.outputFolder)
        return std::unexpected(std::string("--output and --outdir cannot be given together"));
    if (options.output && options.inputs.size() > 1)
        return std::unexpected("--output: names the output of a single input, but " + inputCount +
            " inputs were given; use --outdir FOLDER for several");
    if (options.saveStateFile && options.inputs.size() > 1)
        return std::unexpected(
            "--save-state: saves the state of a single render, but " + inputCount + " inputs were given");
    if (options.outputFolder && options.inputs.empty())
        return std::unexpected(std::string("--outdir: names where INPUT files are rendered to, but none was given"));
    return options;
}

} // namespace

std::expected<PresetChoice, std::string> parsePresetChoice(std::string_view text)
{
    return parsePreset(text);
}

std::expected<ParameterSetting, std::string> parseParameterSetting(std::string_view text)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size())
        return std::unexpected("--set: " + quoted(text) + " is not ID=VALUE");
    const std::string_view identifier = text.substr(0, equals);
    const std::string_view valueText = text.substr(equals + 1);

    bool known = false;
    for (const auto candidate : kParameterIdentifiers)
        known = known || candidate == identifier;
    if (!known) {
        std::string list;
        for (const auto candidate : kParameterIdentifiers)
            list += (list.empty() ? "" : ", ") + std::string(candidate);
        return std::unexpected("--set: unknown parameter " + quoted(identifier) + " in " + quoted(text) +
            " (known: " + list + ")");
    }
    const auto value = parseFiniteNumber(valueText);
    if (!value)
        return std::unexpected(
            "--set: " + quoted(valueText) + " in " + quoted(text) + " is not a finite number");
    // Every parameter runs from 0 to 1; the effect would clamp a value
    // beyond, and a saved state would then keep a value it never used.
    if (*value < kParameterMinimum || *value > kParameterMaximum)
        return std::unexpected("--set: " + quoted(text) + ": " + std::string(identifier) + " runs from 0 to 1");
    return ParameterSetting{std::string(identifier), static_cast<float>(*value)};
}

std::string usageText()
{
    CLI::App app{"", kProgramName};
    RawArguments raw;
    describe(app, raw);
    return app.help();
}

std::expected<CommandLine, std::string> parseCommandLine(int argc, const char* const* argv)
{
    CLI::App app{"", kProgramName};
    RawArguments raw;
    describe(app, raw);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return InformationRequest{app.help()};
    } catch (const CLI::CallForAllHelp&) {
        return InformationRequest{app.help()};
    } catch (const CLI::CallForVersion& version) {
        return InformationRequest{std::string(version.what()) + "\n"};
    } catch (const CLI::ParseError& error) {
        return std::unexpected(std::string(error.what()));
    }
    auto options = validate(app, raw);
    if (!options)
        return std::unexpected(options.error());
    return CommandLine{std::move(*options)};
}

} // namespace orvane::render
