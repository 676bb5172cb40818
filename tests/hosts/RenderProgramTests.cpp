// orvane-render as a user meets it: the built program run as its own process
// on real files in temporary folders, loading the real plug-in bundle.

#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"

#include <sndfile.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numbers>
#include <numeric>
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
        std::vector<std::string> options{"--bypass", "--tail", "0", "-q", "--block", c.block, "--dither", "none"};
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

    const auto run = runProgram(args(input, folder / "16.wav", {"--bypass", "--tail", "0", "--bits", "16", "--dither", "none"}));
    ASSERT_EQ(run.status, 0) << run.describe();
    EXPECT_NE(run.out.find("dBFS  5 samples clipped (peak 40.0 dBFS before clipping)\n"),
        std::string::npos) << "1.0 is a step beyond the largest 16-bit sample, -1.0 is not: " << run.out;
    const auto clipped = readSoundFile(folder / "16.wav");
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
    // --tail auto: The effect's tail time, then on until the output is quiet:
    // TailsEndInSilence.
    const struct {
        int rate;
        std::vector<std::string> options;
        std::int64_t tailFrames;
    } cases[] = {
        {44100, {"--tail", "1.5", "-q"}, 66150},
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

    // Preset 4, Dark Wash, has a gravitas other than 0.
    const auto saved = folder / "saved.aupreset";
    const auto setAfterPreset =
        withSettings("set.wav", {"--preset", "4", "--set", "gravitas=0", "--save-state", saved.string()});
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
    EXPECT_FALSE(sameSamples(withSettings("preset.wav", {"--preset", "4"}), setAfterPreset))
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
        // The settings once, then one summary line per rendered file, in
        // input order.
        std::istringstream lines(run.out);
        std::string with;
        std::getline(lines, with);
        EXPECT_EQ(with, "with    preset 01 First Light, premix=1, gravitas=0.8");
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
    writeInput(folder, "six.wav", kWav16, 44100, 6, 0.1);
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
        {"output type unknown", args(input, folder / "out.m4a"), 2, "'.m4a'"},
        {"float FLAC", args(input, folder / "out.flac", {"--bits", "float"}), 2, "float"},
        {"bits of a lossy file", args(input, folder / "out.ogg", {"--bits", "16"}), 2, "--quality"},
        {"quality of a lossless file", withOptions({"--quality", "0.5"}), 2, "lossless"},
        {"dither of float samples", withOptions({"--dither", "tpdf"}), 2, "--bits 16 or 24"},
        {"format against the extension", withOptions({"--format", "flac"}), 2, "--format says flac"},
        {"AIFF to standard output", args(input, "-", {"--format", "aiff"}), 2, "as a stream"},
        {"unknown preset", withOptions({"--preset", "42"}), 2, "no factory preset 42"},
        {"preset 0: they count from 1", withOptions({"--preset", "0"}), 2, "numbered from 1"},
        {"a label of the wrong number", withOptions({"--preset", "05 Dark Wash"}), 2, "'05 Dark Wash'"},
        {"option given twice", withOptions({"--preset", "3", "--preset", "5"}), 2,
            "--preset was given 2 times ('3' and '5')"},
        {"decimal comma", withOptions({"--set", "gravitas=0,5"}), 2, "use a decimal point: 0.5"},
        {"--save-state into a missing folder", withOptions({"--save-state", (folder / "nowhere" / "s.plist").string()}),
            2, "does not exist"},
        {"standard input without -o", {"-"}, 2, "-o FILE or -o -"},
        {"six channels without --channels", args(folder / "six.wav", out), 1, "--channels A,B"},
        {"--channels beyond the file's", args(folder / "six.wav", out, {"--channels", "1,7"}), 1, "no channel 7"},
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
        {"--outdir missing", {input.string(), "two.wav", "--outdir", (folder / "nowhere").string()}, 2, "'"
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
    // "--list-presets" prints "number  name" lines, counted from 1 as the
    // demo's "NN-name.wav" files are.
    const auto listed = runProgram({"--list-presets"});
    ASSERT_EQ(listed.status, 0) << listed.describe();
    std::vector<std::string> stems;
    std::istringstream listing(listed.out);
    for (std::string line; std::getline(listing, line);) {
        int number = -1;
        int nameAt = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), " %d %n", &number, &nameAt), 1) << line;
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02d-", number);
        stems.push_back(prefix + line.substr(std::size_t(nameAt)));
    }
    ASSERT_EQ(stems.size(), 9u) << listed.out;
    EXPECT_EQ(stems.front(), "01-First Light");
    EXPECT_EQ(stems.back(), "09-Drunk Chorus");

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
    // Numbered as the labels and the demo's files are.
    const auto one = runProgram({"--preset", "4", "-q"}, folder.path());
    EXPECT_EQ(one.status, 0) << one.describe();
    EXPECT_EQ(one.out, "") << "quiet";
    std::vector<std::string> made;
    for (const auto& entry : fs::directory_iterator(folder / "out" / "demo"))
        made.push_back(entry.path().filename().string());
    EXPECT_EQ(made, std::vector<std::string>{"04-Dark Wash.wav"}) << "just the preset asked for";

    const auto named = runProgram({"--preset", "Dark WASH", "-o", "dark.wav", "--set", "Premix=1"}, folder.path());
    EXPECT_EQ(named.status, 0) << named.describe();
    EXPECT_NE(named.out.find("dark.wav"), std::string::npos) << named.out;
    EXPECT_NE(named.out.find("with    preset 04 Dark Wash, premix=1\n"), std::string::npos) << named.out;
    const auto labelled = runProgram({"--preset", "04 Dark Wash", "-o", "dark.wav", "-q"}, folder.path());
    EXPECT_EQ(labelled.status, 0) << labelled.describe();
    EXPECT_TRUE(audible(readSoundFile(folder / "dark.wav")));
}


