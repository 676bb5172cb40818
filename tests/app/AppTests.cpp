// The application Orvane: its window's contents drawn off-screen, then the
// program itself on a private X server, and the installed product.

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/ui/Compositor.h"
#include "platform/ui/Controls.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Pixels.h"
#include "tests/support/Process.h"
#include "tests/support/Sockets.h"
#include "tests/support/XServer.h"

#include <array>
#include <cstdlib>

using namespace platform;
using testpixels::pixelAt;
using testprocess::Process;

namespace {

constexpr testpixels::Pixel kPanel{102, 51, 153, 255};

/// A delegate whose window is built but not shown.
struct BuiltWindow {
    orvane::AppDelegate delegate;
    std::shared_ptr<NSStackView> stack;
    BuiltWindow() {
        delegate.setUpMainWindow();
        auto content = delegate.window->contentView();
        content->layoutSubtreeIfNeeded();
        stack = std::dynamic_pointer_cast<NSStackView>(content->subviews().at(0));
    }
    ~BuiltWindow() { NSApplication::shared().setMainMenu(nullptr); }
};

} // namespace

TEST(AppWindow, FourItemsStackTenPointsApartCentredOnThePanel) {
    BuiltWindow w;
    EXPECT_EQ(w.delegate.window->title(), "Orvane");
    EXPECT_EQ(w.delegate.window->contentRect().size, (NSSize{400, 300}));
    EXPECT_EQ(w.delegate.window->styleMask(), 7u) << "titled, closable, miniaturizable, not resizable";
    EXPECT_TRUE(w.delegate.window->isCentred());
    ASSERT_TRUE(w.stack);
    const auto& items = w.stack->arrangedSubviews();
    ASSERT_EQ(items.size(), 4u);
    auto version = std::dynamic_pointer_cast<NSTextField>(items[1]);
    auto kind = std::dynamic_pointer_cast<NSTextField>(items[3]);
    ASSERT_TRUE(version && kind);
    EXPECT_EQ(version->stringValue(), "v? (?)") << "a test program has no information dictionary";
    EXPECT_EQ(version->font().pointSize, 12.0);
    EXPECT_EQ(kind->stringValue(), "Audio Unit Effect (AUv3)");
    EXPECT_EQ(kind->font().pointSize, 13.0);

    double previousBottom = -1, top = 0, bottom = 0;
    const NSSize sizes[] = {{100, 100}, version->intrinsicContentSize(), {180, 1}, kind->intrinsicContentSize()};
    for (std::size_t i = 0; i < items.size(); ++i) {
        const NSRect r = items[i]->rectInWindow();
        EXPECT_EQ(r.size, sizes[i]) << "item " << i << " at its natural size";
        EXPECT_NEAR(r.midX(), 200.0, 0.5) << "item " << i << " centred, on whole points";
        if (previousBottom >= 0) {
            EXPECT_DOUBLE_EQ(r.minY() - previousBottom, 10.0) << "item " << i;
        }
        if (i == 0) top = r.minY();
        previousBottom = bottom = r.maxY();
    }
    EXPECT_NEAR(top, 300 - bottom, 1.0) << "the stack is centred top to bottom";

    auto image = snapshotViewTree(*w.delegate.window->contentView(), {400, 300});
    for (auto [x, y] : {std::pair{0, 0}, {399, 299}, {10, 150}}) EXPECT_EQ(pixelAt(*image, x, y), kPanel);
    const NSRect line = items[2]->rectInWindow();
    // White at 30 % over the panel.
    const auto seen = pixelAt(*image, int(line.midX()), int(line.minY()));
    EXPECT_NEAR(seen.r, 148, 1);
    EXPECT_NEAR(seen.g, 112, 1);
    EXPECT_NEAR(seen.b, 184, 1);
    EXPECT_EQ(pixelAt(*image, int(line.minX()) - 1, int(line.minY())), kPanel) << "180 points wide";
    EXPECT_EQ(pixelAt(*image, int(line.midX()), int(line.minY()) - 1), kPanel) << "one point high";
    EXPECT_EQ(pixelAt(*image, int(line.midX()), int(line.minY()) + 1), kPanel);

    const auto& menu = NSApplication::shared().mainMenu();
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->items().size(), 1u);
    ASSERT_TRUE(menu->items()[0]->submenu);
    ASSERT_EQ(menu->items()[0]->submenu->items().size(), 1u);
    EXPECT_EQ(menu->items()[0]->submenu->items()[0]->title, "Quit Orvane");
    EXPECT_EQ(menu->items()[0]->submenu->items()[0]->keyEquivalent, "q");
}

