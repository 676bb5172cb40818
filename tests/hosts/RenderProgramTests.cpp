// orvane-render as a user meets it: the built program run as its own process
// on real files in temporary folders, loading the real plug-in bundle.

#include "tests/hosts/RenderTestSupport.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <numbers>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

#ifndef ORVANE_RENDER_PROGRAM
#error "ORVANE_RENDER_PROGRAM must name the built orvane-render"
#endif
#ifndef ORVANE_PLUGIN_BUNDLE_DIR
#error "ORVANE_PLUGIN_BUNDLE_DIR must name the built plug-in bundle"
#endif

namespace orvane::render {
namespace {

namespace fs = std::filesystem;
using testing::readSoundFile;
using testing::SoundFile;
using testing::TempFolder;
using testing::writeSoundFile;

const fs::path kProgram = ORVANE_RENDER_PROGRAM;
const fs::path kBundle = ORVANE_PLUGIN_BUNDLE_DIR;

// ------------------------------------------------------------ running it

/// What one run of the program did.
struct ProgramRun {
    std::string command;
    bool exited = false; // false: killed by a signal
    int status = -1; // the exit status, or the signal number
    std::string out;
    std::string err;

    bool succeeded() const { return exited && status == 0; }
    /// Failed the way a program should: its own non-zero exit, not a crash.
    bool failedCleanly() const { return exited && status != 0; }

