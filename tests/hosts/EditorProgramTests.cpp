// orvane-editor as a user meets it: off-screen snapshots without a display,
// and a real window on a private X server, turned with xdotool.

// GoogleTest first: Xlib defines macros (None, Bool) that its headers use as names.
#include <gtest/gtest.h>

#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/XServer.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using platform::testing::fileText;
using testprocess::Process;

const std::string kEditor = ORVANE_EDITOR_PROGRAM;

std::pair<int, int> pngSize(const fs::path& file) {
    std::pair<int, int> size;
    testx::pngPixels(file, size.first, size.second);
    return size;
}

/// The last printed value of a parameter, or NaN; its touch and release
/// lines are no values.
double lastValue(const Process& process, const std::string& id) {
    double value = std::nan("");
    for (const auto& line : process.lines())
        if (line.rfind(id + " ", 0) == 0 && !line.ends_with(" touch") && !line.ends_with(" release"))
            value = std::stod(line.substr(id.size() + 1));
    return value;
}

/// Waits until the window shows exactly the picture in `png`.
bool windowShows(const testx::XServer& x, Window window, const fs::path& png) {
    int pw = 0, ph = 0;
    const auto expected = testx::pngPixels(png, pw, ph);
    for (int attempt = 0; attempt < 250; ++attempt) {
        int w = 0, h = 0;
        if (x.pixels(window, w, h) == expected && w == pw && h == ph) return true;
        usleep(20000);
    }
    return false;
}

} // namespace

TEST(EditorProgram, SnapshotsNeedNoDisplayAndErrorsLeaveNoFile) {
    platform::testing::TempFolder folder;
    const auto png = folder / "editor.png";
    Process snapshot({kEditor, "--snapshot", png, "--size", "600x400", "--preset", "Dark Wash"}, {"DISPLAY="});
    EXPECT_EQ(snapshot.wait(), 0) << snapshot.errorText();
    EXPECT_EQ(pngSize(png), std::pair(600, 400));

    // A state read from a file and saved again keeps the file's name.
    const auto saved = folder.path() / "saved.aupreset", again = folder.path() / "again.aupreset";
    Process save({kEditor, "--snapshot", png, "--preset", "Dark Wash", "--save-state", saved}, {"DISPLAY="});
    ASSERT_EQ(save.wait(), 0) << save.errorText();
    std::string text = fileText(saved);
    std::ofstream(saved) << text.replace(text.find("Dark Wash"), 9, "My Room");
    Process standard({kEditor, "--snapshot", png, "--state", saved, "--save-state", again}, {"DISPLAY="});
    EXPECT_EQ(standard.wait(), 0) << standard.errorText();
    EXPECT_EQ(pngSize(png), std::pair(420, 280)) << "the editor's own size";
    EXPECT_NE(fileText(again).find("<string>My Room</string>"), std::string::npos) << fileText(again);

    // Each failure exits with its status (2: the command line was refused),
    // names the problem and writes nothing.
    const auto bad = (folder / "bad.png").string();
    struct Case { std::vector<std::string> arguments; int status; std::string says; std::string display = ""; };
    for (const auto& c : {Case{{"--snapshot", bad, "--size", "600"}, 2, "--size"},
                          Case{{"--snapshot", bad, "--size", "0x10"}, 2, "--size"},
                          Case{{"--snapshot", bad, "--preset", "Nope"}, 2, "no factory preset 'Nope'"},
                          Case{{"--snapshot", bad, "--save-state", (folder / "missing/s.plist").string()}, 2,
                               "does not exist"},
                          Case{{"--snapshot", bad, "--set", "loudness=1"}, 2, "unknown parameter"},
                          Case{{"--snapshot", bad, "--set", "gravitas=1.0001"}, 2, "gravitas runs from 0 to 1"},
                          Case{{"--snapshot", bad, "--save-state", bad}, 2, "is also the state file"},
                          Case{{"--snapshot", bad, "--state", (folder / "none.plist").string()}, 1, "none.plist"},
                          Case{{"--snapshot", bad, "--plugin", folder.path().string()}, 1, folder.path().string()},
                          Case{{"--snapshot", (folder / "e.jpg").string()}, 2, "PNG"},
                          Case{{"--snapshot", (folder / "missing/e.png").string()}, 1, "does not exist"},
                          Case{{}, 1, "cannot open the X display", ":999"}}) {
        std::vector<std::string> argv{kEditor};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Process run(argv, {"DISPLAY=" + c.display});
        EXPECT_EQ(run.wait(), c.status) << c.says;
        EXPECT_NE(run.errorText().find(c.says), std::string::npos) << run.errorText();
    }
    for (const char* name : {"bad.png", "e.jpg", "missing"}) EXPECT_FALSE(fs::exists(folder / name)) << name;
}

