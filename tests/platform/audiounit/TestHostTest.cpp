#include "tests/platform/audiounit/TestUnits.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace platform;
using audiounit_test::GainUnit;
using audiounit_test::PlainUnit;
using testhost::BufferLayout;
using testhost::RenderOptions;
using testhost::TestHost;

namespace {

std::vector<float> noise(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> signal(frames);
    for (auto& s : signal) s = uniform(random);
    return signal;
}

// Not a multiple of any block size used here, so the last block is short.
constexpr std::size_t kFrames = 10007;

void expectSamples(const std::vector<float>& actual, const std::vector<float>& expected,
                   const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t i = 0; i < actual.size(); ++i)
        ASSERT_EQ(actual[i], expected[i]) << what << " differs at sample " << i;
}

std::vector<float> scaled(const std::vector<float>& signal, float gain) {
    std::vector<float> out(signal);
    for (auto& s : out) s *= gain;
    return out;
}

} // namespace

TEST(TestHost, StartMakesTheHostCallsInOrderAndStopReleases) {
    auto unit = GainUnit::create().value();
    {
        TestHost host(unit);
        ASSERT_TRUE(host.start({48000.0, 2, 1024}));
        const auto& seen = host.inspection();
        EXPECT_EQ(seen.inputBusCount, 1u);
        EXPECT_EQ(seen.outputBusCount, 1u);
        EXPECT_EQ(seen.parameterTree, unit->parameterTree());
        EXPECT_EQ(seen.channelCapabilities, (std::vector<int>{2, 2}));
        EXPECT_EQ((*unit->inputBusses())[0]->format()->sampleRate(), 48000.0);
        EXPECT_EQ((*unit->outputBusses())[0]->format()->channelCount(), 2u);
        EXPECT_EQ(unit->maximumFramesToRender(), 1024u);
        EXPECT_TRUE(unit->renderResourcesAllocated());
        host.stop();
        EXPECT_FALSE(unit->renderResourcesAllocated());
        ASSERT_TRUE(host.start({96000.0, 2, 64}));
        ASSERT_TRUE(host.start()) << "a restart releases the formats first";
        EXPECT_EQ((*unit->outputBusses())[0]->format()->sampleRate(), 44100.0);
    }
    EXPECT_FALSE(unit->renderResourcesAllocated()) << "the host deallocates what it allocated";

    TestHost refused(unit);
    auto failed = refused.start({44100.0, 9, 512});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(unit->renderResourcesAllocated());
}

TEST(TestHost, GainRendersIdenticallyInAnyBlockSizeAndLayout) {
    const auto left = noise(kFrames, 11), right = noise(kFrames, 12);
    auto unit = GainUnit::create().value();
    unit->parameterTree()->parameterWithAddress(0)->setValue(0.75f);
    TestHost host(unit);
    ASSERT_TRUE(host.start());
    const auto expectedLeft = scaled(left, 0.75f), expectedRight = scaled(right, 0.75f);

    for (AUAudioFrameCount block : {1u, 7u, 64u, 4096u}) {
        for (BufferLayout layout : {BufferLayout::separate, BufferLayout::interleaved}) {
            SCOPED_TRACE(testing::Message() << "block " << block << " layout "
                                            << static_cast<int>(layout));
            RenderOptions options;
            options.blockSize = block;
            options.layout = layout;
            auto out = host.render(left, right, options);
            const std::size_t calls = (kFrames + block - 1) / block;
            EXPECT_EQ(out.statuses.size(), calls);
            EXPECT_TRUE(out.allSucceeded());
            EXPECT_EQ(out.pullCount, calls);
            expectSamples(out.left, expectedLeft, "left");
            expectSamples(out.right, expectedRight, "right");
        }
    }
}

TEST(TestHost, BaseUnitPassesInputThroughAndMonoCarriesTheLeftChannel) {
    const auto left = noise(kFrames, 21), right = noise(kFrames, 22);
    TestHost host(PlainUnit::create().value());
    ASSERT_TRUE(host.start());
    auto out = host.render(left, right, {.blockSize = 300});
    EXPECT_TRUE(out.allSucceeded());
    expectSamples(out.left, left, "left");
    expectSamples(out.right, right, "right");

    auto mono = host.render(left, right, {.blockSize = 300, .layout = BufferLayout::mono});
    expectSamples(mono.left, left, "mono");
    EXPECT_TRUE(mono.right.empty());
}