    std::string describe() const
    {
        std::ostringstream text;
        text << command << "\n  " << (exited ? "exit status " : "killed by signal ") << status
             << "\n  stdout: " << out << "\n  stderr: " << err;
        return text.str();
    }
};

void closeQuietly(int& descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

/// Runs `program` with `arguments` (no shell in between), standard input from
/// /dev/null, standard output and error captured through pipes.
ProgramRun runProgram(const std::vector<std::string>& arguments, const fs::path& workingFolder = {},
    const fs::path& program = kProgram)
{
    ProgramRun run;
    run.command = program.string();
    for (const auto& argument : arguments)
        run.command += " '" + argument + "'";

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    if (!workingFolder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());

    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argvPointers;
    for (auto& argument : argv)
        argvPointers.push_back(argument.data());
    argvPointers.push_back(nullptr);

    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argvPointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    closeQuietly(outPipe[1]);
    closeQuietly(errPipe[1]);
    if (spawned != 0) {
        closeQuietly(outPipe[0]);
        closeQuietly(errPipe[0]);
        run.err = "posix_spawn failed: " + std::string(std::strerror(spawned));
        return run;
    }

    // Both pipes are drained together so that a child filling one of them
    // never blocks while we wait on the other.
    pollfd streams[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* into[2] = {&run.out, &run.err};
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        if (::poll(streams, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                into[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(streams[i].fd);
                streams[i].fd = -1; // poll ignores negative descriptors
            }
        }
    }

    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    run.exited = WIFEXITED(waitStatus);
    run.status = run.exited ? WEXITSTATUS(waitStatus) : WTERMSIG(waitStatus);
    return run;
}

/// Lines of text, without their line ends; no empty last line.
std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string fileText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

// ------------------------------------------------------------ signals

/// A plain 16-bit PCM WAV, the most common input.
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

/// Interleaved test audio from a fixed seed: a tone per channel under noise
/// bursts, peaking near 0.6, so that every kind of processing shows.
std::vector<float> testSignal(std::int64_t frames, int channels, double rate, unsigned seed)
{
    auto samples = testsignals::noise(static_cast<std::size_t>(frames * channels), seed);
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        const double t = double(frame) / rate;
        const double burst = std::fmod(t, 0.1) < 0.02 ? 0.3 : 0.02;
        for (int channel = 0; channel < channels; ++channel) {
            auto& sample = samples[static_cast<std::size_t>(frame * channels + channel)];
            const double tone = 0.3 * std::sin(2.0 * std::numbers::pi * (220.0 + 110.0 * channel) * t);
            sample = static_cast<float>(tone + burst * double(sample));
        }
    }
    return samples;
}

/// Writes `seconds` of test audio in `format` and returns its path.
fs::path writeInput(const TempFolder& folder, const std::string& name, int format, int rate, int channels,
    double seconds, unsigned seed = 1)
{
    const auto path = folder / name;
    const auto frames = static_cast<std::int64_t>(std::lround(seconds * rate));
    writeSoundFile(path, format, channels, rate, testSignal(frames, channels, rate, seed));
    return path;
}

::testing::AssertionResult isStereoAt(const SoundFile& sound, int rate)
{
    if (sound.info.channels != 2 || sound.info.samplerate != rate)
        return ::testing::AssertionFailure()
            << sound.info.channels << " channels at " << sound.info.samplerate << " Hz, expected 2 at " << rate;
    return ::testing::AssertionSuccess();
}

/// Bit for bit equality of two files' samples; on failure names the first
/// differing frame and channel, both values and how many samples differ.
::testing::AssertionResult sameSamples(const SoundFile& expected, const SoundFile& actual)
{
    if (expected.info.channels != actual.info.channels || expected.samples.size() != actual.samples.size())
        return ::testing::AssertionFailure()
            << expected.frames() << " frames x " << expected.info.channels << " channels vs " << actual.frames()
            << " frames x " << actual.info.channels << " channels";
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < expected.samples.size(); ++i) {
        if (std::bit_cast<std::uint32_t>(expected.samples[i]) != std::bit_cast<std::uint32_t>(actual.samples[i])) {
            if (differing++ == 0)
                first = i;
        }
    }
    if (differing == 0)
        return ::testing::AssertionSuccess();
    const auto channels = static_cast<std::size_t>(expected.info.channels);
    return ::testing::AssertionFailure()
        << differing << " samples differ; first at frame " << first / channels << " channel " << first % channels
        << ": " << expected.samples[first] << " vs " << actual.samples[first];
}

/// Equality within `tolerance`; on failure names the worst frame and channel.
::testing::AssertionResult closeSamples(const SoundFile& expected, const SoundFile& actual, float tolerance)
{
    if (expected.info.channels != actual.info.channels || expected.samples.size() != actual.samples.size())
        return ::testing::AssertionFailure()
            << expected.frames() << " frames x " << expected.info.channels << " channels vs " << actual.frames()
            << " frames x " << actual.info.channels << " channels";
    float worst = 0.0f;
    std::size_t at = 0;
    for (std::size_t i = 0; i < expected.samples.size(); ++i) {
        const float difference = std::abs(expected.samples[i] - actual.samples[i]);
        if (std::isnan(difference) || difference > worst) {
            worst = difference;
            at = i;
            if (std::isnan(difference))
                break;
        }
    }
    if (worst <= tolerance) // false for NaN
        return ::testing::AssertionSuccess();
    const auto channels = static_cast<std::size_t>(expected.info.channels);
    return ::testing::AssertionFailure() << "largest difference " << worst << " at frame " << at / channels
                                         << " channel " << at % channels << ": " << expected.samples[at] << " vs "
                                         << actual.samples[at];
}

/// Every sample finite, and some well above silence.
::testing::AssertionResult audible(const SoundFile& sound)
{
    float peak = 0.0f;
    for (std::size_t i = 0; i < sound.samples.size(); ++i) {
        if (!std::isfinite(sound.samples[i]))
            return ::testing::AssertionFailure() << "sample " << i << " is " << sound.samples[i];
        peak = std::max(peak, std::abs(sound.samples[i]));
    }
    if (peak < 0.01f)
        return ::testing::AssertionFailure() << "peak " << peak << " is silence";
    return ::testing::AssertionSuccess();
}

/// One channel of a file, as a mono file's samples.
SoundFile channelOf(const SoundFile& stereo, int channel)
{
    SoundFile mono;
    mono.info = stereo.info;
    mono.info.channels = 1;
    for (std::int64_t frame = 0; frame < stereo.frames(); ++frame)
        mono.samples.push_back(stereo.at(frame, channel));
    return mono;
}

std::vector<std::string> args(std::initializer_list<std::string> list)
{
    return std::vector<std::string>(list);
}

std::vector<std::string> args(const fs::path& input, const fs::path& output, std::initializer_list<std::string> more)
{
    std::vector<std::string> all{input.string(), "-o", output.string()};
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

// ------------------------------------------------------------ information

struct ListedPreset {
    int number;
    std::string name;
};

std::vector<ListedPreset> listPresets()
{
    const auto run = runProgram(args({"--list-presets"}));
    EXPECT_TRUE(run.succeeded()) << run.describe();
    EXPECT_EQ(run.err, "") << run.describe();
    std::vector<ListedPreset> presets;
    for (const auto& line : linesOf(run.out)) {
        int number = -1;
        int nameStart = 0;
        if (std::sscanf(line.c_str(), " %d %n", &number, &nameStart) != 1 || nameStart >= int(line.size())) {
            ADD_FAILURE() << "not a 'number name' line: '" << line << "'";
            continue;
        }
        presets.push_back({number, line.substr(static_cast<std::size_t>(nameStart))});
    }
    return presets;
}

TEST(RenderProgram, HelpVersionAndPresetListSucceedOnStandardOutput)
{
    const auto help = runProgram(args({"--help"}));
    ASSERT_TRUE(help.succeeded()) << help.describe();
    EXPECT_NE(help.out.find("Usage:"), std::string::npos) << help.out;
    for (const char* option : {"--preset", "--set", "--state", "--seed", "--block", "--tail", "--bits", "--bypass"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option << " is missing from the help";

    const auto version = runProgram(args({"--version"}));
    ASSERT_TRUE(version.succeeded()) << version.describe();
    EXPECT_EQ(version.out.rfind("orvane-render ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find_first_of("0123456789"), std::string::npos) << version.out;

    const auto presets = listPresets();
    ASSERT_GE(presets.size(), 8u);
    for (std::size_t i = 0; i < presets.size(); ++i) {
        EXPECT_EQ(presets[i].number, int(i)) << "preset " << i << " '" << presets[i].name << "'";
        EXPECT_FALSE(presets[i].name.empty()) << "preset " << i;
    }
}

TEST(RenderProgram, WithoutArgumentsRendersTheDemoThroughEveryPreset)
{
    const auto presets = listPresets();
    ASSERT_FALSE(presets.empty());
    TempFolder folder;
    const auto run = runProgram({}, folder.path());
    ASSERT_TRUE(run.succeeded()) << run.describe();
    EXPECT_EQ(run.err, "") << "nothing but progress belongs on standard error, and only on a terminal";

    const auto lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), presets.size()) << run.out;
    std::vector<std::string> expectedFiles;
    for (std::size_t i = 0; i < presets.size(); ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%02d", presets[i].number + 1);
        const std::string stem = std::string(number) + "-" + presets[i].name;
        expectedFiles.push_back(stem + ".wav");
        EXPECT_EQ(lines[i].rfind(stem + ":", 0), 0u) << "summary line " << i << ": " << lines[i];

        const auto sound = readSoundFile(folder.path() / "out" / "demo" / (stem + ".wav"));
        EXPECT_EQ(sound.info.channels, 2) << stem;
        EXPECT_GT(sound.frames(), 0) << stem;
        EXPECT_TRUE(audible(sound)) << stem;
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder.path() / "out" / "demo"))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expectedFiles) << "one file per preset and nothing else";
}

// ------------------------------------------------------------ formats and lengths

struct InputFormatCase {
    const char* fileName;
    int format;
    int rate;
};

TEST(RenderProgram, ReadsEveryInputFormatAndKeepsItsRateAndLength)
{
    // Bypassed with no tail, the float WAV out must hold exactly what
    // libsndfile decodes from the input.
    const InputFormatCase cases[] = {
        {"pcm16.wav", kWav16, 44100},
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000},
        {"float.wav", kWavFloat, 96000},
        {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 22050},
        {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 32000},
    };
    TempFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName);
        const auto input = writeInput(folder, c.fileName, c.format, c.rate, 2, 0.25);
        const auto output = folder / (std::string(c.fileName) + "-out.wav");
        const auto run = runProgram(args(input, output, {"--bypass", "--tail", "0"}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find(output.string()), std::string::npos) << "the summary names the output:\n" << run.out;

        const auto expected = readSoundFile(input);
        const auto rendered = readSoundFile(output);
        EXPECT_EQ(rendered.info.format, kWavFloat);
        EXPECT_TRUE(isStereoAt(rendered, c.rate));
        EXPECT_TRUE(sameSamples(expected, rendered));
    }
}

struct OutputFormatCase {
    const char* fileName;
    const char* bits; // nullptr: the type's default
    int format;
};

TEST(RenderProgram, WritesEveryOutputFormatThatItsExtensionAndBitsAsk)
{
    // Samples that 16-bit PCM holds exactly, so that every encoding gives
    // them back unchanged.
    const OutputFormatCase cases[] = {
        {"out16.wav", "16", kWav16},
        {"out24.wav", "24", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"outfloat.aiff", nullptr, SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {"out16.aiff", "16", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"out24.flac", nullptr, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"out16.flac", "16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    };
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.2);
    const auto expected = readSoundFile(input);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName);
        auto arguments = args(input, folder / c.fileName, {"--bypass", "--tail", "0", "--quiet"});
        if (c.bits) {
            arguments.push_back("--bits");
            arguments.push_back(c.bits);
        }
        const auto run = runProgram(arguments);
        ASSERT_TRUE(run.succeeded()) << run.describe();
        EXPECT_EQ(run.out, "") << "--quiet prints no summary";

        const auto rendered = readSoundFile(folder / c.fileName);
        EXPECT_EQ(rendered.info.format, c.format) << std::hex << rendered.info.format;
        EXPECT_TRUE(isStereoAt(rendered, 44100));
        EXPECT_TRUE(sameSamples(expected, rendered));
    }
}

TEST(RenderProgram, OutputLengthIsTheInputPlusTheTail)
{
    TempFolder folder;
    {
        SCOPED_TRACE("--tail 1.5 at 44100 Hz");
        const auto input = writeInput(folder, "in44.wav", kWav16, 44100, 2, 0.2);
        const auto run = runProgram(args(input, folder / "out44.wav", {"--tail", "1.5", "-q"}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        const auto rendered = readSoundFile(folder / "out44.wav");
        EXPECT_TRUE(isStereoAt(rendered, 44100));
        EXPECT_EQ(rendered.frames(), 8820 + 66150);
        EXPECT_TRUE(audible(rendered));
    }
    {
        // All wet off, full output wander: the unit's tail is the output
        // delay's reach, 0.12 s held in single precision.
        SCOPED_TRACE("auto tail at 48000 Hz");
        const auto input = writeInput(folder, "in48.wav", kWav16, 48000, 2, 0.2);
        const auto run = runProgram(
            args(input, folder / "out48.wav", {"--set", "premix=0", "--set", "nausea=1", "-q"}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        const auto rendered = readSoundFile(folder / "out48.wav");
        EXPECT_TRUE(isStereoAt(rendered, 48000));
        const auto tailFrames = static_cast<std::int64_t>(std::ceil(static_cast<double>(0.12f) * 48000.0));
        EXPECT_EQ(rendered.frames(), 9600 + tailFrames);
    }
    {
        SCOPED_TRACE("auto tail of nothing");
        const auto input = writeInput(folder, "in22.wav", kWav16, 22050, 1, 0.2);
        const auto run = runProgram(args(input, folder / "out22.wav",
            {"--set", "premix=0", "--set", "nausea=0", "-q"}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        const auto rendered = readSoundFile(folder / "out22.wav");
        EXPECT_TRUE(isStereoAt(rendered, 22050));
        EXPECT_EQ(rendered.frames(), 4410);
    }
}

TEST(RenderProgram, BypassPassesMonoAndStereoThroughUnchanged)
{
    TempFolder folder;
    {
        SCOPED_TRACE("stereo float, with overs");
        auto samples = testSignal(11025, 2, 44100, 3);
        samples[100] = 1.25f; // float files may go beyond full scale, and must stay there
        samples[201] = -1.5f;
        const auto input = folder / "stereo.wav";
        writeSoundFile(input, kWavFloat, 2, 44100, samples);
        const auto run = runProgram(args(input, folder / "stereo-out.wav", {"--bypass", "--tail", "0", "-q"}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        const auto rendered = readSoundFile(folder / "stereo-out.wav");
        EXPECT_EQ(rendered.info.format, kWavFloat);
        EXPECT_TRUE(sameSamples(readSoundFile(input), rendered));
    }
    {
        SCOPED_TRACE("mono float");
        const auto input = writeInput(folder, "mono.wav", kWavFloat, 48000, 1, 0.25, 4);
        const auto run = runProgram(args(input, folder / "mono-out.wav", {"--bypass", "--tail", "0", "-q"}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        const auto rendered = readSoundFile(folder / "mono-out.wav");
        EXPECT_TRUE(isStereoAt(rendered, 48000));
        const auto expected = readSoundFile(input);
        EXPECT_TRUE(sameSamples(expected, channelOf(rendered, 0))) << "left";
        EXPECT_TRUE(sameSamples(expected, channelOf(rendered, 1))) << "right";
    }
}

// ------------------------------------------------------------ reproducibility

TEST(RenderProgram, ASeedMakesTheRenderReproducibleAndOnlyThen)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.3);
    const auto render = [&](const std::string& name, std::vector<std::string> extra) {
        auto arguments =
            args(input, folder / name, {"--set", "premix=1", "--set", "gravitas=0.8", "--tail", "0.3", "-q"});
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto run = runProgram(arguments);
        EXPECT_TRUE(run.succeeded()) << run.describe();
        return readSoundFile(folder / name);
    };
    const auto seven = render("seven.wav", {"--seed", "7"});
    const auto sevenAgain = render("seven-again.wav", {"--seed", "7"});
    const auto eight = render("eight.wav", {"--seed", "8"});
    const auto unseeded = render("unseeded.wav", {});
    const auto unseededAgain = render("unseeded-again.wav", {});

    EXPECT_TRUE(audible(seven));
    EXPECT_TRUE(sameSamples(seven, sevenAgain)) << "the same seed twice";
    EXPECT_FALSE(sameSamples(seven, eight)) << "seeds 7 and 8 gave the same render";
    EXPECT_FALSE(sameSamples(unseeded, unseededAgain)) << "two unseeded renders drew the same echo patterns";
}

/// The bundle's own file of factory preset `number` (0-based), found by the
/// two-digit prefix that orders the preset files.
fs::path factoryPresetFile(int number)
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d-", number + 1);
    for (const auto& entry : fs::directory_iterator(kBundle / "presets")) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            return entry.path();
    }
    ADD_FAILURE() << "no preset file " << prefix << "* in " << kBundle;
    return {};
}

/// A property list's text with the <real> that follows <key>`key`</key>
/// replaced by `value`.
std::string withReal(std::string plist, const std::string& key, const std::string& value)
{
    const auto keyAt = plist.find("<key>" + key + "</key>");
    const auto open = plist.find("<real>", keyAt);
    const auto close = plist.find("</real>", open);
    if (keyAt == std::string::npos || open == std::string::npos || close == std::string::npos) {
        ADD_FAILURE() << "no <real> for " << key << " in:\n" << plist;
        return plist;
    }
    plist.replace(open + 6, close - open - 6, value);
    return plist;
}

TEST(RenderProgram, SetAfterPresetAndSavedStatesRenderTheSameSettings)
{
    constexpr int kDarkWash = 3; // a preset whose gravitas is not 0
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.3);
    const auto render = [&](const std::string& name, std::vector<std::string> settings) {
        auto arguments = args(input, folder / name, {"--seed", "7", "--tail", "0.2", "-q"});
        arguments.insert(arguments.end(), settings.begin(), settings.end());
        const auto run = runProgram(arguments);
        EXPECT_TRUE(run.succeeded()) << run.describe();
        return readSoundFile(folder / name);
    };

    const auto saved = folder / "saved.aupreset";
    const auto setAfterPreset = render("set.wav",
        {"--preset", std::to_string(kDarkWash), "--set", "gravitas=0", "--save-state", saved.string()});
    ASSERT_TRUE(fs::is_regular_file(saved));

    // The same settings written independently: the preset's own file with
    // gravitas 0.
    const auto handWritten = folder / "hand.aupreset";
    writeText(handWritten, withReal(fileText(factoryPresetFile(kDarkWash)), "gravitas", "0.0"));

    const auto fromHandWritten = render("hand.wav", {"--state", handWritten.string()});
    const auto fromSaved = render("saved.wav", {"--state", saved.string()});
    const auto presetAlone = render("preset.wav", {"--preset", std::to_string(kDarkWash)});

    EXPECT_TRUE(audible(setAfterPreset));
    EXPECT_TRUE(sameSamples(fromHandWritten, setAfterPreset)) << "--preset then --set against the edited preset file";
    EXPECT_TRUE(sameSamples(setAfterPreset, fromSaved)) << "--save-state then --state";
    EXPECT_FALSE(sameSamples(presetAlone, setAfterPreset)) << "--set after --preset changed nothing";
}

TEST(RenderProgram, BlockSizeChangesNothingButTheReverberatorsRounding)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 22050, 2, 0.2);
    const auto render = [&](const std::string& name, const std::string& gravitas, const char* block) {
        auto arguments = args(input, folder / name,
            {"--set", "granularity=0", "--set", "incoherence=0", "--set", "nausea=0", "--set", "gravitas=" + gravitas,
                "--seed", "7", "--tail", "0.05", "-q"});
        if (block) {
            arguments.push_back("--block");
            arguments.push_back(block);
        }
        const auto run = runProgram(arguments);
        EXPECT_TRUE(run.succeeded()) << run.describe();
        return readSoundFile(folder / name);
    };
    {
        SCOPED_TRACE("no reverberation");
        const auto byDefault = render("dry-512.wav", "0", nullptr);
        EXPECT_TRUE(audible(byDefault));
        EXPECT_FALSE(sameSamples(readSoundFile(input), channelOf(byDefault, 0))) << "the effect did nothing";
        EXPECT_TRUE(sameSamples(byDefault, render("dry-4096.wav", "0", "4096"))) << "blocks of 4096";
        EXPECT_TRUE(sameSamples(byDefault, render("dry-1.wav", "0", "1"))) << "blocks of 1";
    }
    {
        SCOPED_TRACE("with reverberation");
        const auto byDefault = render("wet-512.wav", "0.5", nullptr);
        EXPECT_TRUE(audible(byDefault));
        EXPECT_TRUE(closeSamples(byDefault, render("wet-4096.wav", "0.5", "4096"), 1e-5f)) << "blocks of 4096";
        EXPECT_TRUE(closeSamples(byDefault, render("wet-1.wav", "0.5", "1"), 1e-5f)) << "blocks of 1";
    }
}

// ------------------------------------------------------------ errors

struct ErrorCase {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> mentions; // what the message must name
};

TEST(RenderProgram, EveryErrorExitsNonZeroNamesTheProblemAndLeavesNoFile)
{
    TempFolder folder;
    const auto input = writeInput(folder, "in.wav", kWav16, 44100, 2, 0.2);
    const auto inputBytes = fileText(input);
    const auto out = folder / "out.wav";
    writeText(folder / "text.wav", "These are words, not samples.\n");
    writeInput(folder, "three.wav", kWav16, 44100, 3, 0.1);
    writeText(folder / "notes.plist", "not a property list\n");
    writeText(folder / "other.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>volume</key>\n\t<real>0.5</real>\n</dict>\n</plist>\n");
    fs::create_directory(folder / "empty");

    const std::vector<ErrorCase> cases = {
        {"missing input", args(folder / "missing.wav", out, {}), {"missing.wav", "no such file"}},
        {"text named .wav", args(folder / "text.wav", out, {}), {"text.wav", "not an audio file"}},
        {"three channels", args(folder / "three.wav", out, {}), {"three.wav", "3 channels"}},
        {"unknown preset number", args(input, out, {"--preset", "42"}),
            {"--preset", "no factory preset", "42", "First Light"}},
        {"unknown preset name", args(input, out, {"--preset", "Bright Cellar"}),
            {"--preset", "no factory preset", "'Bright Cellar'"}},
        {"unknown parameter", args(input, out, {"--set", "loudness=1"}),
            {"--set", "unknown parameter", "'loudness'", "gravitas"}},
        {"value not a number", args(input, out, {"--set", "premix=half"}),
            {"--set", "'half'", "premix", "not a finite number"}},
        {"seed zero", args(input, out, {"--seed", "0"}), {"--seed", "'0'", "outside"}},
        {"seed too large", args(input, out, {"--seed", "4294967295"}), {"--seed", "'4294967295'", "outside"}},
        {"float FLAC", args(input, folder / "out.flac", {"--bits", "float"}), {"out.flac", "float"}},
        {"output is the input", args(input, folder / "." / "in.wav", {}), {"in.wav", "is the input"}},
        {"output folder missing", args(input, folder / "nowhere" / "out.wav", {}), {"cannot create", "nowhere"}},
        {"state not a property list", args(input, out, {"--state", (folder / "notes.plist").string()}),
            {"--state", "notes.plist", "property list"}},
        {"state of something else", args(input, out, {"--state", (folder / "other.plist").string()}),
            {"--state", "other.plist", "saved state"}},
        {"plug-in folder not a bundle", args(input, out, {"--plugin", (folder / "empty").string()}),
            {(folder / "empty").string(), "bundle"}},
    };
    const auto before = folder.entries();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = runProgram(c.arguments);
        EXPECT_TRUE(run.failedCleanly()) << run.describe();
        EXPECT_EQ(run.out, "") << run.describe();
        for (const auto& mention : c.mentions)
            EXPECT_NE(run.err.find(mention), std::string::npos) << "no " << mention << " in: " << run.err;
        EXPECT_EQ(folder.entries(), before) << "a failed render left something behind";
    }
    EXPECT_EQ(fileText(input), inputBytes) << "the input was changed";
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

    const auto run = runProgram(args(input, folder / "out.wav", {}), {}, program);
    EXPECT_TRUE(run.failedCleanly()) << run.describe();
    EXPECT_NE(run.err.find("OrvaneAUMac.appex"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not found"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(programFolder.string()), std::string::npos) << "where it looked: " << run.err;
    EXPECT_NE(run.err.find("--plugin"), std::string::npos) << "how to name it: " << run.err;
    EXPECT_FALSE(fs::exists(folder / "out.wav"));

    // Named explicitly, the same lone program finds it.
    const auto named = runProgram(args(input, folder / "out.wav", {"--plugin", kBundle.string(), "-q"}), {}, program);
    EXPECT_TRUE(named.succeeded()) << named.describe();
    EXPECT_TRUE(fs::is_regular_file(folder / "out.wav"));
}

} // namespace
} // namespace orvane::render