TEST(EditorProgram, AWindowTurnsKnobsPrintsChangesResizesAndSavesOnCtrlQ) {
    testx::XServer x;
    platform::testing::TempFolder folder;
    const auto state = folder.path() / "state.plist";
    Process editor({kEditor, "--set", "granularity=0", "--set", "incoherence=0.6", "--save-state", state},
                   {"DISPLAY=" + x.name()});
    const auto window = x.waitForWindow("Orvane");
    ASSERT_TRUE(window) << editor.errorText();
    const std::string id = std::to_string(*window);

    // Granularity sits top-left: its box is (30, 80/3) to (130, 380/3).
    ASSERT_TRUE(x.xdotool("mousemove --window " + id + " 80 77 mousedown 1 mousemove --window " + id +
                          " 80 52 mousemove --window " + id + " 80 27 mouseup 1"));
    ASSERT_TRUE(editor.waitForLine([](const std::string& l) { return l.rfind("granularity 0.25", 0) == 0; }))
        << "printed: " << editor.lines().size() << " lines";
    EXPECT_NEAR(lastValue(editor, "granularity"), 0.253214, 0.0005);
    ASSERT_TRUE(x.xdotool("mousemove --window " + id + " 210 77 click --repeat 2 --delay 100 1"));
    ASSERT_TRUE(editor.waitForLine([](const std::string& l) { return l == "incoherence 0.000000"; }))
        << "a double-click resets incoherence";
    // Off the knobs, and the focus the click gave incoherence cleared, so
    // that their plaques show their names again.
    ASSERT_TRUE(x.xdotool("mousemove --window " + id + " 2 2"));
    ASSERT_TRUE(x.xdotool("key --window " + id + " Escape"));
    usleep(1300000);

    int w = 0, h = 0;
    const auto small = x.pixels(*window, w, h);
    ASSERT_TRUE(x.xdotool("windowsize " + id + " 600 400"));
    int big = 0;
    for (int attempt = 0; attempt < 250 && big != 600; ++attempt, usleep(20000)) x.pixels(*window, big, h);
    ASSERT_EQ(big, 600);
    const auto large = folder.path() / "large.png";

    // xdotool may report the key's release failing: the window is gone by then.
    x.xdotool("key --window " + id + " ctrl+q");
    ASSERT_EQ(editor.wait(), 0) << editor.errorText();
    ASSERT_TRUE(fs::exists(state)) << "the state is written on the way out";

    // The window showed what the off-screen renderer draws from that state.
    Process snapshot({kEditor, "--state", state, "--snapshot", large, "--size", "600x400"});
    ASSERT_EQ(snapshot.wait(), 0) << snapshot.errorText();
    const auto defaultSize = folder.path() / "default.png";
    Process standard({kEditor, "--state", state, "--snapshot", defaultSize});
    ASSERT_EQ(standard.wait(), 0) << standard.errorText();
    int pw = 0, ph = 0;
    EXPECT_TRUE(small == testx::pngPixels(defaultSize, pw, ph)) << "the window at 420x280 equals the snapshot";

    // The resized window, seen again from a second run at 600x400.
    Process again({kEditor, "--state", state, "--size", "600x400"}, {"DISPLAY=" + x.name()});
    const auto second = x.waitForWindow("Orvane");
    ASSERT_TRUE(second);
    EXPECT_TRUE(windowShows(x, *second, large)) << "the knobs re-laid for 600x400";
}

