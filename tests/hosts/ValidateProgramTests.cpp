// orvane-validate's command line as a user meets it.

#include <gtest/gtest.h>

#include "tests/support/Process.h"

#include <string>

namespace {

using testprocess::Process;

TEST(ValidateProgram, AnOnlyThatMatchesNothingIsRefusedWithTheListAndTheHelpReads) {
    Process nothing({ORVANE_VALIDATE_PROGRAM, "--only", "nothing"});
    EXPECT_EQ(nothing.wait(), 2);
    EXPECT_TRUE(nothing.lines().empty()) << "no check ran";
    for (const char* listed : {"'nothing'", "host call order", "threads", "soak through orvane.lv2"})
        EXPECT_NE(nothing.errorText().find(listed), std::string::npos) << listed << " in: " << nothing.errorText();

    Process help({ORVANE_VALIDATE_PROGRAM, "--help"});
    EXPECT_EQ(help.wait(), 0);
    const auto text = help.outputText();
    EXPECT_NE(text.find("--level 1..10 "), std::string::npos) << text;
    EXPECT_EQ(text.find(":INT"), std::string::npos) << text;
    EXPECT_EQ(text.find(":UINT"), std::string::npos) << text;
}

} // namespace