TEST(TestHost, EventsArriveInTheirBlockInOrderWithAbsoluteTimes) {
    const auto left = noise(1000, 31), right = noise(1000, 32);
    auto unit = GainUnit::create().value();
    TestHost host(unit);
    ASSERT_TRUE(host.start());
    // Sample time runs on from an earlier pass.
    host.render(left, right, {.blockSize = 100});

    RenderOptions options;
    options.blockSize = 64;
    options.events = {
        {.blockIndex = 5, .address = 0, .value = 2.0f},
        {.blockIndex = 3, .address = 0, .value = 3.0f, .offsetInBlock = 10},
        {.blockIndex = 3, .address = 0, .value = 0.5f, .offsetInBlock = 20},
        {.blockIndex = 3, .address = 0, .value = 9.0f, .type = AURenderEventParameterRamp,
         .rampDurationSampleFrames = 32},
        {.blockIndex = 4, .type = AURenderEventMIDI},
    };
    auto out = host.render(left, right, options);
    EXPECT_TRUE(out.allSucceeded());
    for (std::size_t i = 0; i < left.size(); ++i) {
        const float gain = i < 3 * 64 ? 1.0f : i < 5 * 64 ? 0.5f : 2.0f;
        ASSERT_EQ(out.left[i], left[i] * gain) << "sample " << i;
        ASSERT_EQ(out.right[i], right[i] * gain) << "sample " << i;
    }

    const auto& seen = unit->seenEvents();
    ASSERT_EQ(seen.size(), 5u);
    const AUEventSampleTime start = 1000;
    EXPECT_EQ(seen[0].time, start + 3 * 64 + 10);
    EXPECT_EQ(seen[0].value, 3.0f);
    EXPECT_EQ(seen[1].time, start + 3 * 64 + 20);
    EXPECT_EQ(seen[1].value, 0.5f);
    EXPECT_EQ(seen[2].type, AURenderEventParameterRamp);
    EXPECT_EQ(seen[3].type, AURenderEventMIDI);
    EXPECT_EQ(seen[3].time, start + 4 * 64);
    EXPECT_EQ(seen[4].value, 2.0f);
    EXPECT_EQ(seen[4].time, start + 5 * 64);
}

TEST(TestHost, MissingPullBlockFailedPullAndAbsentOutputBuffers) {
    const auto left = noise(500, 41), right = noise(500, 42);
    auto unit = GainUnit::create().value();
    unit->parameterTree()->parameterWithAddress(0)->setValue(2.0f);
    TestHost host(unit);
    ASSERT_TRUE(host.start());

    auto noPull = host.render(left, right,
                              {.blockSize = 128, .withPullBlock = false, .prefill = 7.0f});
    EXPECT_EQ(noPull.statuses, std::vector<OSStatus>(4, kAudioUnitErr_NoConnection));
    EXPECT_EQ(noPull.pullCount, 0u);
    expectSamples(noPull.left, std::vector<float>(500, 7.0f), "untouched left");

    auto failedPull = host.render(left, right, {.blockSize = 128, .prefill = 7.0f,
                                                .pullStatus = kAudioUnitErr_InvalidParameter});
    EXPECT_EQ(failedPull.statuses, std::vector<OSStatus>(4, kAudioUnitErr_InvalidParameter));
    expectSamples(failedPull.right, std::vector<float>(500, 7.0f), "untouched right");

    for (BufferLayout layout : {BufferLayout::separate, BufferLayout::interleaved}) {
        SCOPED_TRACE(static_cast<int>(layout));
        auto supplied = host.render(
            left, right, {.blockSize = 128, .layout = layout, .nullOutputData = true});
        EXPECT_TRUE(supplied.allSucceeded());
        expectSamples(supplied.left, scaled(left, 2.0f), "left from pull buffers");
        expectSamples(supplied.right, scaled(right, 2.0f), "right from pull buffers");
    }
}
