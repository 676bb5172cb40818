// orvane-render as a user meets it: the built program run as its own process
// on real files in temporary folders, loading the real plug-in bundle.

#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"

#include <sndfile.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#ifndef ORVANE_RENDER_PROGRAM
#error "ORVANE_RENDER_PROGRAM must name the built orvane-render"
#endif
#ifndef ORVANE_PLUGIN_BUNDLE_DIR
#error "ORVANE_PLUGIN_BUNDLE_DIR must name the built plug-in bundle"
#endif

namespace orvane::render {
namespace {

namespace fs = std::filesystem;

const fs::path kProgram = ORVANE_RENDER_PROGRAM;
const fs::path kBundle = ORVANE_PLUGIN_BUNDLE_DIR;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

// ------------------------------------------------------------ files

using platform::testing::fileText;
using platform::testing::TempFolder;

/// Every entry of a folder with a digest of its bytes: equal snapshots mean
/// nothing was added, removed or rewritten.
std::map<std::string, std::size_t> snapshot(const fs::path& folder)
{
    std::map<std::string, std::size_t> entries;
    for (const auto& entry : fs::directory_iterator(folder))
        entries[entry.path().filename().string()] =
            entry.is_directory() ? 0 : std::hash<std::string>{}(fileText(entry.path()));
    return entries;
}

/// Interleaved samples and the header libsndfile read them with.
struct SoundFile {
    SF_INFO info{};
    std::vector<float> samples;