TEST(AppWindow, TheVersionLineReadsTextEntriesOnly) {
    using D = PropertyList::Dictionary;
    EXPECT_EQ(orvane::versionLine(std::nullopt), "v? (?)");
    EXPECT_EQ(orvane::versionLine(PropertyList(D{{"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "7"}})), "v1.2 (7)");
    EXPECT_EQ(orvane::versionLine(PropertyList(D{{"CFBundleShortVersionString", "2.0"}, {"CFBundleVersion", 15}})), "v2.0 (?)");
    EXPECT_EQ(orvane::versionLine(PropertyList(D{})), "v? (?)");
}

TEST(AppProgram, AFixedCentredWindowThatQuitsOnCtrlQAndOnClose) {
    testx::XServer x;
    for (const char* how : {"ctrl+q", "close"}) {
        Process app({ORVANE_APP_PROGRAM}, {"DISPLAY=" + x.name()});
        const auto window = x.waitForWindow("Orvane");
        ASSERT_TRUE(window) << app.errorText();
        Display* d = x.display();
        XSizeHints hints{};
        long supplied = 0;
        ASSERT_TRUE(XGetWMNormalHints(d, *window, &hints, &supplied));
        EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
        EXPECT_EQ((std::array{hints.min_width, hints.max_width, hints.min_height, hints.max_height}),
                  (std::array{400, 400, 300, 300}));
        int w = 0, h = 0;
        const auto pixels = x.pixels(*window, w, h);
        EXPECT_EQ(w, 400);
        EXPECT_EQ(h, 300);
        XWindowAttributes attributes;
        XGetWindowAttributes(d, *window, &attributes);
        EXPECT_EQ(attributes.x, (1280 - 400) / 2) << "centred on the screen";
        if (std::string(how) == "ctrl+q")
            x.xdotool("key --window " + std::to_string(*window) + " ctrl+q");
        else testx::requestClose(d, *window);
        EXPECT_EQ(app.wait(), 0) << how << ": " << app.errorText();
    }
    // Asked for help or the version, it answers without a window (and
    // without a display); a bad argument or no display ends it with a reason.
    struct Case { std::vector<std::string> arguments; std::string display; int status; std::string says; };
    for (const auto& c : {Case{{"--help"}, "", 0, "Usage: orvane"}, Case{{"--version"}, "", 0, "orvane v"},
                          Case{{"--frobnicate"}, "", 2, "'--frobnicate'"}, Case{{}, ":999", 1, "cannot open the X display"}}) {
        std::vector<std::string> argv{ORVANE_APP_PROGRAM};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Process run(argv, {"DISPLAY=" + c.display});
        EXPECT_EQ(run.wait(), c.status) << c.says;
        EXPECT_NE((run.outputText() + run.errorText()).find(c.says), std::string::npos) << run.errorText();
    }
}

TEST(AppProgram, TheInstalledProductWorksFromAnyFolder) {
    platform::testing::TempFolder prefix, elsewhere, folder;
    const std::string install = "'" ORVANE_CMAKE "' --install '" ORVANE_BUILD_DIR "' --prefix '" +
                                prefix.path().string() + "' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    const auto bin = prefix.path() / "bin";
    for (const char* file : {"bin/orvane", "bin/orvane-render", "bin/orvane-editor", "share/applications/orvane.desktop",
                             "bin/orvane-live", "share/applications/orvane-live.desktop",
                             "share/icons/hicolor/48x48/apps/orvane.png",
                             "lib/orvane/Orvane.app/PlugIns/OrvaneAUMac.appex/OrvaneAUMac.so",
                             "lib/vst3/Orvane.vst3/Contents/x86_64-linux/Orvane.so",
                             "lib/vst3/Orvane.vst3/Contents/Resources/OrvaneAUMac.appex/Info.plist",
                             "lib/vst3/Orvane.vst3/Contents/Resources/OrvaneAUMac.appex/presets/09-Drunk Chorus.aupreset",
                             "share/doc/orvane/copyright"})
        EXPECT_TRUE(std::filesystem::exists(prefix.path() / file)) << file;
    // The installed VST3 module and the unit inside it find every library
    // they need within the bundle.
    for (const char* module : {"lib/vst3/Orvane.vst3/Contents/x86_64-linux/Orvane.so",
                               "lib/vst3/Orvane.vst3/Contents/Resources/OrvaneAUMac.appex/OrvaneAUMac.so"}) {
        const std::string check = "ldd '" + (prefix.path() / module).string() + "' | grep -q 'not found'";
        EXPECT_NE(std::system(check.c_str()), 0) << module << " has unresolved libraries";
    }
    for (const char* command : {"orvane", "orvane-render", "orvane-editor", "orvane-validate", "orvane-live"}) {
        const auto page = prefix.path() / "share/man/man1" / (std::string(command) + ".1");
        const std::string read = "man -l '" + page.string() + "' 2>&1 | grep -q '" + command + "'";
        EXPECT_EQ(std::system(read.c_str()), 0) << read;
    }

    ::chdir(elsewhere.path().c_str());
    Process list({(bin / "orvane-render").string(), "--list-presets"});
    EXPECT_EQ(list.wait(), 0) << list.errorText();
    ASSERT_EQ(list.lines().size(), 9u);
    EXPECT_EQ(list.lines()[0], "1  First Light");
    Process render({(bin / "orvane-render").string(), (prefix.path() / "share/orvane/demo.flac").string(), "-o",
                    "out.wav", "--quiet", "--tail", "0"});
    EXPECT_EQ(render.wait(std::chrono::seconds(60)), 0) << render.errorText();
    EXPECT_GT(std::filesystem::file_size(elsewhere.path() / "out.wav"), 100000u);

    // Orvane Live hands jalv.gtk3 the plug-in installed beside it (a stand-in
    // jalv says what it was given), here through PipeWire's JACK layer (a
    // stand-in pw-jack that runs what it is given).
    testx::XServer x;
    folder.write("jalv.gtk3", "#!/bin/sh\necho \"$LV2_PATH\" \"$@\"\n");
    folder.write("pw-jack", "#!/bin/sh\nexec \"$@\"\n");
    for (const char* stand_in : {"jalv.gtk3", "pw-jack"})
        std::filesystem::permissions(folder.path() / stand_in, std::filesystem::perms::owner_exec,
                                     std::filesystem::perm_options::add);
    const testsocket::Listening pipewire(folder.path() / "pipewire-0");
    Process live({(bin / "orvane-live").string()},
                 {"PATH=" + folder.path().string() + ":/usr/bin:/bin", "LV2_PATH=", "XDG_RUNTIME_DIR=" + folder.path().string(),
                  "DISPLAY=" + x.name(), "JACK_DEFAULT_SERVER=orvane-test-none"});
    EXPECT_EQ(live.wait(), 0) << live.errorText();
    ASSERT_EQ(live.lines().size(), 1u) << live.errorText();
    EXPECT_EQ(live.lines()[0].rfind(std::filesystem::canonical(prefix.path() / "lib/lv2").string() + ":", 0), 0u)
        << live.lines()[0];
    EXPECT_TRUE(live.lines()[0].ends_with(" urn:orvane:lv2:orvane")) << live.lines()[0];

    Process app({(bin / "orvane").string()}, {"DISPLAY=" + x.name()});
    const auto window = x.waitForWindow("Orvane");
    ASSERT_TRUE(window) << app.errorText();
    x.xdotool("key --window " + std::to_string(*window) + " ctrl+q");
    EXPECT_EQ(app.wait(), 0) << app.errorText();
}
