#include "PluginTestSupport.h"

#include "tests/support/TestHost.h"

namespace orvane {
namespace {

using testhost::BufferLayout;
using testhost::ScheduledEvent;
using testhost::TestHost;
using testing::makeUnit;
using testing::noise;

/// A unit whose echo patterns are fixed, so two of them render alike.
std::shared_ptr<OrvaneAudioUnit> seededUnit(std::uint32_t seed) {
    auto unit = makeUnit();
    EXPECT_TRUE(unit->setRandomSeed(seed));
    return unit;
}

/// A unit started by a test host with its usual formats and block limit.
class RenderBlock : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.start()); }
    std::shared_ptr<OrvaneAudioUnit> unit = makeUnit();
    TestHost host{unit};
};

TEST_F(RenderBlock, WithoutAPullBlockReportsNoConnectionAndAFailingPullIsReturnedWithItsEventsNotApplied) {
    const auto input = noise(1024, 1);
    const auto unpulled = host.render(input, input, {.withPullBlock = false, .prefill = 7.0f});
    for (auto status : unpulled.statuses) EXPECT_EQ(status, platform::kAudioUnitErr_NoConnection);
    EXPECT_EQ(unpulled.left, std::vector<float>(1024, 7.0f));

    const float premix = unit->dspKernel->premix;
    const auto failed = host.render(input, input, {.pullStatus = -50, .events = {ScheduledEvent{0, 0, 0.9f}}});
    EXPECT_EQ(failed.statuses, (std::vector<platform::OSStatus>{-50, -50}));
    EXPECT_EQ(unit->dspKernel->premix.load(), premix);
}

TEST_F(RenderBlock, ParameterEventsApplyFromTheStartOfTheirBlock) {
    const float granularity = unit->dspKernel->granularity;
    const auto input = noise(512, 3);
    const auto out = host.render(input, input, {.events = {
        ScheduledEvent{0, 0, 0.2f},
        ScheduledEvent{0, 0, 2.5f, platform::AURenderEventParameter, 100}, // a later write wins, unclamped
        ScheduledEvent{0, 6, 0.7f},                                        // no such parameter
        ScheduledEvent{0, 1, 0.9f, platform::AURenderEventParameterRamp, 0, 64},
        ScheduledEvent{0, 5, -0.5f},
    }});
    EXPECT_TRUE(out.allSucceeded());
    EXPECT_EQ(unit->dspKernel->premix.load(), 2.5f);
    EXPECT_EQ(unit->dspKernel->granularity.load(), granularity);
    EXPECT_EQ(unit->dspKernel->gravitas.load(), -0.5f);
    // The tree reports the kernel's value, even though no tree write happened.
    EXPECT_EQ(unit->parameterTree()->parameterWithAddress(0)->value(), 2.5f);
}

TEST(RenderBlockPairs, SeedsMakeRendersReproducibleInSeparateAndInterleavedBuffersAlike) {
    // With reverberation, so that the echo patterns the seeds draw are heard.
    auto a = seededUnit(7), b = seededUnit(7), c = seededUnit(8);
    const auto left = noise(30000, 4), right = noise(30000, 5);
    std::vector<testhost::RenderResult> outputs;
    for (auto& unit : {a, b, c}) {
        unit->parameterTree()->parameterWithAddress(5)->setValue(0.7f);
        TestHost host(unit);
        EXPECT_TRUE(host.start());
        outputs.push_back(host.render(left, right, {.layout = unit == b ? BufferLayout::interleaved : BufferLayout::separate}));
        EXPECT_TRUE(outputs.back().allSucceeded());
    }
    EXPECT_EQ(outputs[0].left, outputs[1].left);
    EXPECT_EQ(outputs[0].right, outputs[1].right);
    EXPECT_NE(outputs[0].left, left) << "it did process";
    EXPECT_NE(outputs[0].left, outputs[2].left) << "another seed, another echo pattern";
    // Neither generator may start at 0.
    EXPECT_FALSE(a->setRandomSeed(0));
    EXPECT_FALSE(a->setRandomSeed(4294967295u));
    EXPECT_TRUE(a->setRandomSeed(4294967294u));
    EXPECT_EQ(a->dspKernel->velvetEchoes.rngR, 4294967295u);
}

TEST_F(RenderBlock, MonoBuffersEmptyListsAndMissingDataPassThroughWithSuccess) {
    const auto input = noise(2048, 6);
    const auto mono = host.render(input, input, {.layout = BufferLayout::mono});
    EXPECT_TRUE(mono.allSucceeded());
    EXPECT_EQ(mono.left, input);

    auto block = unit->internalRenderBlock();
    platform::AURenderPullInputBlock pull = [](auto*, auto*, auto, auto, auto*) { return platform::noErr; };
    platform::AudioTimeStamp stamp{};
    platform::AudioUnitRenderActionFlags flags = 0;
    platform::AudioBufferListStorage none(1);
    none->mNumberBuffers = 0;
    EXPECT_EQ(block(&flags, &stamp, 64, 0, none.get(), nullptr, &pull), platform::noErr);

    // A pull that leaves a data pointer absent: nothing is processed.
    platform::AudioBufferListStorage missing(2);
    std::vector<float> left(64, 0.25f);
    missing->mNumberBuffers = 2;
    missing.buffer(0) = {1, 64 * sizeof(float), left.data()};
    missing.buffer(1) = {1, 64 * sizeof(float), nullptr};
    EXPECT_EQ(block(&flags, &stamp, 64, 0, missing.get(), nullptr, &pull), platform::noErr);
    EXPECT_EQ(left, std::vector<float>(64, 0.25f));
}