    std::int64_t frames() const { return info.channels ? std::int64_t(samples.size()) / info.channels : 0; }
};

/// Writes interleaved samples with libsndfile, as a user's file would be:
/// floats as they are, ints left-aligned (a 16-bit sample s as s << 16).
template <typename Sample>
void writeSoundFile(const fs::path& path, int format, int channels, int rate, const std::vector<Sample>& samples)
{
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = rate;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    const sf_count_t frames = sf_count_t(samples.size()) / channels;
    if constexpr (std::is_same_v<Sample, int>)
        EXPECT_EQ(sf_writef_int(file, samples.data(), frames), frames);
    else
        EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    EXPECT_EQ(sf_close(file), 0);
}

SoundFile readSoundFile(const fs::path& path)
{
    SoundFile sound;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sound.info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!file)
        return sound;
    sound.samples.resize(static_cast<std::size_t>(sound.info.frames * sound.info.channels));
    EXPECT_EQ(sf_readf_float(file, sound.samples.data(), sound.info.frames), sound.info.frames);
    sf_close(file);
    return sound;
}

/// Writes `seconds` of test audio from a fixed seed, a tone per channel under
/// noise peaking near 0.5, in 16-bit steps so that every encoding holds it
/// exactly; returns its path.
fs::path writeInput(const TempFolder& folder, const std::string& name, int format, int rate, int channels,
    double seconds, unsigned seed = 1)
{
    const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
    const auto noise = testsignals::noise(frames * std::size_t(channels), seed, 0.2f);
    std::vector<int> samples(noise.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double hertz = 220.0 + 110.0 * double(i % std::size_t(channels));
        const double tone = 0.3 * std::sin(2.0 * std::numbers::pi * hertz * double(i / std::size_t(channels)) / rate);
        samples[i] = int(std::lround((tone + noise[i]) * 32768.0)) * 65536;
    }
    const auto path = folder / name;
    writeSoundFile(path, format, channels, rate, samples);
    return path;
}

/// Bit for bit equality of two files' samples; on failure names the first
/// differing frame and channel, both values and how many samples differ.
::testing::AssertionResult sameSamples(const SoundFile& expected, const SoundFile& actual)
{
    if (expected.info.channels != actual.info.channels || expected.samples.size() != actual.samples.size())
        return ::testing::AssertionFailure()
            << expected.frames() << " frames x " << expected.info.channels << " channels vs " << actual.frames()
            << " frames x " << actual.info.channels << " channels";
    std::size_t differing = 0, first = 0;
    for (std::size_t i = 0; i < expected.samples.size(); ++i)
        if (std::bit_cast<std::uint32_t>(expected.samples[i]) != std::bit_cast<std::uint32_t>(actual.samples[i])
            && differing++ == 0)
            first = i;
    const auto channels = static_cast<std::size_t>(expected.info.channels);
    if (differing == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
        << differing << " samples differ; first at frame " << first / channels << " channel " << first % channels
        << ": " << expected.samples[first] << " vs " << actual.samples[first];
}

/// Every sample finite, and some well above silence.
::testing::AssertionResult audible(const SoundFile& sound)
{
    const auto bad = std::ranges::find_if(sound.samples, [](float x) { return !std::isfinite(x); });
    if (bad != sound.samples.end())
        return ::testing::AssertionFailure() << "sample " << bad - sound.samples.begin() << " is " << *bad;
    float peak = 0.0f;
    for (const float x : sound.samples)
        peak = std::max(peak, std::abs(x));
    return peak < 0.01f ? ::testing::AssertionFailure() << "peak " << peak << " is silence"
                        : ::testing::AssertionSuccess();
}

/// A file's samples as the program's stereo output must hold them: a mono
/// file's one channel on both sides.
SoundFile asStereo(SoundFile sound)
{
    if (sound.info.channels != 1)
        return sound;
    std::vector<float> both;
    for (const float sample : sound.samples)
        both.insert(both.end(), {sample, sample});
    sound.samples = std::move(both);
    sound.info.channels = 2;
    return sound;
}

// ------------------------------------------------------------ running it

/// What one run of the program did.
struct ProgramRun {
    std::string command;
    int status = -1; // the exit status; -1 when a signal ended it
    std::string out;
    std::string err;

    std::string describe() const
    {
        return command + "\n  status " + std::to_string(status) + "\n  stdout: " + out + "\n  stderr: " + err;
    }
};

/// Runs `program` with `arguments` from `workingFolder`. Under `fileSizeLimit`
/// bytes its writes fail the way they do on a full disk.
ProgramRun runProgram(const std::vector<std::string>& arguments, const fs::path& workingFolder = ".",
    const fs::path& program = kProgram, const std::string& fileSizeLimit = "unlimited")
{
    std::signal(SIGXFSZ, SIG_IGN); // inherited: past the limit a write fails instead of killing
    std::vector<std::string> argv{"/usr/bin/env", "-C", workingFolder, "/usr/bin/prlimit", "--fsize=" + fileSizeLimit,
        "--", program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    testprocess::Process process(argv);
    ProgramRun run{"", process.wait(std::chrono::seconds(60)), process.outputText(), process.errorText()};
    for (auto argument = argv.begin() + 6; argument != argv.end(); ++argument)
        run.command += "'" + *argument + "' ";
    return run;
}

/// INPUT -o OUTPUT and then `more`.
std::vector<std::string> args(const fs::path& input, const fs::path& output, std::vector<std::string> more = {})
{
    more.insert(more.begin(), {input.string(), "-o", output.string()});
    return more;
}

/// Renders `input` into `output`; the file as written, empty if the run failed.
SoundFile render(const fs::path& input, const fs::path& output, std::vector<std::string> options)
{
    const auto run = runProgram(args(input, output, std::move(options)));
    EXPECT_EQ(run.status, 0) << run.describe();
    return run.status == 0 ? readSoundFile(output) : SoundFile{};
}

// ------------------------------------------------------------ formats and lengths

struct FormatCase {
    const char* input;
    int inputFormat;
    int channels;
    int rate;
    const char* output;
    const char* bits; // nullptr: the output type's default
    int outputFormat;
    const char* block = "512";
};

TEST(RenderProgram, EveryFormatInAndOutKeepsSamplesRateAndLengthWhateverTheBlocks)
{
    // Bypassed with no tail, the output must hold exactly what libsndfile
    // decodes from the input, as stereo, in the encoding asked for, however
    // the blocks fall across the chunks the input is read in (4096 frames).
    constexpr int kFlac24 = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    const FormatCase cases[] = {
        {"pcm16.wav", kWav16, 2, 44100, "a.flac", "16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, "b.aiff", "24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
        {"float.wav", kWavFloat, 2, 96000, "c.wav", nullptr, kWavFloat, "65536"},
        {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 22050, "d.wav", "16", kWav16, "1"},
        {"pcm24.flac", kFlac24, 2, 32000, "e.flac", nullptr, kFlac24},
        {"mono-float.wav", kWavFloat, 1, 48000, "f.aiff", nullptr, SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {"mono-pcm16.wav", kWav16, 1, 44100, "g.wav", "24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, "4097"},
    };
    TempFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output + " in blocks of " + c.block);
        const auto input = writeInput(folder, c.input, c.inputFormat, c.rate, c.channels, 0.25);
        std::vector<std::string> options{"--bypass", "--tail", "0", "-q", "--block", c.block};
        if (c.bits)
            options.insert(options.end(), {"--bits", c.bits});
        const auto rendered = render(input, folder / c.output, options);
        EXPECT_EQ(rendered.info.format, c.outputFormat) << std::hex << rendered.info.format;
        EXPECT_EQ(rendered.info.samplerate, c.rate);
        EXPECT_TRUE(sameSamples(asStereo(readSoundFile(input)), rendered));
    }
}

TEST(RenderProgram, SixteenBitOutputClipsOversInsteadOfWrapping)
{
    TempFolder folder;
    const std::vector<float> overs = {1.0f, 1.5f, 100.0f, 0.5f, -1.0f, -1.5f, -100.0f, -0.5f};
    const auto input = folder / "overs.wav";
    writeSoundFile(input, kWavFloat, 2, 44100, overs);

    const auto clipped = render(input, folder / "16.wav", {"--bypass", "--tail", "0", "--bits", "16", "-q"});
    ASSERT_EQ(clipped.samples.size(), overs.size());
    for (std::size_t i = 0; i < overs.size(); ++i)
        EXPECT_EQ(clipped.samples[i], std::clamp(overs[i], -1.0f, 32767.0f / 32768.0f))
            << "sample " << i << " from " << overs[i];
    // Float files may go beyond full scale, and must stay there.
    const auto kept = render(input, folder / "float.wav", {"--bypass", "--tail", "0", "-q"});
    EXPECT_TRUE(sameSamples(readSoundFile(input), kept));
}

TEST(RenderProgram, OutputLengthIsTheInputPlusTheTail)
{
    // All wet off and full output wander: the unit's own tail is the output
    // delay's reach, 0.12 s held in single precision.
    const auto autoTail = static_cast<std::int64_t>(std::ceil(static_cast<double>(0.12f) * 48000.0));
    const struct {
        int rate;
        std::vector<std::string> options;
        std::int64_t tailFrames;
    } cases[] = {
        {44100, {"--tail", "1.5", "-q"}, 66150},
        {48000, {"--set", "premix=0", "--set", "nausea=1", "-q"}, autoTail},
        {48000, {"--bypass", "-q"}, 0},
    };
    TempFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        const auto input = writeInput(folder, "in.wav", kWav16, c.rate, 2, 0.2);
        const auto rendered = render(input, folder / "out.wav", c.options);
        EXPECT_EQ(rendered.info.samplerate, c.rate);
        EXPECT_EQ(rendered.frames(), std::lround(0.2 * c.rate) + c.tailFrames);
        EXPECT_TRUE(audible(rendered));
    }
}

TEST(RenderProgram, ACutShortInputRendersAsFarAsItGoesWithAWarning)
{
    TempFolder folder;
    const auto whole = writeInput(folder, "whole.wav", kWav16, 44100, 2, 0.5);
    const auto cut = folder / "cut.wav";
    // 44 header bytes, then 8000 of the 22050 frames' 4 bytes each.
    folder.write(cut, fileText(whole).substr(0, 44 + 8000 * 4));
    const auto run = runProgram(args(cut, folder / "out.wav", {"--bypass", "-q"}));
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_NE(run.err.find("'" + cut.string() + "' is cut short"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("holds 8000 (14050 frames"), std::string::npos) << run.err;
    EXPECT_EQ(readSoundFile(folder / "out.wav").frames(), 8000);
    // A whole file says nothing.
    EXPECT_EQ(runProgram(args(whole, folder / "out.wav", {"-q"})).err, "");
}

// ------------------------------------------------------------ reproducibility

TEST(RenderProgram, ASeedMakesTheRenderReproducibleAndOnlyThen)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.3);
    const auto withSeed = [&](const std::string& name, std::vector<std::string> options) {
        options.insert(options.end(), {"--set", "premix=1", "--set", "gravitas=0.8", "--tail", "0.3", "-q"});
        return render(input, folder / name, options);
    };
    // The seed range's two ends.
    const auto highest = withSeed("highest.wav", {"--seed", "4294967294"});
    EXPECT_TRUE(audible(highest));
    EXPECT_TRUE(sameSamples(highest, withSeed("again.wav", {"--seed", "4294967294"}))) << "the same seed twice";
    EXPECT_EQ(fileText(folder / "highest.wav"), fileText(folder / "again.wav")) << "and the same bytes: no time stamp";
    EXPECT_FALSE(sameSamples(highest, withSeed("lowest.wav", {"--seed", "1"}))) << "seeds 1 and 4294967294 agree";
    EXPECT_FALSE(sameSamples(withSeed("free.wav", {}), withSeed("free-again.wav", {})))
        << "two unseeded renders drew the same echo patterns";
}

TEST(RenderProgram, SetAfterPresetAndSavedStatesRenderTheSameSettings)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.3);
    const auto withSettings = [&](const std::string& name, std::vector<std::string> settings) {
        settings.insert(settings.end(), {"--seed", "7", "--tail", "0.2", "-q"});
        return render(input, folder / name, settings);
    };