// ------------------------------------------------------------ pipes and standard streams

/// Runs a shell command line (for pipes and redirections) under a time
/// limit; a run killed at the limit has status -1.
ProgramRun runShell(const std::string& line, std::chrono::seconds limit = std::chrono::seconds(30))
{
    testprocess::Process process({"/bin/sh", "-c", line});
    return {line, process.wait(limit), process.outputText(), process.errorText()};
}

std::string shellQuoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

TEST(RenderProgram, FifosPipesAndStandardStreamsAreReadWholeAndNeverHang)
{
    TempFolder folder;
    const std::string program = shellQuoted(kProgram);
    const std::string exact = " --bypass --tail 0 -q";
    // 10 s is far more than the 64 KiB a first look at a file takes, 0.2 s
    // far less.
    for (const double seconds : {10.0, 0.2}) {
        SCOPED_TRACE(seconds);
        const auto input = writeInput(folder, "in.wav", kWav16, 8000, 1, seconds);
        const auto fifo = folder / "fifo";
        fs::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const auto run = runShell("cat " + shellQuoted(input) + " > " + shellQuoted(fifo) + " & exec " + program + " " +
            shellQuoted(fifo) + " -o " + shellQuoted(folder / "fifo.wav") + exact);
        ASSERT_EQ(run.status, 0) << run.describe();
        EXPECT_TRUE(sameSamples(asStereo(readSoundFile(input)), readSoundFile(folder / "fifo.wav")));
        const auto piped = runShell("cat " + shellQuoted(input) + " | " + program + " /dev/stdin -o " +
            shellQuoted(folder / "stdin.wav") + exact);
        ASSERT_EQ(piped.status, 0) << piped.describe();
        EXPECT_TRUE(sameSamples(asStereo(readSoundFile(input)), readSoundFile(folder / "stdin.wav")));
    }

    // "-" in and out: the same bytes as a render between files when standard
    // output is a file, the same samples through a pipe, and on standard
    // output nothing but the audio.
    const auto input = writeInput(folder, "in.wav", kWav16, 22050, 2, 0.5);
    const std::string settings = " --seed 5 --tail 0.3 --set premix=1";
    ASSERT_EQ(runShell(program + " " + shellQuoted(input) + " -o " + shellQuoted(folder / "file.wav") + settings + " -q").status, 0);
    const auto redirected = runShell(program + " - -o -" + settings + " < " + shellQuoted(input) + " > " +
        shellQuoted(folder / "redirected.wav"));
    ASSERT_EQ(redirected.status, 0) << redirected.describe();
    EXPECT_NE(redirected.err.find("output  standard output (WAV, 32-bit float)"), std::string::npos) << redirected.err;
    EXPECT_EQ(fileText(folder / "file.wav"), fileText(folder / "redirected.wav"));
    const auto piped = runShell("cat " + shellQuoted(input) + " | " + program + " - -o -" + settings + " -q | cat > " +
        shellQuoted(folder / "piped.wav"));
    ASSERT_EQ(piped.status, 0) << piped.describe();
    EXPECT_TRUE(sameSamples(readSoundFile(folder / "file.wav"), readSoundFile(folder / "piped.wav")));
    // A stream of FLAC, chosen with --format.
    ASSERT_EQ(runShell(program + " - -o - --format flac --bits 16 -q" + settings + " < " + shellQuoted(input) + " > " +
                  shellQuoted(folder / "stream.flac"))
                  .status,
        0);
    EXPECT_EQ(readSoundFile(folder / "stream.flac").frames(), readSoundFile(folder / "file.wav").frames());
}

