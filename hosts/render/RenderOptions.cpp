#include "hosts/render/RenderOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <tuple>

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif

namespace orvane::render {
namespace {

constexpr const char* kProgramName = "orvane-render";

/// The arguments as CLI11 hands them over, before our own validation: every
/// value stays text here so that error messages can quote it verbatim. Each
/// option that takes one value collects every occurrence, so that one given
/// twice is refused in our words.
struct RawArguments {
    std::vector<std::string> inputs;
    std::vector<std::string> output;
    std::vector<std::string> outputFolder;
    std::vector<std::string> jobs;
    std::vector<std::string> preset;
    std::vector<std::string> settings;
    std::vector<std::string> stateFile;
    std::vector<std::string> saveStateFile;
    std::vector<std::string> plugin;
    std::vector<std::string> seed;
    std::vector<std::string> block;
    std::vector<std::string> tail;
    std::vector<std::string> bits;
    std::vector<std::string> dither;
    std::vector<std::string> quality;
    std::vector<std::string> format;
    std::vector<std::string> channels;
    bool listPresets = false;
    bool bypass = false;
    bool quiet = false;
    bool noClobber = false;
};

void describe(CLI::App& app, RawArguments& raw)
{
    app.description("Runs audio files through the Orvane effect and writes each result as a "
                    "stereo file at the same sample rate.");
    app.footer("Without INPUT the built-in demo clip is rendered: through every factory preset into "
               "out/demo/NN-Name.wav, or once when --preset, --state or -o picks the sound or the file. INPUT - "
               "reads standard input and -o - writes standard output (WAV unless --format says otherwise). The "
               "output format follows the output's extension: .wav, .aiff, .aif, .flac, .ogg (Vorbis), .opus or "
               ".mp3. Factory presets are numbered from 1, as their labels are (01 First Light); --preset takes "
               "the number, the name or the label, in any case. --preset and --state are applied in the order "
               "given, so the later one wins, and --set after both. No file the command writes may be one it "
               "reads or another it writes; an existing output is replaced (through a symbolic link, its "
               "target), keeping its permissions, unless -n is given. With --seed, a render is the same bit for "
               "bit for the same block size, its dither included.\n\n"
               "Exit status: 0 when every file was rendered, 1 when one failed (it leaves no file), 2 for a "
               "command line it cannot take, 128 + the signal's number (130, 143, 129) when interrupted by "
               "Ctrl+C, SIGTERM or SIGHUP (every unfinished file is removed).");
    // One value per occurrence, so that "--set premix=1 in.wav" leaves in.wav
    // to the INPUT positional.
    const auto single = [&](const char* names, std::vector<std::string>& into, const char* help, const char* type) {
        app.add_option(names, into, help)
            ->type_name(type)
            ->allow_extra_args(false)
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    };
    app.add_option("INPUT", raw.inputs,
           "Audio files to render (any format libsndfile reads; mono or stereo, or two channels picked with "
           "--channels); - reads standard input")
        ->type_name("FILE");
    single("-o,--output", raw.output,
        "Output file of a single input (default: <input stem>-orvane.wav beside the input); - writes standard "
        "output",
        "FILE");
    single("--outdir", raw.outputFolder, "Existing folder for the outputs, each named <input stem>-orvane.wav",
        "FOLDER");
    single("--jobs", raw.jobs, "Files rendered at once, 1 to 1024 (default: one per processor)", "N");
    single("--preset", raw.preset, "Factory preset to start from: its number (1 to 9), name or label", "N|NAME");
    single("--set", raw.settings,
        "Set a parameter (premix granularity incoherence impatience nausea gravitas, in any case); repeatable, "
        "applied in order",
        "ID=VALUE");
    single("--state", raw.stateFile, "Restore a saved state before rendering", "FILE");
    single("--save-state", raw.saveStateFile, "Save the unit's state after setup", "FILE");
    single("--plugin", raw.plugin,
        "The plug-in to load: the unit's bundle, or the orvane.lv2 or Orvane.vst3 folder holding it (default: the "
        "one installed beside the program)",
        "FOLDER");
    app.add_flag("--list-presets", raw.listPresets, "List the factory presets, numbered as their labels, and exit");
    app.add_flag("--bypass", raw.bypass, "Render with the effect bypassed: the dry signal");
    single("--seed", raw.seed, "Random seed, 1 to 4294967294", "N");
    single("--block", raw.block, "Frames per render call, 1 to 65536 (default 512)", "N");
    single("--tail", raw.tail,
        "Seconds rendered after the input ends, or auto: the effect's tail time, then on until the output has "
        "stayed below -80 dBFS for 100 ms (default auto)",
        "auto|SECONDS");
    single("--bits", raw.bits, "Output samples: 16, 24 or float (default float; 24 for FLAC)", "16|24|float");
    single("--dither", raw.dither,
        "Noise added before integer samples are rounded: tpdf (triangular, the default at 16 bits) or none (the "
        "default at 24)",
        "none|tpdf");
    single("--quality", raw.quality, "Quality of .ogg, .opus and .mp3 output, 0 to 1 (default 0.7)", "Q");
    single("-t,--format", raw.format,
        "Output format where no name gives one (--outdir, -o -, outputs beside the inputs): wav, aiff, flac, ogg, "
        "opus or mp3",
        "TYPE");
    single("--channels", raw.channels, "The two channels of a file with more than two, counted from 1", "A,B");
    app.add_flag("-n,--no-clobber", raw.noClobber, "Refuse to replace any output that exists already");
    app.add_flag("-q,--quiet", raw.quiet, "Print neither progress nor summary");
    app.set_version_flag("--version", std::string(kProgramName) + " " + ORVANE_VERSION);
}

std::string inQuotes(std::string_view text)
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
        return std::unexpected(std::string(option) + ": " + inQuotes(text) + " is not a whole number");
    if (error == std::errc::result_out_of_range || value < low || value > high)
        return std::unexpected(std::string(option) + ": " + inQuotes(text) + " is outside " +
            std::to_string(low) + " to " + std::to_string(high));
    return static_cast<std::uint32_t>(value);
}

std::expected<std::optional<double>, std::string> parseTail(std::string_view text)
{
    if (text == "auto")
        return std::optional<double>{};
    const auto seconds = parseFiniteNumber(text);
    if (!seconds)
        return std::unexpected("--tail: " + inQuotes(text) + " is neither 'auto' nor a number of seconds");
    if (*seconds < 0.0)
        return std::unexpected("--tail: " + inQuotes(text) + " is negative");
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
    return std::unexpected("--bits: " + inQuotes(text) + " is not one of 16, 24, float");
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

std::expected<Dither, std::string> parseDither(std::string_view text)
{
    if (text == "none")
        return Dither::None;
    if (text == "tpdf")
        return Dither::Tpdf;
    return std::unexpected("--dither: " + inQuotes(text) + " is not one of none, tpdf");
}

std::expected<FileType, std::string> parseFileType(std::string_view text)
{
    for (const auto type : {FileType::Wav, FileType::Aiff, FileType::Flac, FileType::Ogg, FileType::Opus, FileType::Mp3})
        if (fileTypeName(type) == text)
            return type;
    return std::unexpected("--format: " + inQuotes(text) + " is not one of wav, aiff, flac, ogg, opus, mp3");
}

std::expected<std::pair<int, int>, std::string> parseChannels(std::string_view text)
{
    const auto comma = text.find(',');
    const auto bad = [&] {
        return std::unexpected("--channels: " + inQuotes(text) + " is not two channel numbers A,B counted from 1, "
            "e.g. --channels 1,2");
    };
    if (comma == std::string_view::npos)
        return bad();
    auto first = parseWholeNumber("--channels", text.substr(0, comma), 1, 1024);
    auto second = parseWholeNumber("--channels", text.substr(comma + 1), 1, 1024);
    if (!first || !second)
        return bad();
    return std::pair{int(*first) - 1, int(*second) - 1};
}

/// Turns the raw texts of the options that were given into RenderOptions.
std::expected<RenderOptions, std::string> validate(const CLI::App& app, const RawArguments& raw)
{
    RenderOptions options;
    options.listPresets = raw.listPresets;
    options.bypass = raw.bypass;
    options.quiet = raw.quiet;
    options.noClobber = raw.noClobber;

    // Every single-value option given twice is refused, naming both values.
    const std::pair<const char*, const std::vector<std::string>*> singles[] = {{"--output", &raw.output},
        {"--outdir", &raw.outputFolder}, {"--jobs", &raw.jobs}, {"--preset", &raw.preset},
        {"--state", &raw.stateFile}, {"--save-state", &raw.saveStateFile}, {"--plugin", &raw.plugin},
        {"--seed", &raw.seed}, {"--block", &raw.block}, {"--tail", &raw.tail}, {"--bits", &raw.bits},
        {"--dither", &raw.dither}, {"--quality", &raw.quality}, {"--format", &raw.format},
        {"--channels", &raw.channels}};
    for (const auto& [name, values] : singles) {
        if (values->size() > 1)
            return std::unexpected(std::string(name) + " was given " + std::to_string(values->size()) + " times (" +
                inQuotes((*values)[0]) + " and " + inQuotes((*values)[1]) + "); give it once");
    }
    const auto optionalPath = [&](std::string_view shown, const std::vector<std::string>& text,
                                  std::optional<std::filesystem::path>& into) -> std::expected<void, std::string> {
        if (text.empty())
            return {};
        auto path = parsePath(shown, text.front());
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
    for (const auto& [shown, text, into] :
        {std::tuple{"--output", &raw.output, &options.output}, std::tuple{"--outdir", &raw.outputFolder, &options.outputFolder},
            std::tuple{"--state", &raw.stateFile, &options.stateFile}, std::tuple{"--plugin", &raw.plugin, &options.plugin},
            std::tuple{"--save-state", &raw.saveStateFile, &options.saveStateFile}}) {
        if (auto ok = optionalPath(shown, *text, *into); !ok)
            return std::unexpected(ok.error());
    }

    if (!raw.preset.empty()) {
        auto preset = parsePreset(raw.preset.front());
        if (!preset)
            return std::unexpected(preset.error());
        options.preset = std::move(*preset);
    }
    if (options.preset && options.stateFile) {
        // CLI11 keeps every occurrence in command-line order.
        for (const auto* option : app.parse_order()) {
            if (option->check_name("--state"))
                options.presetAfterState = false;
            else if (option->check_name("--preset"))
                options.presetAfterState = true;
        }
    }
    for (const auto& text : raw.settings) {
        auto setting = parseParameterSetting(text);
        if (!setting)
            return std::unexpected(setting.error());
        options.settings.push_back(std::move(*setting));
    }
    if (!raw.seed.empty()) {
        auto seed = parseWholeNumber("--seed", raw.seed.front(), kMinSeed, kMaxSeed);
        if (!seed)
            return std::unexpected(seed.error());
        options.seed = *seed;
    }
    if (!raw.block.empty()) {
        auto block = parseWholeNumber("--block", raw.block.front(), 1, kMaxBlockFrames);
        if (!block)
            return std::unexpected(block.error());
        options.blockFrames = *block;
    }
    if (!raw.jobs.empty()) {
        auto jobs = parseWholeNumber("--jobs", raw.jobs.front(), 1, kMaxJobs);
        if (!jobs)
            return std::unexpected(jobs.error());
        options.jobs = *jobs;
    }
    if (!raw.tail.empty()) {
        auto tail = parseTail(raw.tail.front());
        if (!tail)
            return std::unexpected(tail.error());
        options.tailSeconds = *tail;
    }
    if (!raw.bits.empty()) {
        auto bits = parseBits(raw.bits.front());
        if (!bits)
            return std::unexpected(bits.error());
        options.encoding = *bits;
    }
    if (!raw.dither.empty()) {
        auto dither = parseDither(raw.dither.front());
        if (!dither)
            return std::unexpected(dither.error());
        options.dither = *dither;
    }
    if (!raw.quality.empty()) {
        const auto quality = parseFiniteNumber(raw.quality.front());
        if (!quality || *quality < 0.0 || *quality > 1.0)
            return std::unexpected("--quality: " + inQuotes(raw.quality.front()) + " is not a number from 0 to 1");
        options.quality = *quality;
    }
    if (!raw.format.empty()) {
        auto type = parseFileType(raw.format.front());
        if (!type)
            return std::unexpected(type.error());
        options.fileType = *type;
    }
    if (!raw.channels.empty()) {
        auto channels = parseChannels(raw.channels.front());
        if (!channels)
            return std::unexpected(channels.error());
        options.channels = *channels;
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
    const bool readsStandardInput = std::ranges::any_of(options.inputs, isStandardStream);
    if (readsStandardInput && options.inputs.size() > 1)
        return std::unexpected(std::string("INPUT '-' (standard input) can only be rendered alone"));
    if (readsStandardInput && !options.output)
        return std::unexpected(
            std::string("INPUT '-' (standard input) has no name to derive the output's from; give -o FILE or -o -"));
    if (options.saveStateFile && isStandardStream(*options.saveStateFile))
        return std::unexpected(std::string("--save-state: '-' is no file; name the file to save the state in"));
    return options;
}

/// Our words for what CLI11 refuses.
std::string refusal(const CLI::ParseError& error)
{
    if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        std::string text = error.what();
        // "The following argument was not expected: --frobnicate"
        const auto colon = text.find(": ");
        const std::string what = colon == std::string::npos ? text : text.substr(colon + 2);
        return (what.starts_with("-") ? inQuotes(what) + " is not an option" : "unexpected " + inQuotes(what)) +
            " of " + kProgramName;
    }
    // "--preset: 1 required N|NAME missing"
    const std::string text = error.what();
    if (const auto at = text.find(": 1 required "); at != std::string::npos && text.ends_with(" missing")) {
        const std::string option = text.substr(0, at);
        const std::string value = text.substr(at + 13, text.size() - at - 13 - 8);
        return option + " needs a value: " + option + " " + value;
    }
    return text;
}

} // namespace

std::string_view fileTypeName(FileType type)
{
    switch (type) {
    case FileType::Wav:
        return "wav";
    case FileType::Aiff:
        return "aiff";
    case FileType::Flac:
        return "flac";
    case FileType::Ogg:
        return "ogg";
    case FileType::Opus:
        return "opus";
    case FileType::Mp3:
        return "mp3";
    }
    return "wav";
}

std::expected<PresetChoice, std::string> parsePresetChoice(std::string_view text)
{
    return parsePreset(text);
}

std::expected<ParameterSetting, std::string> parseParameterSetting(std::string_view text)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size())
        return std::unexpected("--set: " + inQuotes(text) + " is not ID=VALUE");
    std::string identifier(text.substr(0, equals));
    for (char& c : identifier)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string_view valueText = text.substr(equals + 1);