    // Preset 3, Dark Wash, has a gravitas other than 0.
    const auto saved = folder / "saved.aupreset";
    const auto setAfterPreset =
        withSettings("set.wav", {"--preset", "3", "--set", "gravitas=0", "--save-state", saved.string()});
    ASSERT_TRUE(fs::is_regular_file(saved));
    // The same settings written independently: the preset's own file with gravitas 0.
    const auto handWritten = folder / "hand.aupreset";
    auto text = fileText(kBundle / "presets" / "04-Dark Wash.aupreset");
    const auto gravitas = text.find("<real>", text.find("<key>gravitas</key>")) + 6;
    folder.write(handWritten, text.replace(gravitas, text.find("</real>", gravitas) - gravitas, "0.0"));

    EXPECT_TRUE(audible(setAfterPreset));
    EXPECT_TRUE(sameSamples(withSettings("hand.wav", {"--state", handWritten.string()}), setAfterPreset))
        << "--preset then --set against the edited preset file";
    EXPECT_TRUE(sameSamples(setAfterPreset, withSettings("saved.wav", {"--state", saved.string()})))
        << "--save-state then --state";
    EXPECT_FALSE(sameSamples(withSettings("preset.wav", {"--preset", "3"}), setAfterPreset))
        << "--set after --preset changed nothing";

