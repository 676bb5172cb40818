// The staged OrvaneAUMac module offers hosts its one entry point and nothing
// else: they reach the plug-in's code only through it. (Units loaded through
// it render in the validator's, the LV2 adapter's and orvane-render's tests.)

#include "platform/audiounit/AUExtensionEntryPoint.h"

#include <gtest/gtest.h>

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
