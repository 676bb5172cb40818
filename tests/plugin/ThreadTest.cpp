#include "PluginTestSupport.h"

#include "tests/support/TestHost.h"

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
    testhost::TestHost host(unit);
    ASSERT_TRUE(host.start({.maximumFramesToRender = 256}));
    auto tree = unit->parameterTree();
    const auto presets = unit->factoryPresets();
    const auto saved = *unit->fullState();

    std::atomic<bool> done{false};
    std::atomic<int> badSamples{0};
    std::thread render([&] {
        std::vector<float> signal(256);
        for (std::size_t j = 0; j < signal.size(); ++j) signal[j] = 0.3f * std::sin(0.05f * float(j));
        for (int call = 0; call < 400; ++call) {
            const auto out = host.render(signal, signal, {.blockSize = 256, .events = {{0, 4, float(call % 10) * 0.1f}}});
            for (float v : out.left) badSamples += !std::isfinite(v);
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
}

} // namespace
} // namespace orvane