    // A state read and saved again keeps its own name, not the preset's.
    folder.write(handWritten, text.replace(text.find("Dark Wash"), 9, "My Dark Room"));
    withSettings("named.wav", {"--preset", "1", "--state", handWritten.string(), "--save-state", saved.string()});
    EXPECT_NE(fileText(saved).find("<string>My Dark Room</string>"), std::string::npos) << fileText(saved);
}

TEST(RenderProgram, BlockSizeChangesNothingWithoutGrainsWanderOrReverberation)
{
    // The input is read in chunks of 4096 frames; 0.6 s is several of them,
    // so chunk ends fall inside blocks of every size.
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 22050, 2, 0.6);
    const auto withBlock = [&](const std::string& name, std::vector<std::string> block) {
        block.insert(block.end(), {"--set", "granularity=0", "--set", "incoherence=0", "--set", "nausea=0", "--set",
                                      "gravitas=0", "--seed", "7", "--tail", "0", "-q"});
        return render(input, folder / name, block);
    };
    const auto byDefault = withBlock("default.wav", {});
    EXPECT_TRUE(audible(byDefault));
    EXPECT_FALSE(sameSamples(readSoundFile(input), byDefault)) << "the effect did nothing";
    for (const char* block : {"1", "4097"})
        EXPECT_TRUE(sameSamples(byDefault, withBlock(std::string(block) + ".wav", {"--block", block}))) << block;
}

// ------------------------------------------------------------ batches