TEST(EditorProgram, TheKeyboardAloneSetsAKnobAndShowValuesPutsEveryReadoutOnItsPlaque) {
    testx::XServer x;
    Process editor({kEditor, "--set", "incoherence=0.2"}, {"DISPLAY=" + x.name()});
    const auto window = x.waitForWindow("Orvane");
    ASSERT_TRUE(window) << editor.errorText();
    ASSERT_TRUE(x.xdotool("key --window " + std::to_string(*window) + " Tab Tab End"));
    ASSERT_TRUE(editor.waitForLine([](const std::string& l) { return l == "incoherence release"; }));
    std::vector<std::string> lines = editor.lines();
    lines.erase(lines.begin(), std::find(lines.begin(), lines.end(), "incoherence touch"));
    EXPECT_EQ(lines, (std::vector<std::string>{"incoherence touch", "incoherence 1.000000", "incoherence release"}))
        << "the second knob in reading order, to its top";
    x.xdotool("key --window " + std::to_string(*window) + " ctrl+q");
    EXPECT_EQ(editor.wait(), 0) << editor.errorText();

    platform::testing::TempFolder folder;
    const auto names = folder.path() / "names.png", values = folder.path() / "values.png";
    Process plain({kEditor, "--snapshot", names}, {"DISPLAY="});
    Process shown({kEditor, "--snapshot", values, "--show-values"}, {"DISPLAY="});
    ASSERT_EQ(plain.wait(), 0) << plain.errorText();
    ASSERT_EQ(shown.wait(), 0) << shown.errorText();
    int w = 0, h = 0;
    const auto a = testx::pngPixels(names, w, h), b = testx::pngPixels(values, w, h);
    ASSERT_EQ(a.size(), b.size());
    // The six plaques of the 420x280 grid, 100-point knobs: each one's middle
    // strip changes, and nothing above the plaques does.
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 3; ++column) {
            const int x0 = 30 + 130 * column, y0 = 27 + 127 * row;
            int plaque = 0, dial = 0;
            for (int y = y0; y < y0 + 96; ++y)
                for (int x = x0 + 10; x < x0 + 90; ++x) {
                    if (y >= y0 + 80 && y < y0 + 88) continue;
                    (y >= y0 + 88 ? plaque : dial) += a[y * w + x] != b[y * w + x];
                }
            EXPECT_GT(plaque, 100) << "knob " << row * 3 + column;
            EXPECT_EQ(dial, 0) << "knob " << row * 3 + column;
        }
    }
}

TEST(EditorProgram, SignalsThatEndTheWindowSaveTheStateFirst) {
    testx::XServer x;
    platform::testing::TempFolder folder;
    const auto state = folder.path() / "state.plist";
    for (const auto& [signal, status] : {std::pair{SIGTERM, 143}, std::pair{SIGINT, 130}, std::pair{SIGHUP, 129}}) {
        SCOPED_TRACE(status);
        fs::remove(state);
        Process editor({kEditor, "--set", "gravitas=0.33", "--set", "nausea=0.125", "--save-state", state},
                       {"DISPLAY=" + x.name()});
        ASSERT_TRUE(x.waitForWindow("Orvane")) << editor.errorText();
        editor.signal(signal);
        EXPECT_EQ(editor.wait(), status) << editor.errorText();
        const auto text = fileText(state);
        EXPECT_NE(text.find("<key>gravitas</key>\n\t\t<real>0.33000001311302185</real>"), std::string::npos) << text;
        EXPECT_NE(text.find("<key>nausea</key>\n\t\t<real>0.125</real>"), std::string::npos) << text;
    }
}