    bool known = false;
    for (const auto candidate : kParameterIdentifiers)
        known = known || candidate == identifier;
    if (!known) {
        std::string list;
        for (const auto candidate : kParameterIdentifiers)
            list += (list.empty() ? "" : ", ") + std::string(candidate);
        return std::unexpected("--set: unknown parameter " + inQuotes(text.substr(0, equals)) + " in " + inQuotes(text) +
            " (known: " + list + ")");
    }
    const auto value = parseFiniteNumber(valueText);
    if (!value) {
        // A decimal comma, as many locales write it.
        std::string pointed(valueText);
        std::replace(pointed.begin(), pointed.end(), ',', '.');
        if (pointed != valueText && parseFiniteNumber(pointed))
            return std::unexpected("--set: " + inQuotes(valueText) + " in " + inQuotes(text) +
                ": use a decimal point: " + pointed);
        return std::unexpected(
            "--set: " + inQuotes(valueText) + " in " + inQuotes(text) + " is not a finite number");
    }
    // Every parameter runs from 0 to 1; the effect would clamp a value
    // beyond, and a saved state would then keep a value it never used.
    if (*value < kParameterMinimum || *value > kParameterMaximum)
        return std::unexpected("--set: " + inQuotes(text) + ": " + identifier + " runs from 0 to 1");
    return ParameterSetting{identifier, static_cast<float>(*value)};
}

bool presetComesAfterState(int argc, const char* const* argv)
{
    // The last of each, in the spellings CLI11 takes: "--preset X" and "--preset=X".
    int preset = -1, state = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--")
            break;
        if (argument == "--preset" || argument.starts_with("--preset="))
            preset = i;
        else if (argument == "--state" || argument.starts_with("--state="))
            state = i;
    }
    return preset > state && state > 0;
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
        return std::unexpected(refusal(error));
    }
    auto options = validate(app, raw);
    if (!options)
        return std::unexpected(options.error());
    return CommandLine{std::move(*options)};
}

} // namespace orvane::render