TEST(RenderProgram, ABatchRendersEachFileAsAloneWhateverTheJobsAndSkipsABadOne)
{
    TempFolder folder;
    const std::vector<fs::path> inputs{writeInput(folder, "a.wav", kWav16, 44100, 2, 0.3, 1),
        writeInput(folder, "b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, 0.2, 2),
        folder / "missing.wav", writeInput(folder, "c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 22050, 2, 0.4, 3)};
    const std::vector<std::string> settings{
        "--set", "premix=1", "--set", "gravitas=0.8", "--seed", "9", "--tail", "0.2"};
    const auto outputName = [](const fs::path& input) { return input.stem().string() + "-orvane.wav"; };

    // Each file as a single render, the reference for every batch.
    std::vector<SoundFile> alone;
    for (const auto& input : inputs) {
        if (fs::exists(input))
            alone.push_back(render(input, folder / ("alone-" + outputName(input)), settings));
    }
    fs::create_directory(folder / "one");
    const struct {
        const char* jobs;
        fs::path outputFolder; // empty: beside the inputs
    } cases[] = {{"1", folder / "one"}, {"2", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("--jobs ") + c.jobs);
        std::vector<std::string> arguments;
        for (const auto& input : inputs)
            arguments.push_back(input.string());
        arguments.insert(arguments.end(), settings.begin(), settings.end());
        arguments.insert(arguments.end(), {"--jobs", c.jobs});
        if (!c.outputFolder.empty())
            arguments.insert(arguments.end(), {"--outdir", c.outputFolder.string()});
        const auto before = snapshot(folder.path());
        const auto run = runProgram(arguments);

        EXPECT_EQ(run.status, 1) << run.describe();
        EXPECT_EQ(run.err, "orvane-render: '" + inputs[2].string() + "': no such file\n") << run.describe();
        // One summary line per rendered file, in input order.
        std::istringstream lines(run.out);
        std::size_t good = 0;
        for (const auto& input : inputs) {
            if (!fs::exists(input))
                continue;
            std::string line;
            std::getline(lines, line);
            EXPECT_EQ(line.rfind(input.string() + ": ", 0), 0u) << line;
            const auto output = (c.outputFolder.empty() ? folder.path() : c.outputFolder) / outputName(input);
            EXPECT_TRUE(sameSamples(alone[good++], readSoundFile(output))) << output;
        }
        // The rendered files and nothing else: none for the missing input,
        // no temporary left behind.
        auto after = snapshot(c.outputFolder.empty() ? folder.path() : c.outputFolder);
        for (const auto& input : inputs)
            after.erase(outputName(input));
        EXPECT_EQ(after, c.outputFolder.empty() ? before : decltype(after){});
    }
}

// ------------------------------------------------------------ interruptions

/// Whether a file whose name contains `part` is in the folder (hidden ones too).
bool holds(const fs::path& folder, const std::string& part)
{
    return std::ranges::any_of(fs::directory_iterator(folder),
        [&](const auto& entry) { return entry.path().filename().string().find(part) != std::string::npos; });
}

TEST(RenderProgram, AnInterruptedRenderOrBatchLeavesNoUnfinishedFile)
{
    TempFolder folder;
    const auto shortInput = writeInput(folder, "a.wav", kWav16, 22050, 2, 0.2);
    const auto longInput = writeInput(folder, "long.wav", kWav16, 22050, 2, 60.0);
    const auto inputs = snapshot(folder.path());
    const struct {
        int signal;
        int status;
        bool batch;
    } cases[] = {{SIGINT, 130, false}, {SIGTERM, 143, false}, {SIGHUP, 129, false}, {SIGINT, 130, true},
        {SIGTERM, 143, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.batch ? " in a batch" : " in a single render"));
        std::vector<std::string> argv{kProgram.string()};
        if (c.batch)
            argv.insert(argv.end(), {shortInput.string(), longInput.string(), "--jobs", "1"});
        else
            argv.insert(argv.end(), {longInput.string(), "-o", (folder / "out.wav").string()});
        testprocess::Process render(argv);
        // Once the long file's temporary output exists, it is mid-file (and
        // in a batch, the short file has been rendered before it).
        const std::string temporary = c.batch ? ".long-orvane.wav." : ".out.wav.";
        for (int i = 0; i < 2000 && render.running() && !holds(folder.path(), temporary); ++i)
            ::usleep(5000);
        ASSERT_TRUE(holds(folder.path(), temporary)) << render.errorText();
        render.signal(c.signal);
        EXPECT_EQ(render.wait(), c.status) << render.errorText();
        EXPECT_NE(render.errorText().find("interrupted"), std::string::npos) << render.errorText();
        auto left = snapshot(folder.path());
        EXPECT_EQ(left.erase("a-orvane.wav"), c.batch ? 1u : 0u) << "the finished file of the batch stays";
        EXPECT_EQ(left, inputs) << "nothing else, hidden files included";
        fs::remove(folder / "a-orvane.wav");
    }
}

// ------------------------------------------------------------ errors

struct ErrorCase {
    const char* name;
    std::vector<std::string> arguments;
    int status; // 1: the render failed; 2: the command line was refused
    std::string mentions;
    std::string fileSizeLimit = "unlimited";
};

// Numbers just outside their ranges: CommandLineEdgeTests.cpp.
TEST(RenderProgram, EveryErrorExitsWithItsStatusNamesTheProblemAndLeavesNoFile)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.2);
    const auto out = folder / "out.wav";
    folder.write(out, "an earlier render, which a failed one must leave alone");
    folder.write("text.wav", "These are words, not samples.\n");
    writeInput(folder, "three.wav", kWav16, 44100, 3, 0.1);
    folder.write("notes.plist", "not a property list\n");
    folder.write(folder / "other.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>volume</key>\n\t<real>0.5</real>\n</dict>\n</plist>\n");
    fs::create_directory(folder / "empty");
    fs::create_hard_link(input, folder / "hard.wav");
    // A FLAC file damaged in its middle, past the first chunks read.
    const auto damaged = writeInput(folder, "damaged.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 1.0);
    std::string bytes = fileText(damaged);
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i)
        bytes[i] = static_cast<char>(bytes[i] * 7 + 13);
    folder.write(damaged, bytes);
    const auto withOptions = [&](std::vector<std::string> options) { return args(input, out, std::move(options)); };
    // Saved states that the unit would not apply as written, each named by
    // the key at fault.
    const auto state = [&](const std::string& name, std::map<std::string, std::string> change,
                           const std::string& extra = "") {
        std::map<std::string, std::string> values;
        for (const char* key : {"premix", "granularity", "incoherence", "impatience", "nausea", "gravitas"})
            values[key] = "<real>0.5</real>";
        for (const auto& [key, value] : change) {
            if (value.empty())
                values.erase(key);
            else
                values[key] = value;
        }
        std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + extra +
            "<key>orvane_params</key>\n<dict>\n";
        for (const auto& [key, value] : values)
            text += "<key>" + key + "</key>" + value + "\n";
        folder.write(name, text + "</dict>\n</dict>\n</plist>\n");
        return withOptions({"--state", (folder / name).string()});
    };
    const ErrorCase cases[] = {
        {"missing input", args(folder / "missing.wav", out), 1, "no such file"},
        {"text named .wav", args(folder / "text.wav", out), 1, "not an audio file"},
        {"decoding fails part way", args(damaged, out), 1, "reading"},
        {"three channels", args(folder / "three.wav", out), 1, "3 channels"},
        {"output is the input", args(input, folder / "." / "in.wav"), 2, "is the input"},
        {"output is a hard link to the input", args(input, folder / "hard.wav"), 2, "is the input"},
        {"state saved onto the input", withOptions({"--save-state", (folder / "hard.wav").string()}), 2,
            "--save-state '" + (folder / "hard.wav").string() + "' is the input file"},
        {"state saved onto the output", withOptions({"--save-state", (folder / "." / "out.wav").string()}), 2,
            "would both write"},
        {"output onto the state read", args(input, folder / "other.wav", {"--state", (folder / "other.wav").string()}),
            2, "is the --state file"},
        {"tail beyond what a WAV file holds", withOptions({"--tail", "1e9"}), 1, "would not fit", "16384"},
        {"output folder missing", args(input, folder / "nowhere" / "out.wav"), 1, "cannot create"},
        {"output type unknown", args(input, folder / "out.mp3"), 1, "'.mp3'"},
        {"float FLAC", args(input, folder / "out.flac", {"--bits", "float"}), 1, "float"},
        {"unknown preset", withOptions({"--preset", "42"}), 1, "no factory preset"},
        {"state not a property list", withOptions({"--state", (folder / "notes.plist").string()}), 1, "property list"},
        {"state of something else", withOptions({"--state", (folder / "other.plist").string()}), 1, "saved state"},
        {"plug-in folder not a bundle", withOptions({"--plugin", (folder / "empty").string()}), 1, "bundle"},
        {"disk full", withOptions({"-q"}), 1, "writing", "16384"},
        {"unknown parameter", withOptions({"--set", "loudness=1"}), 2, "'loudness'"},
        {"value not a number", withOptions({"--set", "premix=half"}), 2, "'half'"},
        {"value not finite", withOptions({"--set", "premix=inf"}), 2, "'inf'"},
        {"value NaN", withOptions({"--set", "premix=nan"}), 2, "'nan'"},
        {"value just below the range", withOptions({"--set", "gravitas=-0.0001"}), 2, "gravitas runs from 0 to 1"},
        {"value just above the range", withOptions({"--set", "nausea=1.0001"}), 2, "nausea runs from 0 to 1"},
        {"empty preset", withOptions({"--preset", ""}), 2, "--preset"},
        {"unknown option", withOptions({"--frobnicate"}), 2, "--frobnicate"},
        {"-o with two inputs", {input.string(), "two.wav", "-o", out.string()}, 2, "2 inputs"},
        {"--save-state with two inputs", {input.string(), "two.wav", "--save-state", "s.plist"}, 2, "--save-state"},
        {"--outdir missing", {input.string(), "two.wav", "--outdir", (folder / "nowhere").string()}, 1, "'"
            + (folder / "nowhere").string() + "' does not exist"},
        {"two inputs, one output", {input.string(), (folder / "." / "in.wav").string()}, 2, "both"},
        {"one input's output is another input", {input.string(), (folder / "in-orvane.wav").string()}, 2,
            "is the input"},
        {"state value a string", state("string.plist", {{"premix", "<string>0.3</string>"}}), 1, "\"premix\""},
        {"state value not a number", state("banana.plist", {{"premix", "<real>banana</real>"}}), 1, "\"premix\""},
        {"state value not finite", state("nan.plist", {{"nausea", "<real>nan</real>"}}), 1, "\"nausea\""},
        {"state value out of range", state("high.plist", {{"gravitas", "<real>1.5</real>"}}), 1, "\"gravitas\""},
        {"state value missing", state("missing.plist", {{"impatience", ""}}), 1, "\"impatience\""},
        {"state of a later version", state("later.plist", {}, "<key>orvane_state_version</key><integer>2</integer>\n"),
            1, "\"orvane_state_version\" is 2"},
        {"state of another plug-in", state("other-unit.plist", {}, "<key>subtype</key><integer>1</integer>\n"), 1,
            "\"subtype\""},
    };
    const auto before = snapshot(folder.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = runProgram(c.arguments, ".", kProgram, c.fileSizeLimit);
        EXPECT_EQ(run.status, c.status) << run.describe();
        EXPECT_EQ(run.out, "") << run.describe();
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << "no " << c.mentions << " in: " << run.err;
        EXPECT_EQ(snapshot(folder.path()), before) << "a failed render added or changed a file";
    }
}