// ------------------------------------------------------------ integer samples

/// Goertzel power of `samples` (one channel of interleaved stereo) at `hertz`.
double powerAt(const std::vector<double>& samples, double hertz, double rate)
{
    const double w = 2.0 * std::numbers::pi * hertz / rate;
    double s1 = 0.0, s2 = 0.0;
    for (const double x : samples) {
        const double s0 = x + 2.0 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - 2.0 * std::cos(w) * s1 * s2;
}

TEST(RenderProgram, SixteenBitFilesRoundToNearestAndTheirDitherLeavesAFlatError)
{
    // A 1 kHz tone at -80 dBFS, 3.3 steps of 16 bits high: truncation would
    // lower it by half a step, and rounding alone puts its error into the
    // tone's harmonics.
    TempFolder folder;
    constexpr int kRate = 48000;
    std::vector<float> tone(2 * kRate);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = float(1e-4 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(i / 2) / kRate + 0.3));
    const auto input = folder / "tone.wav";
    writeSoundFile(input, kWavFloat, 2, kRate, tone);
    const std::vector<std::string> exact{"--bypass", "--tail", "0", "-q", "--bits", "16"};
    const auto errorOf = [&](std::vector<std::string> more) {
        more.insert(more.end(), exact.begin(), exact.end());
        const auto sound = render(input, folder / "16.wav", more);
        std::vector<double> error;
        for (std::size_t i = 0; i < sound.samples.size() && i < tone.size(); i += 2)
            error.push_back((double(sound.samples[i]) - double(tone[i])) * 32768.0);
        return error;
    };
    const auto mean = [](const std::vector<double>& x) { return std::accumulate(x.begin(), x.end(), 0.0) / double(x.size()); };
    const auto harmonics = [&](const std::vector<double>& error) {
        // Each harmonic's power against what white noise of the error's own
        // variance puts in one bin (its count times the variance).
        double variance = 0.0;
        for (const double e : error)
            variance += e * e / double(error.size());
        double worst = 0.0;
        for (const double hertz : {1000.0, 3000.0, 5000.0, 7000.0})
            worst = std::max(worst, powerAt(error, hertz, kRate) / (double(error.size()) * variance));
        return worst;
    };

    const auto rounded = errorOf({"--dither", "none"});
    ASSERT_EQ(rounded.size(), std::size_t(kRate));
    EXPECT_LT(std::abs(mean(rounded)), 0.05) << "mean error in steps";
    EXPECT_LE(*std::ranges::max_element(rounded, {}, [](double e) { return std::abs(e); }), 0.5 + 1e-6);
    EXPECT_GT(harmonics(rounded), 100.0) << "undithered, the error follows the tone";

    const auto dithered = errorOf({"--seed", "3"});
    ASSERT_EQ(dithered.size(), std::size_t(kRate));
    EXPECT_LT(std::abs(mean(dithered)), 0.05);
    double variance = 0.0;
    for (const double e : dithered)
        variance += e * e / double(dithered.size());
    EXPECT_NEAR(variance, 0.25, 0.03) << "triangular dither of one step each way, then rounding";
    EXPECT_LT(harmonics(dithered), 12.0) << "dithered, the error is noise with no trace of the tone";
    EXPECT_EQ(errorOf({"--seed", "3"}), dithered) << "the same seed, the same dither";
    EXPECT_NE(errorOf({"--seed", "4"}), dithered);
}

// ------------------------------------------------------------ replacing files

