// Every number the command lines take, just inside and just outside its
// range; counts of zero or below are refused with a message naming the
// option, and the program leaves no file behind.

#include "hosts/render/RenderOptions.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

/// Empty when the arguments parse; otherwise the refusal.
std::string refusalOf(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"orvane-render", "in.wav"});
    std::vector<const char*> argv;
    for (const auto& a : arguments) argv.push_back(a.c_str());
    const auto parsed = orvane::render::parseCommandLine(static_cast<int>(argv.size()), argv.data());
    return parsed ? std::string() : parsed.error().empty() ? "(an empty refusal)" : parsed.error();
}

} // namespace

TEST(CommandLineEdges, RenderNumbersAreTakenJustInsideTheirRangesAndRefusedJustOutside) {
    const struct {
        std::vector<std::string> arguments;
        std::string refusal; // empty: accepted
    } cases[] = {
        {{"--jobs", "1"}, ""},
        {{"--jobs", "1024"}, ""},
        {{"--jobs", "0"}, "--jobs: '0' is outside 1 to 1024"},
        {{"--jobs", "1025"}, "--jobs: '1025' is outside 1 to 1024"},
        {{"--jobs", "-1"}, "--jobs: '-1' is not a whole number"},
        {{"--block", "1"}, ""},
        {{"--block", "65536"}, ""},
        {{"--block", "0"}, "--block: '0' is outside 1 to 65536"},
        {{"--block", "65537"}, "--block: '65537' is outside 1 to 65536"},
        {{"--block", "-1"}, "--block: '-1' is not a whole number"},
        {{"--seed", "1"}, ""},
        {{"--seed", "4294967294"}, ""},
        {{"--seed", "0"}, "--seed: '0' is outside 1 to 4294967294"},
        {{"--seed", "4294967295"}, "--seed: '4294967295' is outside 1 to 4294967294"},
        {{"--seed", "18446744073709551616"}, "--seed: '18446744073709551616' is outside 1 to 4294967294"},
        {{"--tail", "0"}, ""},
        {{"--tail", "-0.001"}, "--tail: '-0.001' is negative"},
        {{"--bits", "16"}, ""},
        {{"--bits", "24"}, ""},
        {{"--bits", "float"}, ""},
        {{"--bits", "15"}, "--bits: '15' is not one of 16, 24, float"},
        {{"--bits", "25"}, "--bits: '25' is not one of 16, 24, float"},
        {{"--preset", "0"}, ""},
        {{"--preset", "4294967295"}, ""},
        {{"--preset", "4294967296"}, "--preset: '4294967296' is outside 0 to 4294967295"},
    };
    for (const auto& c : cases) {
        const auto refusal = refusalOf(c.arguments);
        if (c.refusal.empty()) {
            EXPECT_EQ(refusal, "") << c.arguments[0] << " " << c.arguments[1];
        } else {
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.arguments[0] << " " << c.arguments[1] << ": " << refusal;
        }
    }
}

TEST(CommandLineEdges, CountsOfZeroOrBelowAreRefusedByEachProgramAndLeaveNoFile) {
    platform::testing::TempFolder folder;
    const auto input = folder.write("in.wav", "");
    const auto output = folder.path() / "out.wav";
    struct Case {
        std::vector<std::string> argv;
        std::string names;
        fs::path leaves;
    };
    // orvane-render's numbers are all read by the parser tested above; one
    // refusal shows how the program ends on any of them.
    std::vector<Case> cases{{{ORVANE_RENDER_PROGRAM, input, "-o", output, "--block", "-64"}, "--block", output}};
#ifdef ORVANE_EDITOR_PROGRAM
    const auto png = folder.path() / "editor.png";
    for (const char* size : {"0x280", "420x0", "-420x280", "16385x1", "1x16385"})
        cases.push_back({{ORVANE_EDITOR_PROGRAM, "--snapshot", png, "--size", size}, "--size", png});
#endif
#ifdef ORVANE_VALIDATE_PROGRAM
    for (const char* level : {"0", "-1", "11"})
        cases.push_back({{ORVANE_VALIDATE_PROGRAM, "--level", level}, "--level", {}});
#endif
    for (const auto& c : cases) {
        testprocess::Process run(c.argv, {"DISPLAY="});
        EXPECT_EQ(run.wait(), 2) << c.argv[c.argv.size() - 2] << " " << c.argv.back();
        EXPECT_NE(run.errorText().find(c.names), std::string::npos) << run.errorText();
        if (!c.leaves.empty()) {
            EXPECT_FALSE(fs::exists(c.leaves)) << c.argv.back();
        }
    }
#ifdef ORVANE_EDITOR_PROGRAM
    // Just inside: the smallest editor and the widest, one point high.
    for (const char* size : {"1x1", "16384x1"}) {
        testprocess::Process run({ORVANE_EDITOR_PROGRAM, "--snapshot", png, "--size", size}, {"DISPLAY="});
        EXPECT_EQ(run.wait(), 0) << size << ": " << run.errorText();
        EXPECT_TRUE(fs::exists(png)) << size;
        fs::remove(png);
    }
#endif
}