TEST(RenderProgram, WithoutItsBundleNearbyItSaysWhereItLooked)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.1);
    // Two levels deep, so that every place the program searches lies inside
    // this folder.
    const auto programFolder = folder / "bin" / "alone";
    fs::create_directories(programFolder);
    const auto program = programFolder / "orvane-render";
    fs::copy_file(kProgram, program);

    const auto run = runProgram(args(input, folder / "out.wav"), ".", program);
    EXPECT_EQ(run.status, 1) << run.describe();
    EXPECT_NE(run.err.find("OrvaneAUMac.appex"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not found"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(programFolder.string()), std::string::npos) << "where it looked: " << run.err;
    EXPECT_NE(run.err.find("--plugin"), std::string::npos) << "how to name it: " << run.err;
    EXPECT_FALSE(fs::exists(folder / "out.wav"));

    // Named explicitly, the same lone program finds it.
    const auto named = runProgram(args(input, folder / "out.wav", {"--plugin", kBundle.string(), "-q"}), ".", program);
    EXPECT_EQ(named.status, 0) << named.describe();
    EXPECT_TRUE(fs::is_regular_file(folder / "out.wav"));
}

// ------------------------------------------------------------ the demo

TEST(RenderProgram, WithoutArgumentsRendersTheDemoThroughEveryPreset)
{
    // "--list-presets" prints "number  name" lines; the demo names its files
    // "NN-name.wav" with NN counted from 1.
    const auto listed = runProgram({"--list-presets"});
    ASSERT_EQ(listed.status, 0) << listed.describe();
    std::vector<std::string> stems;
    std::istringstream listing(listed.out);
    for (std::string line; std::getline(listing, line);) {
        int number = -1;
        int nameAt = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), " %d %n", &number, &nameAt), 1) << line;
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02d-", number + 1);
        stems.push_back(prefix + line.substr(std::size_t(nameAt)));
    }
    ASSERT_GE(stems.size(), 8u) << listed.out;

    TempFolder folder;
    const auto run = runProgram({}, folder.path());
    ASSERT_EQ(run.status, 0) << run.describe();
    EXPECT_EQ(run.err, "") << "nothing but progress belongs on standard error, and only on a terminal";
    std::istringstream summary(run.out);
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder / "out" / "demo"))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    ASSERT_EQ(found.size(), stems.size()) << "one file per preset and nothing else";
    for (std::size_t i = 0; i < stems.size(); ++i) {
        std::string line;
        std::getline(summary, line);
        EXPECT_EQ(line.rfind(stems[i] + ":", 0), 0u) << "summary line " << i << ": " << line;
        EXPECT_EQ(found[i], stems[i] + ".wav");
        const auto sound = readSoundFile(folder / "out" / "demo" / (stems[i] + ".wav"));
        EXPECT_EQ(sound.info.channels, 2) << stems[i];
        EXPECT_TRUE(audible(sound)) << stems[i];
    }
}

