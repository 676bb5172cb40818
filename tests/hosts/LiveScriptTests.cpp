// orvane-live before it hands over to jalv: each missing piece (jalv, a
// display, an audio server, PipeWire's JACK layer) is one line saying what to
// install or start, with nothing of jalv's. Stand-ins play jalv and pw-jack,
// and PATH holds only them and the few tools the script uses.

#include <gtest/gtest.h>

#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Sockets.h"
#include "tests/support/XServer.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testprocess::Process;

void standIn(const platform::testing::TempFolder& folder, const std::string& name, const std::string& script) {
    folder.write("bin/" + name, "#!/bin/sh\n" + script);
    fs::permissions(folder / "bin" / name, fs::perms::owner_all);
}

TEST(LiveScript, SaysWhatIsMissingBeforeJalvStartsAndHasItsOwnHelp) {
    platform::testing::TempFolder folder;
    fs::create_directories(folder / "bin");
    fs::create_directories(folder / "run");
    for (const char* tool : {"dirname", "readlink", "id", "cat"}) fs::create_symlink(fs::path("/usr/bin") / tool, folder / "bin" / tool);
    testx::XServer x;
    const std::vector<std::string> alone{"PATH=" + (folder / "bin").string(), "XDG_RUNTIME_DIR=" + (folder / "run").string(),
                                         "JACK_DEFAULT_SERVER=orvane-test-none", "WAYLAND_DISPLAY=", "DISPLAY=" + x.name()};
    const auto run = [&](std::vector<std::string> environment, std::vector<std::string> arguments = {}) {
        environment.insert(environment.begin(), alone.begin(), alone.end());
        arguments.insert(arguments.begin(), ORVANE_LIVE_SCRIPT);
        Process live(arguments, environment);
        const int status = live.wait();
        return std::tuple{status, live.outputText(), live.errorText()};
    };

    const auto [helped, help, helpErrors] = run({}, {"--help"});
    EXPECT_EQ(helped, 0) << helpErrors;
    EXPECT_EQ(help.rfind("Usage: orvane-live", 0), 0u) << help;
    EXPECT_NE(help.find("pipewire-jack"), std::string::npos) << help;

    struct Case {
        const char* what;
        std::vector<std::string> environment;
        std::string says;
    };
    const Case cases[] = {
        {"no jalv", {}, "sudo apt-get install jalv\n"},
        {"no display", {"DISPLAY="}, "DISPLAY is not set"},
        {"a display that does not run", {"DISPLAY=:987"}, "the display :987 is not running"},
        {"no audio server", {}, "no audio server: start JACK"},
        {"PipeWire without its JACK layer", {}, "sudo apt-get install pipewire-jack\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "no display") standIn(folder, "jalv.gtk3", "echo jalv \"$@\"\n");
        std::optional<testsocket::Listening> pipewire;
        if (std::string(c.what).starts_with("PipeWire")) pipewire.emplace(folder / "run" / "pipewire-0");
        const auto [status, out, err] = run(c.environment);
        EXPECT_EQ(status, 1) << err;
        EXPECT_EQ(out, "") << "jalv never ran";
        EXPECT_EQ(err.rfind("orvane-live: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
    }

    // With everything there, jalv runs through pw-jack with the plug-in.
    standIn(folder, "pw-jack", "echo pw-jack; exec \"$@\"\n");
    const testsocket::Listening pipewire(folder / "run" / "pipewire-0");
    const auto [status, out, err] = run({});
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(out, "pw-jack\njalv urn:orvane:lv2:orvane\n") << err;
}

} // namespace
