#include "hosts/render/AudioInput.h"
#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/RenderLoop.h"
#include "tests/hosts/RenderTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>

namespace orvane::render {
namespace {

using testing::readSoundFile;
using testing::TempFolder;

AudioInput randomInput(std::int64_t frames, double sampleRate, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    AudioInput input;
    input.sampleRate = sampleRate;
    input.frames = frames;
    input.fileChannels = 2;
    for (std::int64_t i = 0; i < frames; ++i) {
        input.left.push_back(sample(random));
        input.right.push_back(sample(random));
    }
    return input;
}

/// A stateful stand-in for the effect: a one-pole low-pass per channel whose
/// state runs across blocks, with the channels swapped, so that lost,
/// repeated or reordered frames and crossed channels all change the output.
struct SwappingLowPass {
    float left = 0.0f;
    float right = 0.0f;
    std::vector<std::size_t> blockSizes;

    void operator()(std::span<float> l, std::span<float> r)
    {
        blockSizes.push_back(l.size());
        for (std::size_t i = 0; i < l.size(); ++i) {
            left += 0.25f * (l[i] - left);
            right += 0.25f * (r[i] - right);
            l[i] = right;
            r[i] = left;
        }
    }
};

TEST(RenderBlocks, OutputIsTheSameForEveryBlockSizeAndCoversInputAndTail)
{
    TempFolder folder;
    const auto input = randomInput(5000, 44100, 7);
    const std::int64_t tail = 1234;

    // A straightforward loop over the whole signal at once.
    SwappingLowPass reference;
    AudioInput expected = input;
    expected.left.resize(input.left.size() + tail, 0.0f);
    expected.right.resize(input.right.size() + tail, 0.0f);
    reference(expected.left, expected.right);

    for (const std::uint32_t block : {1u, 7u, 64u, 512u, 4096u, 65536u}) {
        const auto target = folder / ("out-" + std::to_string(block) + ".wav");
        auto output =
            AudioOutputFile::create(target, input.sampleRate, {FileType::Wav, SampleEncoding::Float32});
        ASSERT_TRUE(output) << output.error().message;
        SwappingLowPass effect;
        auto levels = renderBlocks(input, tail, block, std::ref(effect), *output);
        ASSERT_TRUE(levels) << levels.error().message;
        ASSERT_TRUE(output->commit());

        for (const std::size_t size : effect.blockSizes)
            ASSERT_LE(size, block) << "a render call exceeded the block size";
        EXPECT_EQ(levels->input.frames(), 5000);
        EXPECT_EQ(levels->output.frames(), 5000 + tail);

        const auto sound = readSoundFile(target);
        ASSERT_EQ(sound.frames(), 5000 + tail) << "block " << block;
        for (std::int64_t i = 0; i < sound.frames(); ++i) {
            ASSERT_EQ(sound.at(i, 0), expected.left[std::size_t(i)]) << "block " << block << " left at " << i;
            ASSERT_EQ(sound.at(i, 1), expected.right[std::size_t(i)])
                << "block " << block << " right at " << i;
        }
        SignalStats written;
        written.add(expected.left, expected.right);
        EXPECT_EQ(levels->output.peak(), written.peak()) << "block " << block;
    }
}

TEST(RenderBlocks, TailIsSilenceFedToTheEffectAndEmptyInputsStillRenderIt)
{
    TempFolder folder;
    AudioInput empty;
    empty.sampleRate = 48000;
    auto output =
        AudioOutputFile::create(folder / "tail.flac", 48000, {FileType::Flac, SampleEncoding::Pcm16});
    ASSERT_TRUE(output);
    std::int64_t nonZeroIn = 0;
    auto levels = renderBlocks(
        empty, 1000, 300,
        [&](std::span<float> l, std::span<float> r) {
            for (std::size_t i = 0; i < l.size(); ++i) {
                nonZeroIn += (l[i] != 0.0f) + (r[i] != 0.0f);
                l[i] = 0.5f;
                r[i] = -0.5f;
            }
        },
        *output);
    ASSERT_TRUE(levels) << levels.error().message;
    ASSERT_TRUE(output->commit());
    EXPECT_EQ(nonZeroIn, 0) << "the tail must feed silence";
    EXPECT_EQ(levels->input.peakDbfs(), -std::numeric_limits<double>::infinity());
    EXPECT_NEAR(levels->output.peakDbfs(), -6.0206, 1e-3);
    EXPECT_EQ(readSoundFile(folder / "tail.flac").frames(), 1000);
}

TEST(RenderBlocks, ProgressReachesTheEndAndIsErased)
{
    TempFolder folder;
    const auto input = randomInput(1000, 8000, 3);
    auto output = AudioOutputFile::create(folder / "p.wav", 8000, {FileType::Wav, SampleEncoding::Pcm24});
    ASSERT_TRUE(output);
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    {
        ProgressBar bar(stream, true, 1500, 8000);
        ASSERT_TRUE(renderBlocks(
            input, 500, 256, [](std::span<float>, std::span<float>) {}, *output, &bar));
    }
    std::fclose(stream);
    const std::string text(buffer, size);
    std::free(buffer);
    EXPECT_NE(text.find("100%"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.rfind('\r', text.size() - 2)).find_first_not_of(" \r"), std::string::npos)
        << "the bar must end erased: " << text;
}

TEST(RenderBlocks, AWriteErrorStopsTheLoop)
{
    TempFolder folder;
    const auto input = randomInput(100, 8000, 5);
    auto output = AudioOutputFile::create(folder / "x.wav", 8000, {FileType::Wav, SampleEncoding::Float32});
    ASSERT_TRUE(output);
    // A committed file takes no more samples.
    ASSERT_TRUE(output->commit());
    int calls = 0;
    auto levels = renderBlocks(
        input, 0, 10, [&](std::span<float>, std::span<float>) { ++calls; }, *output);
    ASSERT_FALSE(levels);
    EXPECT_EQ(calls, 1) << "rendering went on after the output failed";
}

TEST(TailFrames, ChoosesRequestedOrUnitTailRoundedUp)
{
    EXPECT_EQ(tailFrameCount(2.0, 99.0, 48000), 96000);
    EXPECT_EQ(tailFrameCount(0.0, 99.0, 48000), 0);
    EXPECT_EQ(tailFrameCount(1.0 / 48000 * 1.5, 0.0, 48000), 2);
    EXPECT_EQ(tailFrameCount(std::nullopt, 0.5, 44100), 22050);
    EXPECT_EQ(tailFrameCount(std::nullopt, 0.0, 44100), 0);
    EXPECT_EQ(tailFrameCount(std::nullopt, -1.0, 44100), 0);
    EXPECT_EQ(tailFrameCount(std::nullopt, std::numeric_limits<double>::infinity(), 1000),
        std::int64_t(kMaxAutoTailSeconds * 1000));
    EXPECT_EQ(tailFrameCount(std::nullopt, std::numeric_limits<double>::quiet_NaN(), 1000), 0);
}

} // namespace
} // namespace orvane::render