TEST(RenderProgram, WithoutAnInputThePresetFileAndQuietOptionsDoWhatTheySay)
{
    TempFolder folder;
    const auto one = runProgram({"--preset", "3", "-q"}, folder.path());
    EXPECT_EQ(one.status, 0) << one.describe();
    EXPECT_EQ(one.out, "") << "quiet";
    std::vector<std::string> made;
    for (const auto& entry : fs::directory_iterator(folder / "out" / "demo"))
        made.push_back(entry.path().filename().string());
    EXPECT_EQ(made, std::vector<std::string>{"04-Dark Wash.wav"}) << "just the preset asked for";

    const auto named = runProgram({"--preset", "3", "-o", "dark.wav", "--set", "premix=1"}, folder.path());
    EXPECT_EQ(named.status, 0) << named.describe();
    EXPECT_NE(named.out.find("dark.wav"), std::string::npos) << named.out;
    EXPECT_TRUE(audible(readSoundFile(folder / "dark.wav")));
}

// Each clash of outputs is refused alike whether the file it names is there
// already (found by its inode) or not yet (found only by its path).
TEST(RenderProgram, OutputClashesAreRefusedWhetherTheOutputExistsOrNot)
{
    for (const bool present : {false, true}) {
        SCOPED_TRACE(present ? "output present" : "output absent");
        TempFolder folder;
        const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.1);
        fs::create_directories(folder / "a");
        fs::create_directories(folder / "b");
        fs::create_directories(folder / "o");
        writeInput(folder, "a/x.wav", kWav16, 44100, 2, 0.1);
        writeInput(folder, "b/x.wav", kWav16, 44100, 2, 0.1);
        if (present) {
            folder.write("out.wav", "an earlier render");
            folder.write("o/x-orvane.wav", "an earlier render");
        }
        const struct {
            const char* name;
            std::vector<std::string> arguments;
        } cases[] = {
            {"state saved onto the output", args(input, folder / "out.wav", {"--save-state", (folder / "." / "out.wav").string()})},
            {"two inputs, one file in --outdir",
                {(folder / "a/x.wav").string(), (folder / "b/x.wav").string(), "--outdir", (folder / "o").string()}},
        };
        const auto before = snapshot(folder.path());
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const auto run = runProgram(c.arguments);
            EXPECT_EQ(run.status, 2) << run.describe();
            EXPECT_NE(run.err.find("would both write"), std::string::npos) << run.err;
            EXPECT_EQ(snapshot(folder.path()), before);
        }
    }
}

} // namespace
} // namespace orvane::render