TEST(RenderProgram, ReplacingAFileWritesThroughItsLinkKeepsItsModeAndNoClobberRefuses)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 22050, 2, 0.2);
    fs::create_directory(folder / "real");
    const auto target = folder.write("real/target.wav", "an earlier render");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("real/target.wav", folder / "link.wav");
    const auto plain = folder.write("plain.wav", "an earlier render");
    fs::permissions(plain, fs::perms(0664));

    for (const auto& output : {folder / "link.wav", plain}) {
        const auto run = runProgram(args(input, output, {"--tail", "0"}));
        ASSERT_EQ(run.status, 0) << run.describe();
        EXPECT_NE(run.out.find("(WAV, 32-bit float), replaced\n"), std::string::npos) << run.out;
    }
    EXPECT_TRUE(fs::is_symlink(folder / "link.wav")) << "the link stays a link";
    EXPECT_TRUE(audible(readSoundFile(target))) << "and its target holds the render";
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(plain).permissions(), fs::perms(0664));
    EXPECT_EQ(runProgram(args(input, folder / "new.wav", {"--tail", "0"})).out.find("replaced"), std::string::npos);

    // -n refuses before anything is rendered, in a batch too.
    folder.write("real/in-orvane.wav", "an earlier render");
    const auto before = snapshot(folder.path());
    const auto refused = runProgram(args(input, plain, {"-n"}));
    EXPECT_EQ(refused.status, 2) << refused.describe();
    EXPECT_NE(refused.err.find("--no-clobber"), std::string::npos) << refused.err;
    const auto batch = runProgram({plain.string(), input.string(), "-n", "--outdir", (folder / "real").string()});
    EXPECT_EQ(batch.status, 2) << batch.describe();
    EXPECT_EQ(snapshot(folder.path()), before) << "nothing written";
    EXPECT_FALSE(fs::exists(folder / "real" / "plain-orvane.wav")) << "not even the batch's new file";
    EXPECT_EQ(runProgram(args(input, folder / "fresh.wav", {"-n", "-q", "--tail", "0"})).status, 0);
}

TEST(RenderProgram, TemporariesOfRunsKilledOutrightAreRemovedByTheNextRunAndThoseOfLiveRunsKept)
{
    TempFolder folder;
    const auto longInput = writeInput(folder, "long.wav", kWav16, 22050, 2, 60.0);
    const auto input = writeInput(folder, "in.wav", kWav16, 22050, 2, 0.1);
    // Killed past any handler, as a power loss would: its temporary stays.
    testprocess::Process killed({kProgram.string(), longInput.string(), "-o", (folder / "out.wav").string()});
    for (int i = 0; i < 2000 && killed.running() && !holds(folder.path(), ".out.wav."); ++i)
        ::usleep(5000);
    killed.signal(SIGKILL);
    killed.wait();
    ASSERT_TRUE(holds(folder.path(), ".out.wav.")) << "the killed run left its temporary";
    // One of a run still going: this test's own process id.
    const auto live = folder.write(".other.wav." + std::to_string(::getpid()) + "-0123456789abcdef.part", "");
    const auto unrelated = folder.write(".notes.part", "");

    const auto run = runProgram(args(input, folder / "out.wav", {"--tail", "0", "--bypass"}));
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_EQ(run.err, "orvane-render: removed 1 unfinished file that interrupted runs left in '" +
            folder.path().string() + "'\n");
    EXPECT_FALSE(holds(folder.path(), ".out.wav."));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(unrelated));
}

// ------------------------------------------------------------ tails

TEST(RenderProgram, EveryPresetsAutomaticTailEndsInSilence)
{
    // A second of full-scale square wave, the loudest input there is.
    TempFolder folder;
    constexpr int kRate = 22050;
    std::vector<float> square(2 * kRate);
    for (std::size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 2) % 100 < 50 ? 1.0f : -1.0f;
    const auto input = folder / "square.wav";
    writeSoundFile(input, kWavFloat, 2, kRate, square);
    for (int preset = 1; preset <= 9; ++preset) {
        SCOPED_TRACE(preset);
        const auto sound = render(input, folder / "out.wav", {"--preset", std::to_string(preset), "--seed", "1", "-q"});
        ASSERT_GT(sound.frames(), kRate + kRate / 10);
        float last = 0.0f;
        for (std::size_t i = sound.samples.size() - 2 * kRate / 10; i < sound.samples.size(); ++i)
            last = std::max(last, std::abs(sound.samples[i]));
        EXPECT_LT(last, 1e-4f) << "the last 100 ms of " << sound.frames() << " frames reach " << last;
    }
}

