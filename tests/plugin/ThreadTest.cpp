#include "PluginTestSupport.h"

#include <atomic>
#include <cmath>
#include <thread>

namespace orvane {
namespace {

using testing::makeUnit;

// One thread renders as a host's render thread does while two others write
// parameters, select presets and restore state, as hosts and editors do.
TEST(PluginThreads, RenderingWhileParametersPresetsAndStateChange) {
    auto unit = makeUnit();
    ASSERT_TRUE(unit->setMaximumFramesToRender(256));
    ASSERT_TRUE(unit->allocateRenderResources());
    auto block = unit->internalRenderBlock();
    auto tree = unit->parameterTree();
    const auto presets = unit->factoryPresets();
    const auto saved = *unit->fullState();

    std::atomic<bool> done{false};
    std::atomic<int> badSamples{0};
    std::thread render([&] {
        std::vector<float> left(256), right(256);
        platform::AudioBufferListStorage list(2);
        list->mNumberBuffers = 2;
        platform::AURenderPullInputBlock pull = [&](auto*, auto*, platform::AUAudioFrameCount frames, auto,
                                                    platform::AudioBufferList*) {
            for (std::size_t j = 0; j < frames; ++j) left[j] = right[j] = 0.3f * std::sin(0.05f * float(j));
            return platform::noErr;
        };
        platform::AUParameterEvent event{nullptr, 0, platform::AURenderEventParameter, {}, 0, 4, 0.3f};
        platform::AudioTimeStamp stamp{};
        for (int call = 0; call < 400; ++call) {
            list.buffer(0) = {1, 256 * sizeof(float), left.data()};
            list.buffer(1) = {1, 256 * sizeof(float), right.data()};
            event.value = float(call % 10) * 0.1f;
            block(nullptr, &stamp, 256, 0, list.get(), reinterpret_cast<platform::AURenderEvent*>(&event), &pull);
            for (float v : left) badSamples += !std::isfinite(v);
            stamp.mSampleTime += 256;
        }
        done = true;
    });
    std::thread writer([&] {
        for (int i = 0; !done; ++i) {
            tree->parameterWithAddress(static_cast<platform::AUParameterAddress>(i % 6))->setValue(float(i % 7) / 6.0f);
            unit->setShouldBypassEffect(i % 50 == 0);
            (void)unit->tailTime();
        }
    });
    std::thread presenter([&] {
        for (int i = 0; !done; ++i) {
            if (i % 2) unit->setCurrentPreset(presets[static_cast<std::size_t>(i) % presets.size()]);
            else unit->setFullState(saved);
            (void)unit->fullState();
        }
    });
    render.join();
    writer.join();
    presenter.join();
    EXPECT_EQ(badSamples.load(), 0);
    unit->deallocateRenderResources();
}

} // namespace
} // namespace orvane