TEST(EditorProgram, WheelAndShiftStepFinelyAndEveryGestureIsClosedEvenAtAnExitMidDrag) {
    testx::XServer x;
    Process editor({kEditor, "--set", "granularity=0"}, {"DISPLAY=" + x.name()});
    const auto window = x.waitForWindow("Orvane");
    ASSERT_TRUE(window) << editor.errorText();
    const std::string id = std::to_string(*window), at = "mousemove --window " + id + " ";
    const auto lineIs = [&](std::string expected) {
        return editor.waitForLine([expected](const std::string& l) { return l == expected; });
    };
    // Granularity's box is (30, 80/3) to (130, 380/3).
    ASSERT_TRUE(x.xdotool("keydown shift " + at + "80 77 mousedown 1 " + at + "80 52 " + at + "80 27 mouseup 1 keyup shift"));
    ASSERT_TRUE(lineIs("granularity release"));
    EXPECT_NEAR(lastValue(editor, "granularity"), 0.0253214, 1e-4) << "a Shift-drag of 50 points";
    const auto before = editor.lines().size();
    ASSERT_TRUE(x.xdotool(at + "80 77 click 4 click 4 click 4 click 6 click 7"));
    ASSERT_TRUE(lineIs("granularity release"));
    const std::vector<std::string> burst(editor.lines().begin() + long(before), editor.lines().end());
    EXPECT_EQ(burst, (std::vector<std::string>{"granularity touch", "granularity 0.035321", "granularity 0.045321",
                                               "granularity 0.055321", "granularity release"}));

    // Ctrl+Q with the button still down on incoherence.
    ASSERT_TRUE(x.xdotool(at + "210 77 mousedown 1 " + at + "210 40"));
    ASSERT_TRUE(lineIs("incoherence touch"));
    x.xdotool("key --window " + id + " ctrl+q");
    ASSERT_EQ(editor.wait(), 0) << editor.errorText();
    int open = 0;
    for (const auto& line : editor.lines()) open += line.ends_with(" touch") - line.ends_with(" release");
    EXPECT_EQ(open, 0) << "every touch has its release";
    EXPECT_EQ(editor.lines().back(), "incoherence release");
}

TEST(EditorProgram, GDK_SCALEOrTheServersXftDpiScaleTheTitledWindowWhichDrawsWhatASnapshotDrawsAndQuitsOnAClose) {
    testx::XServer x;
    platform::testing::TempFolder folder;
    const auto png = folder.path() / "double.png";
    Process snapshot({kEditor, "--snapshot", png}, {"DISPLAY=", "GDK_SCALE=2"});
    ASSERT_EQ(snapshot.wait(), 0) << snapshot.errorText();
    ASSERT_TRUE(x.xdotool("mousemove 0 0")) << "the pointer away from the knobs";
    {
        Process editor({kEditor}, {"DISPLAY=" + x.name(), "GDK_SCALE=2"});
        const auto window = x.waitForWindow("Orvane");
        ASSERT_TRUE(window) << editor.errorText();
        EXPECT_TRUE(windowShows(x, *window, png)) << "840x560, drawn as the snapshot at scale 2";
    }
    Display* d = x.display();
    const std::string resources = "Xft.dpi:\t192\n";
    XChangeProperty(d, DefaultRootWindow(d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources.data()), int(resources.size()));
    XSync(d, False);
    Process editor({kEditor}, {"DISPLAY=" + x.name(), "GDK_SCALE="});
    const auto window = x.waitForWindow("Orvane");
    ASSERT_TRUE(window) << editor.errorText();
    EXPECT_TRUE(windowShows(x, *window, png)) << "Xft.dpi 192 is a scale of 2";

    // The window is titled, and a close request quits with success.
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* value = nullptr;
    XGetWindowProperty(d, *window, XInternAtom(d, "_NET_WM_NAME", False), 0, 64, False,
                       XInternAtom(d, "UTF8_STRING", False), &type, &format, &count, &after, &value);
    ASSERT_TRUE(value);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value), count), "Orvane");
    XFree(value);

    testx::requestClose(d, *window);
    EXPECT_EQ(editor.wait(), 0) << editor.errorText();
}