// ------------------------------------------------------------ formats

TEST(RenderProgram, LossyFormatsTwoChannelsOfManyAndFloatFilesSoxReadsQuietly)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 48000, 2, 0.5);
    for (const char* extension : {".ogg", ".opus", ".mp3"}) {
        SCOPED_TRACE(extension);
        const auto output = folder / (std::string("out") + extension);
        const auto sound = render(input, output, {"--tail", "0", "--quality", "0.5", "-q"});
        EXPECT_EQ(sound.info.channels, 2);
        EXPECT_NEAR(double(sound.frames()), 24000.0, 1200.0) << "an MP3 frame of padding at most";
        EXPECT_TRUE(audible(sound));
    }
    // --format names the outputs of a batch.
    fs::create_directory(folder / "batch");
    const auto batch = runProgram({input.string(), "--format", "ogg", "--outdir", (folder / "batch").string(), "-q",
        "--tail", "0"});
    EXPECT_EQ(batch.status, 0) << batch.describe();
    EXPECT_TRUE(fs::exists(folder / "batch" / "in-orvane.ogg"));

    // Channels 5 and 6 of six, counted from 1 as sox counts them.
    const auto six = writeInput(folder, "six.wav", kWav16, 22050, 6, 0.2);
    const auto picked = render(six, folder / "picked.wav", {"--channels", "5,6", "--bypass", "--tail", "0", "-q"});
    const auto all = readSoundFile(six);
    ASSERT_EQ(picked.frames(), all.frames());
    for (std::int64_t i = 0; i < all.frames(); ++i) {
        ASSERT_EQ(picked.samples[std::size_t(2 * i)], all.samples[std::size_t(6 * i + 4)]) << i;
        ASSERT_EQ(picked.samples[std::size_t(2 * i + 1)], all.samples[std::size_t(6 * i + 5)]) << i;
    }

    // sox reads a float WAV file without a word about its format chunk.
    const auto sox = runShell("sox " + shellQuoted(folder / "picked.wav") + " -n stat");
    EXPECT_EQ(sox.status, 0) << sox.describe();
    EXPECT_EQ(sox.err.find("WARN"), std::string::npos) << sox.err;
}

TEST(RenderProgram, ThePluginFoldersUsersKnowAndStatesWithAByteOrderMarkAreTaken)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 22050, 2, 0.1);
    // The VST3 bundle holds the unit's bundle among its resources.
    const auto resources = folder / "Orvane.vst3" / "Contents" / "Resources";
    fs::create_directories(resources);
    fs::copy(kBundle, resources / kBundle.filename(), fs::copy_options::recursive);
    std::vector<fs::path> folders{folder / "Orvane.vst3"};
    if (const auto lv2 = kBundle.parent_path() / "lv2" / "orvane.lv2"; fs::exists(lv2 / kBundle.filename()))
        folders.push_back(lv2);
    for (const auto& plugin : folders) {
        const auto run = runProgram({"--list-presets", "--plugin", plugin.string()});
        EXPECT_EQ(run.status, 0) << run.describe();
        EXPECT_EQ(run.out.rfind("1  First Light\n", 0), 0u) << run.out;
    }

    const auto saved = folder / "saved.aupreset";
    ASSERT_EQ(runProgram({"--preset", "4", "--save-state", saved.string()}).status, 0);
    const auto marked = folder.write("marked.aupreset", "\xEF\xBB\xBF" + fileText(saved));
    const auto run = runProgram(args(input, folder / "out.wav", {"--state", marked.string(), "--tail", "0"}));
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_NE(run.out.find("(Dark Wash)"), std::string::npos) << run.out;

    // --preset and --state: the later one wins.
    const auto order = [&](std::vector<std::string> options) {
        options.insert(options.end(), {"--tail", "0"});
        return runProgram(args(input, folder / "out.wav", options)).out;
    };
    EXPECT_NE(order({"--state", saved.string(), "--preset", "2"}).find("with    preset 02 Stereo Doubler"), std::string::npos);
    EXPECT_NE(order({"--preset", "2", "--state", saved.string()}).find("with    state"), std::string::npos);
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
