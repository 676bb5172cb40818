// The staged OrvaneAUMac bundle, loaded the way a host loads it: through the
// information dictionary and the module's one entry point, never by linking
// the plug-in's code.

#include "platform/audiounit/AUExtensionEntryPoint.h"
#include "platform/audiounit/AUPlugInBundle.h"
#include "tests/support/Signals.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

using namespace platform;

TEST(OrvaneAUMacBundle, TheModuleExportsTheEntryPointAlone) {
    const std::string command = std::string("'") + ORVANE_NM + "' -D --defined-only --format=just-symbols '" +
                                ORVANE_PLUGIN_MODULE_FILE + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr) << command;
    char buffer[4096];
    const std::string exported(buffer, std::fread(buffer, 1, sizeof buffer, pipe));
    ASSERT_EQ(::pclose(pipe), 0) << command;
    EXPECT_EQ(exported, std::string(kAUExtensionEntryPointName) + "\n");
}

TEST(OrvaneAUMacBundle, ALoadedUnitRendersThroughTheHostAndPassesThroughWhenBypassed) {
    const AudioComponentDescription orvane{fourCharCode("aufx"), fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0};
    auto loaded = AUPlugInBundle::load(ORVANE_PLUGIN_BUNDLE_DIR, orvane);
    ASSERT_TRUE(loaded) << loaded.error().message;
    auto unit = loaded->principal->createAudioUnit(loaded->component.description);
    ASSERT_TRUE(unit) << unit.error().message;
    testhost::TestHost host(*unit);
    ASSERT_TRUE(host.start({48000.0, 2, 512}));

    const auto left = testsignals::noise(9000, 3, 0.5f), right = testsignals::noise(9000, 4, 0.5f);
    const auto wet = host.render(left, right, {.blockSize = 500});
    ASSERT_TRUE(wet.allSucceeded());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_TRUE(std::isfinite(wet.left[i]) && std::isfinite(wet.right[i])) << "sample " << i;
        changed += wet.left[i] != left[i];
    }
    EXPECT_GT(changed, left.size() / 2) << "the effect changes the signal";

    host.reset();
    (*unit)->setShouldBypassEffect(true);
    const auto dry = host.render(left, right, {.blockSize = 500});
    ASSERT_TRUE(dry.allSucceeded());
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(dry.left[i], left[i]) << "bypassed left differs at sample " << i;
        ASSERT_EQ(dry.right[i], right[i]) << "bypassed right differs at sample " << i;
    }
}
