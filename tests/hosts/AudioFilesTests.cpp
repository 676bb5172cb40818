#include "hosts/render/AudioInput.h"
#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/RenderError.h"
#include "tests/hosts/RenderTestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

namespace orvane::render {
namespace {

using testing::interleave;
using testing::readSoundFile;
using testing::readSoundFileAsInts;
using testing::sine;
using testing::TempFolder;
using testing::writeSoundFile;

constexpr int kRate = 44100;

std::int64_t codeOf(ErrorCode code)
{
    return static_cast<std::int64_t>(code);
}

std::string fileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void expectClose(
    const std::vector<float>& expected, const std::vector<float>& actual, float tolerance, const char* what)
{
    ASSERT_EQ(expected.size(), actual.size()) << what;
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_NEAR(expected[i], actual[i], tolerance) << what << " at sample " << i;
}

// ---------------------------------------------------------------- reading

struct InputCase {
    const char* name;
    const char* fileName;
    int format;
    float tolerance;
};

class ReadsEveryFormat : public ::testing::TestWithParam<InputCase> { };

TEST_P(ReadsEveryFormat, GivesPlanarStereoWithTheFilesRateAndLength)
{
    const auto& param = GetParam();
    TempFolder folder;
    // Longer than one read chunk, so chunks must join in order.
    const auto left = sine(5001, 0.5, 440.0, kRate);
    const auto right = sine(5001, -0.25, 660.0, kRate);
    const auto path = folder / param.fileName;
    writeSoundFile(path, param.format, 2, kRate, interleave(left, right));

    auto input = readAudioFile(path);
    ASSERT_TRUE(input) << input.error().message;
    EXPECT_EQ(input->sampleRate, kRate);
    EXPECT_EQ(input->frames, 5001);
    EXPECT_EQ(input->fileChannels, 2);
    EXPECT_FALSE(input->formatName.empty());
    if (param.tolerance > 0.0f) {
        expectClose(left, input->left, param.tolerance, "left");
        expectClose(right, input->right, param.tolerance, "right");
    } else {
        // Lossy: compare energy instead of samples.
        double errorEnergy = 0.0;
        double signalEnergy = 0.0;
        for (std::size_t i = 500; i + 500 < left.size(); ++i) {
            errorEnergy +=
                std::pow(left[i] - input->left[i], 2.0) + std::pow(right[i] - input->right[i], 2.0);
            signalEnergy += std::pow(left[i], 2.0) + std::pow(right[i], 2.0);
        }
        EXPECT_LT(errorEnergy / signalEnergy, 0.01) << "decoded Ogg strays too far from its source";
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReadsEveryFormat,
    ::testing::Values(InputCase{"Wav16", "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1.0f / 16384},
        InputCase{"Wav24", "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1.0f / 4194304},
        InputCase{"WavFloat", "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1e-9f},
        InputCase{"Aiff16", "in.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1.0f / 16384},
        InputCase{"AiffFloat", "in.aif", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 1e-9f},
        InputCase{"Flac16", "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0f / 16384},
        InputCase{"Flac24", "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1.0f / 4194304},
        InputCase{"OggVorbis", "in.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.0f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadAudioFile, MonoIsSentToBothChannelsAndOtherRatesAreKept)
{
    TempFolder folder;
    const auto mono = sine(1234, 0.7, 100.0, 48000);
    for (const int rate : {22050, 48000, 96000}) {
        const auto path = folder / ("mono-" + std::to_string(rate) + ".wav");
        writeSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, rate, mono);
        auto input = readAudioFile(path);
        ASSERT_TRUE(input) << input.error().message;
        EXPECT_EQ(input->sampleRate, rate);
        EXPECT_EQ(input->fileChannels, 1);
        ASSERT_EQ(input->frames, 1234);
        for (std::size_t i = 0; i < mono.size(); ++i) {
            ASSERT_EQ(input->left[i], mono[i]) << "left at " << i;
            ASSERT_EQ(input->right[i], mono[i]) << "right at " << i;
        }
    }
}

TEST(ReadAudioFile, AnEmptyAudioFileIsZeroFrames)
{
    TempFolder folder;
    writeSoundFile(folder / "empty.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, kRate, {});
    auto input = readAudioFile(folder / "empty.wav");
    ASSERT_TRUE(input) << input.error().message;
    EXPECT_EQ(input->frames, 0);
    EXPECT_TRUE(input->left.empty());
    EXPECT_TRUE(input->right.empty());
    EXPECT_EQ(input->sampleRate, kRate);
}

TEST(ReadAudioFile, ErrorsNameTheFileAndTheReason)
{
    TempFolder folder;
    const auto missing = folder / "missing.wav";
    auto result = readAudioFile(missing);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().domain, kErrorDomain);
    EXPECT_EQ(result.error().code, codeOf(ErrorCode::FileMissing));
    EXPECT_NE(result.error().message.find(missing.string()), std::string::npos) << result.error().message;
    EXPECT_NE(result.error().message.find("no such file"), std::string::npos) << result.error().message;

    result = readAudioFile(folder.path());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, codeOf(ErrorCode::NotARegularFile));
    EXPECT_NE(result.error().message.find("folder"), std::string::npos) << result.error().message;

    const auto text = folder / "notes.wav";
    std::ofstream(text) << "These are not samples, just a few words that look nothing like a header.\n";
    result = readAudioFile(text);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, codeOf(ErrorCode::NotAudio));
    EXPECT_NE(result.error().message.find(text.string()), std::string::npos) << result.error().message;
    // libsndfile's own reason is passed on.
    EXPECT_NE(result.error().message.find("Format not recognised"), std::string::npos)
        << result.error().message;

    const auto zeroBytes = folder / "zero.flac";
    std::ofstream{zeroBytes};
    result = readAudioFile(zeroBytes);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, codeOf(ErrorCode::NotAudio));

    const auto surround = folder / "three.wav";
    writeSoundFile(surround, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 3, kRate, std::vector<float>(30, 0.1f));
    result = readAudioFile(surround);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, codeOf(ErrorCode::TooManyChannels));
    EXPECT_NE(result.error().message.find("3 channels"), std::string::npos) << result.error().message;
    EXPECT_NE(result.error().message.find(surround.string()), std::string::npos) << result.error().message;
}

// ---------------------------------------------------------- output format

TEST(OutputFormat, FollowsTheExtensionWithEachTypesDefaultEncoding)
{
    using enum SampleEncoding;
    const std::optional<SampleEncoding> none;
    EXPECT_EQ(outputFormatFor("a.wav", none).value(), (OutputFormat{FileType::Wav, Float32}));
    EXPECT_EQ(outputFormatFor("A.WAV", none).value(), (OutputFormat{FileType::Wav, Float32}));
    EXPECT_EQ(outputFormatFor("a.aiff", none).value(), (OutputFormat{FileType::Aiff, Float32}));
    EXPECT_EQ(outputFormatFor("a.aif", Pcm16).value(), (OutputFormat{FileType::Aiff, Pcm16}));
    EXPECT_EQ(outputFormatFor("a.flac", none).value(), (OutputFormat{FileType::Flac, Pcm24}));
    EXPECT_EQ(outputFormatFor("a.Flac", Pcm16).value(), (OutputFormat{FileType::Flac, Pcm16}));
    EXPECT_EQ(outputFormatFor("dir.flac/a.wav", Pcm24).value(), (OutputFormat{FileType::Wav, Pcm24}));

    auto floatFlac = outputFormatFor("x.flac", Float32);
    ASSERT_FALSE(floatFlac);
    EXPECT_EQ(floatFlac.error().code, codeOf(ErrorCode::SampleFormatNotAllowed));
    EXPECT_NE(floatFlac.error().message.find("float"), std::string::npos) << floatFlac.error().message;

    auto mp3 = outputFormatFor("x.mp3", none);
    ASSERT_FALSE(mp3);
    EXPECT_EQ(mp3.error().code, codeOf(ErrorCode::UnsupportedOutputType));
    EXPECT_NE(mp3.error().message.find("'.mp3'"), std::string::npos) << mp3.error().message;

    auto bare = outputFormatFor("out", none);
    ASSERT_FALSE(bare);
    EXPECT_NE(bare.error().message.find("no extension"), std::string::npos) << bare.error().message;
}

TEST(OutputFormat, DefaultOutputSitsBesideTheInput)
{
    EXPECT_EQ(defaultOutputPath("/music/take 3.flac"), std::filesystem::path("/music/take 3-orvane.wav"));
    EXPECT_EQ(defaultOutputPath("song.wav"), std::filesystem::path("song-orvane.wav"));
    EXPECT_EQ(defaultOutputPath("a/b.c.aiff"), std::filesystem::path("a/b.c-orvane.wav"));
}

// ------------------------------------------------------ never the input

TEST(NeverOverwritesTheInput, HoweverTheOutputIsSpelt)
{
    TempFolder folder;
    const auto input = folder / "in.wav";
    writeSoundFile(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, kRate, std::vector<float>(200, 0.25f));
    const std::string before = fileBytes(input);
    std::filesystem::create_directory(folder / "sub");
    std::filesystem::create_hard_link(input, folder / "hard.wav");
    std::filesystem::create_symlink(input, folder / "soft.wav");

    const std::vector<std::filesystem::path> spellings = {
        input,
        folder.path() / "." / "in.wav",
        folder.path() / "sub" / ".." / "in.wav",
        folder / "hard.wav",
        folder / "soft.wav",
    };
    for (const auto& output : spellings) {
        auto plan = planOutput(input, output, std::nullopt);
        ASSERT_FALSE(plan) << output;
        EXPECT_EQ(plan.error().code, codeOf(ErrorCode::SameFileAsInput)) << output;
        EXPECT_NE(plan.error().message.find(output.string()), std::string::npos) << plan.error().message;
    }
    // Relative to the working folder, too.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path() / "sub");
    auto relative = planOutput(input, std::filesystem::path("../in.wav"), std::nullopt);
    std::filesystem::current_path(previous);
    ASSERT_FALSE(relative);
    EXPECT_EQ(relative.error().code, codeOf(ErrorCode::SameFileAsInput));

    EXPECT_EQ(fileBytes(input), before);
}

TEST(NeverOverwritesTheInput, OtherOutputsAreAccepted)
{
    TempFolder folder;
    const auto input = folder / "in.wav";
    writeSoundFile(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, kRate, std::vector<float>(200, 0.25f));
    writeSoundFile(
        folder / "other.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, kRate, std::vector<float>(200, 0.25f));

    auto fresh = planOutput(input, folder / "new.flac", SampleEncoding::Pcm16);
    ASSERT_TRUE(fresh) << fresh.error().message;
    EXPECT_EQ(fresh->path, folder / "new.flac");
    EXPECT_EQ(fresh->format, (OutputFormat{FileType::Flac, SampleEncoding::Pcm16}));

    // An identical copy is still another file.
    auto existing = planOutput(input, folder / "other.wav", std::nullopt);
    ASSERT_TRUE(existing) << existing.error().message;

    auto byDefault = planOutput(input, std::nullopt, std::nullopt);
    ASSERT_TRUE(byDefault) << byDefault.error().message;
    EXPECT_EQ(byDefault->path, folder / "in-orvane.wav");

    std::filesystem::create_directory(folder / "out.wav");
    auto intoFolder = planOutput(input, folder / "out.wav", std::nullopt);
    ASSERT_FALSE(intoFolder);
    EXPECT_EQ(intoFolder.error().code, codeOf(ErrorCode::NotARegularFile));
}

// ---------------------------------------------------------------- writing

struct OutputCase {
    const char* name;
    const char* fileName;
    OutputFormat format;
    int expectedMajor;
    int expectedSubtype;
    float tolerance;
};

class WritesEveryFormat : public ::testing::TestWithParam<OutputCase> { };

TEST_P(WritesEveryFormat, StreamedBlocksReadBackAsStereoAtTheSameRate)
{
    const auto& param = GetParam();
    TempFolder folder;
    const auto target = folder / param.fileName;
    const std::size_t frames = 20000;
    const auto left = sine(frames, 0.9, 441.0, 48000);
    const auto right = sine(frames, 0.3, 1234.0, 48000);

    auto file = AudioOutputFile::create(target, 48000, param.format);
    ASSERT_TRUE(file) << file.error().message;
    // Uneven blocks, including one larger than the internal chunk.
    std::size_t done = 0;
    for (const std::size_t block : {1u, 511u, 9000u, 7u, 10481u}) {
        auto written =
            file->write(std::span(left).subspan(done, block), std::span(right).subspan(done, block));
        ASSERT_TRUE(written) << written.error().message;
        done += block;
    }
    ASSERT_EQ(done, frames);
    EXPECT_EQ(file->framesWritten(), std::int64_t(frames));
    EXPECT_FALSE(std::filesystem::exists(target)) << "target must not appear before commit";
    auto committed = file->commit();
    ASSERT_TRUE(committed) << committed.error().message;

    EXPECT_EQ(folder.entries(), std::vector<std::string>{param.fileName}) << "temporary left behind";
    const auto sound = readSoundFile(target);
    EXPECT_EQ(sound.info.format & SF_FORMAT_TYPEMASK, param.expectedMajor);
    EXPECT_EQ(sound.info.format & SF_FORMAT_SUBMASK, param.expectedSubtype);
    EXPECT_EQ(sound.info.samplerate, 48000);
    EXPECT_EQ(sound.info.channels, 2);
    ASSERT_EQ(sound.frames(), std::int64_t(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        ASSERT_NEAR(sound.at(std::int64_t(i), 0), left[i], param.tolerance) << "left at " << i;
        ASSERT_NEAR(sound.at(std::int64_t(i), 1), right[i], param.tolerance) << "right at " << i;
    }
}

constexpr float k16BitTolerance = 1.0f / 32768 + 1e-7f;
constexpr float k24BitTolerance = 1.0f / 8388608 + 1e-8f;

INSTANTIATE_TEST_SUITE_P(Formats, WritesEveryFormat,
    ::testing::Values(OutputCase{"Wav16", "o.wav", {FileType::Wav, SampleEncoding::Pcm16}, SF_FORMAT_WAV,
                          SF_FORMAT_PCM_16, k16BitTolerance},
        OutputCase{"Wav24", "o.wav", {FileType::Wav, SampleEncoding::Pcm24}, SF_FORMAT_WAV, SF_FORMAT_PCM_24,
            k24BitTolerance},
        OutputCase{"WavFloat", "o.wav", {FileType::Wav, SampleEncoding::Float32}, SF_FORMAT_WAV,
            SF_FORMAT_FLOAT, 0.0f},
        OutputCase{"Aiff16", "o.aiff", {FileType::Aiff, SampleEncoding::Pcm16}, SF_FORMAT_AIFF,
            SF_FORMAT_PCM_16, k16BitTolerance},
        OutputCase{"Aiff24", "o.aif", {FileType::Aiff, SampleEncoding::Pcm24}, SF_FORMAT_AIFF,
            SF_FORMAT_PCM_24, k24BitTolerance},
        OutputCase{"AiffFloat", "o.aiff", {FileType::Aiff, SampleEncoding::Float32}, SF_FORMAT_AIFF,
            SF_FORMAT_FLOAT, 0.0f},
        OutputCase{"Flac16", "o.flac", {FileType::Flac, SampleEncoding::Pcm16}, SF_FORMAT_FLAC,
            SF_FORMAT_PCM_16, k16BitTolerance},
        OutputCase{"Flac24", "o.flac", {FileType::Flac, SampleEncoding::Pcm24}, SF_FORMAT_FLAC,
            SF_FORMAT_PCM_24, k24BitTolerance}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioOutputFile, FloatKeepsOversAndIntegersClipWithoutWrapping)
{
    TempFolder folder;
    const std::vector<float> left = {1.0f, 1.5f, 100.0f, 0.5f, -1.0f, -1.5f, -100.0f, -0.5f};
    const std::vector<float> right = {-1.0f, -1.5f, -100.0f, -0.5f, 1.0f, 1.5f, 100.0f, 0.5f};

    auto floatFile =
        AudioOutputFile::create(folder / "float.wav", kRate, {FileType::Wav, SampleEncoding::Float32});
    ASSERT_TRUE(floatFile) << floatFile.error().message;
    ASSERT_TRUE(floatFile->write(left, right));
    ASSERT_TRUE(floatFile->commit());
    const auto asFloat = readSoundFile(folder / "float.wav");
    ASSERT_EQ(asFloat.samples, interleave(left, right));

    for (const auto& [name, encoding, shift] :
        {std::tuple{"16.wav", SampleEncoding::Pcm16, 16}, std::tuple{"24.aiff", SampleEncoding::Pcm24, 8},
            std::tuple{"16.flac", SampleEncoding::Pcm16, 16}}) {
        auto format = outputFormatFor(name, encoding);
        ASSERT_TRUE(format);
        auto file = AudioOutputFile::create(folder / name, kRate, *format);
        ASSERT_TRUE(file) << file.error().message;
        ASSERT_TRUE(file->write(left, right));
        ASSERT_TRUE(file->commit());
        const auto stored = readSoundFileAsInts(folder / name);
        ASSERT_EQ(stored.size(), 16u) << name;
        const std::int64_t largest = (std::int64_t(1) << (31 - shift)) - 1;
        const std::int64_t smallest = -(std::int64_t(1) << (31 - shift));
        const auto sample = [&](std::size_t i) { return std::int64_t(stored[i]) >> shift; };
        const std::vector<float> source = interleave(left, right);
        for (std::size_t i = 0; i < source.size(); ++i) {
            if (source[i] >= 1.0f)
                EXPECT_EQ(sample(i), largest) << name << " sample " << i << " from " << source[i];
            else if (source[i] <= -1.0f)
                EXPECT_EQ(sample(i), smallest) << name << " sample " << i << " from " << source[i];
            else
                EXPECT_NEAR(double(sample(i)), double(source[i]) * double(largest + 1), 1.0)
                    << name << " sample " << i;
        }
    }
}

TEST(AudioOutputFile, TargetIsUntouchedUntilCommitAndReplacedAtOnce)
{
    TempFolder folder;
    const auto target = folder / "out.wav";
    std::ofstream(target) << "previous contents";
    {
        auto file = AudioOutputFile::create(target, kRate, {FileType::Wav, SampleEncoding::Pcm16});
        ASSERT_TRUE(file) << file.error().message;
        const auto temporary = file->temporaryPath();
        EXPECT_EQ(temporary.parent_path(), target.parent_path())
            << "temporary must sit in the output's folder";
        EXPECT_TRUE(std::filesystem::exists(temporary));
        ASSERT_TRUE(file->write(std::vector<float>(100, 0.1f), std::vector<float>(100, 0.2f)));
        // Dropped without commit.
    }
    EXPECT_EQ(fileBytes(target), "previous contents");
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.wav"});

    auto file = AudioOutputFile::create(target, kRate, {FileType::Wav, SampleEncoding::Pcm16});
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write(std::vector<float>(100, 0.1f), std::vector<float>(100, 0.2f)));
    ASSERT_TRUE(file->commit());
    EXPECT_TRUE(file->temporaryPath().empty());
    EXPECT_EQ(readSoundFile(target).frames(), 100);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.wav"});
    // A committed file is finished.
    EXPECT_FALSE(file->write(std::vector<float>(1), std::vector<float>(1)));
    EXPECT_FALSE(file->commit());
    EXPECT_EQ(readSoundFile(target).frames(), 100);
}

TEST(AudioOutputFile, MovingHandsOverTheOneTemporary)
{
    TempFolder folder;
    auto created = AudioOutputFile::create(folder / "m.flac", kRate, {FileType::Flac, SampleEncoding::Pcm24});
    ASSERT_TRUE(created);
    std::optional<AudioOutputFile> moved;
    {
        AudioOutputFile source = std::move(*created);
        moved.emplace(std::move(source));
    }
    ASSERT_TRUE(std::filesystem::exists(moved->temporaryPath()))
        << "the moved-from file removed the temporary";
    ASSERT_TRUE(moved->write(std::vector<float>(10, 0.5f), std::vector<float>(10, -0.5f)));
    ASSERT_TRUE(moved->commit());
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"m.flac"});
}

TEST(AudioOutputFile, CreateFailuresNameTheFolderAndLeaveNothing)
{
    TempFolder folder;
    const auto inMissing = folder / "no-such-folder" / "out.wav";
    auto missing = AudioOutputFile::create(inMissing, kRate, {FileType::Wav, SampleEncoding::Float32});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, codeOf(ErrorCode::CreateFailed));
    EXPECT_NE(missing.error().message.find((folder / "no-such-folder").string()), std::string::npos)
        << missing.error().message;

    std::ofstream(folder / "plain") << "x";
    auto underFile = AudioOutputFile::create(
        folder / "plain" / "out.wav", kRate, {FileType::Wav, SampleEncoding::Float32});
    ASSERT_FALSE(underFile);
    EXPECT_EQ(underFile.error().code, codeOf(ErrorCode::CreateFailed));
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"plain"});
}

TEST(AudioOutputFile, UnwritableFolderFailsCleanly)
{
    TempFolder folder;
    const auto locked = folder / "locked";
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(
        locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    // Root writes anywhere; only a real refusal makes this test meaningful.
    if (std::ofstream probe(locked / "probe"); probe) {
        std::filesystem::remove(locked / "probe");
        GTEST_SKIP() << "running with privileges that ignore folder permissions";
    }
    auto file = AudioOutputFile::create(locked / "out.wav", kRate, {FileType::Wav, SampleEncoding::Float32});
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().code, codeOf(ErrorCode::CreateFailed));
    EXPECT_NE(file.error().message.find("Permission denied"), std::string::npos) << file.error().message;
    EXPECT_TRUE(std::filesystem::is_empty(locked));
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
}

/// Lowers the process's file-size limit for the life of the guard, so that
/// writes fail the way they do on a full disk, for any user including root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = nullptr;
};

TEST(AudioOutputFile, AWriteFailureAbandonsTheFileAndKeepsTheTarget)
{
    TempFolder folder;
    const auto target = folder / "big.wav";
    std::ofstream(target) << "keep me";
    auto file = AudioOutputFile::create(target, kRate, {FileType::Wav, SampleEncoding::Float32});
    ASSERT_TRUE(file);
    std::expected<void, platform::Error> written;
    {
        FileSizeLimit limit(64 * 1024);
        const std::vector<float> second(kRate, 0.5f);
        written = file->write(second, second);
    }
    ASSERT_FALSE(written) << "a 350 kB write under a 64 kB limit succeeded";
    EXPECT_EQ(written.error().code, codeOf(ErrorCode::WriteFailed));
    EXPECT_NE(written.error().message.find(target.string()), std::string::npos) << written.error().message;
    EXPECT_TRUE(file->temporaryPath().empty());
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"big.wav"});

    auto committed = file->commit();
    EXPECT_FALSE(committed);
    EXPECT_EQ(fileBytes(target), "keep me");
}

TEST(AudioOutputFile, AFailedRenameRemovesTheTemporary)
{
    TempFolder folder;
    const auto target = folder / "out.wav";
    auto file = AudioOutputFile::create(target, kRate, {FileType::Wav, SampleEncoding::Pcm24});
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write(std::vector<float>(64, 0.1f), std::vector<float>(64, 0.1f)));
    // Something else takes the name meanwhile, as a folder that is not empty.
    std::filesystem::create_directories(target / "inside");
    auto committed = file->commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().code, codeOf(ErrorCode::CommitFailed));
    EXPECT_NE(committed.error().message.find(target.string()), std::string::npos)
        << committed.error().message;
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.wav"});
    EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
}

} // namespace
} // namespace orvane::render