TEST_F(RenderBlock, FramesBeyondTheMaximumComeOutDry) {
    ASSERT_TRUE(host.start({.maximumFramesToRender = 256}));
    const auto input = noise(2048, 7);
    const auto out = host.render(input, input, {.blockSize = 512});
    for (std::size_t block = 0; block < 4; ++block) {
        for (std::size_t j = 256; j < 512; ++j) ASSERT_EQ(out.left[block * 512 + j], input[block * 512 + j]) << block * 512 + j;
        EXPECT_NE(out.left[block * 512 + 100], input[block * 512 + 100]);
    }
}

TEST(RenderBlockLifetime, ABlockOutlivingItsUnitStaysValid) {
    platform::AUInternalRenderBlock block;
    {
        auto unit = makeUnit();
        TestHost host(unit);
        ASSERT_TRUE(host.start());
        block = unit->internalRenderBlock();
    }
    std::vector<float> left(128, 0.1f), right(128, 0.1f);
    platform::AudioBufferListStorage list(2);
    list->mNumberBuffers = 2;
    list.buffer(0) = {1, 128 * sizeof(float), left.data()};
    list.buffer(1) = {1, 128 * sizeof(float), right.data()};
    platform::AURenderPullInputBlock pull = [](auto*, auto*, auto, auto, auto*) { return platform::noErr; };
    platform::AudioTimeStamp stamp{};
    EXPECT_EQ(block(nullptr, &stamp, 128, 0, list.get(), nullptr, &pull), platform::noErr);
}

TEST(RenderResources, SizeTheKernelForTheHostsFormatAndPushParameters) {
    auto unit = makeUnit();
    ASSERT_TRUE(unit->setMaximumFramesToRender(1024));
    auto format = platform::AVAudioFormat::standardFormat(48000.0, 2);
    ASSERT_TRUE(unit->inputBusses()->at(0)->setFormat(format));
    int notifications = 0;
    unit->addObserverForKey("tailTime", [&](auto, auto) { ++notifications; });
    ASSERT_TRUE(unit->allocateRenderResources());
    EXPECT_EQ(unit->outputBusses()->at(0)->format(), format); // the output takes the input's format
    EXPECT_EQ(unit->dspKernel->maxFrames, 1024);
    EXPECT_EQ(unit->dspKernel->sampleRate, 48000.0);
    EXPECT_EQ(notifications, 12); // one pair per parameter
    unit->deallocateRenderResources();
}

TEST(RenderResources, AFailedAllocationLeavesTheKernelAsItWas) {
    auto unit = makeUnit();
    ASSERT_TRUE(unit->allocateRenderResources());
    const auto frames = unit->dspKernel->maxFrames;
    unit->deallocateRenderResources();
    (void)unit->setMaximumFramesToRender(0);
    platform::Error error;
    EXPECT_FALSE(unit->allocateRenderResourcesAndReturnError(&error));
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(unit->dspKernel->maxFrames, frames);
}

TEST(RenderResources, MoreFramesThanMemoryHoldsFailCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers abort on huge allocations instead of failing them";
#endif
    auto unit = makeUnit();
    ASSERT_TRUE(unit->setMaximumFramesToRender(0xFFFFFFFFu)); // 96 GB of scratch areas
    auto allocated = unit->allocateRenderResources();
    ASSERT_FALSE(allocated);
    EXPECT_NE(allocated.error().message.find("memory"), std::string::npos);
    EXPECT_FALSE(unit->renderResourcesAllocated());
    const auto input = noise(512, 13);
    TestHost host(unit);
    EXPECT_EQ(host.render(input, input).left, input);
}

TEST(RenderResources, HostPropertiesAndBypass) {
    auto unit = makeUnit();
    EXPECT_EQ(unit->latency(), 0.0);
    EXPECT_EQ(unit->channelCapabilities(), (std::vector<int>{2, 2}));
    // One stereo bus each way at 44100 Hz, sharing one format object.
    ASSERT_EQ(unit->inputBusses()->count(), 1u);
    EXPECT_EQ(unit->inputBusses()->at(0)->format(), unit->outputBusses()->at(0)->format());
    EXPECT_EQ(*unit->inputBusses()->at(0)->format(), *platform::AVAudioFormat::standardFormat(44100.0, 2));
    unit->parameterTree()->parameterWithAddress(0)->setValue(0.0f);
    unit->parameterTree()->parameterWithAddress(4)->setValue(1.0f);
    EXPECT_EQ(unit->tailTime(), 0.11999999731779099) << "premix 0, nausea 1: the output wander's reach";
    unit->setShouldBypassEffect(true);
    EXPECT_TRUE(unit->dspKernel->bypass.load());
    EXPECT_TRUE(unit->shouldBypassEffect());
}

} // namespace
} // namespace orvane
