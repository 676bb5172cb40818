// The LV2 editor: loaded by a host of our own through the LV2 UI interface
// (what suil does for a host), and embedded by Debian's jalv.

#include <gtest/gtest.h>

#include "tests/hosts/LV2Host.h"
#include "tests/support/Process.h"

#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace lv2host;

struct Writes {
    std::vector<std::pair<std::uint32_t, float>> seen;
    int width = 0, height = 0;
};

void write(LV2UI_Controller controller, std::uint32_t port, std::uint32_t size, std::uint32_t format, const void* buffer) {
    if (format == 0 && size == sizeof(float))
        static_cast<Writes*>(controller)->seen.emplace_back(port, *static_cast<const float*>(buffer));
}

/// The host's side of ui:resize: the size asked for, kept in `writes`.
LV2UI_Resize resizeInto(Writes& writes) {
    return {&writes, [](LV2UI_Feature_Handle h, int w, int hh) {
                static_cast<Writes*>(h)->width = w, static_cast<Writes*>(h)->height = hh;
                return 0;
            }};
}

/// How many pixels of a 100 x 100 box differ between two pictures of a window.
using testx::changedInBox;

} // namespace

TEST(LV2Editor, EmbedsInTheHostsWindowWritesKnobMovesAndNeverEchoesTheHost) {
    testx::XServer x;
    const Window parent = hostWindow(x, 500, 400);
    const LV2UI_Descriptor* descriptor = uiDescriptor();
    ASSERT_TRUE(descriptor) << ::dlerror();
    ASSERT_STREQ(descriptor->URI, kUIURI);
    ASSERT_EQ(uiDescriptor(1), nullptr);
    auto* idle = idleOf(descriptor);
    ASSERT_TRUE(idle);

    Writes writes;
    LV2UI_Resize resize = resizeInto(writes);
    const LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void*>(parent)};
    const LV2_Feature resizeFeature{LV2_UI__resize, &resize};
    const LV2_Feature* features[] = {&parentFeature, &resizeFeature, nullptr};
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui = descriptor->instantiate(descriptor, kPluginURI, (kBundle.string() + "/").c_str(), write,
                                              &writes, &widget, features);
    ASSERT_TRUE(ui);
    EXPECT_EQ(writes.width, 420);
    EXPECT_EQ(writes.height, 280);
    const auto child = static_cast<Window>(reinterpret_cast<std::uintptr_t>(widget));

    // The host tells the editor its ports; nothing goes back.
    const float values[kParameterCount] = {0.5f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f};
    for (std::uint32_t i = 0; i < kParameterCount; ++i)
        descriptor->port_event(ui, kFirstParameterPort + i, sizeof(float), 0, &values[i]);
    const auto settle = [&] {
        for (int i = 0; i < 20; ++i, usleep(10000)) idle->idle(ui);
    };
    settle();
    EXPECT_TRUE(writes.seen.empty()) << "host values are not echoed, first write to port " << writes.seen[0].first;

    int w = 0, h = 0;
    const auto before = x.pixels(child, w, h);
    ASSERT_EQ(w, 420);
    EXPECT_EQ(before[0], 0xff663399u) << "the panel";
    const std::string id = std::to_string(child);
    ASSERT_TRUE(x.xdotool("mousemove --window " + id + " 80 77 mousedown 1 mousemove --window " + id +
                          " 80 52 mousemove --window " + id + " 80 27 mouseup 1"));
    for (int i = 0; i < 200 && (writes.seen.empty() || std::fabs(writes.seen.back().second - 0.253214f) > 5e-4f); ++i) {
        idle->idle(ui);
        usleep(5000);
    }
    ASSERT_FALSE(writes.seen.empty()) << "a drag writes to the host";
    for (const auto& [port, value] : writes.seen) EXPECT_EQ(port, kFirstParameterPort + 1) << "only granularity";
    EXPECT_NEAR(writes.seen.back().second, 0.253214f, 5e-4f);

    writes.seen.clear();
    const float fromHost = 0.9f;
    descriptor->port_event(ui, kFirstParameterPort + 5, sizeof(float), 0, &fromHost);
    settle();
    EXPECT_TRUE(writes.seen.empty()) << "a value from the host is never sent back: " << writes.seen.size() << " writes, first " << writes.seen[0].first << " " << writes.seen[0].second;
    const auto after = x.pixels(child, w, h);
    EXPECT_GT(changedInBox(before, after, w, 30, 150), 100) << "the gravitas knob turned";

    // What closing leaves behind (windows, tasks, observers): the session test.
    descriptor->cleanup(ui);
}

TEST(LV2Editor, JalvShowsItAndItsKnobsTurn) {
    if (kSanitized) GTEST_SKIP() << "an uninstrumented host cannot load a sanitizer build";
    testx::XServer x;
    const std::string server = "orvane-test-" + std::to_string(::getpid());
    testprocess::Process jack({"/usr/bin/jackd", "-n", server, "-r", "-d", "dummy", "-r", "48000", "-p", "512"});
    // jalv gives up at once when the JACK server is not up yet: start it
    // again until it stays.
    std::unique_ptr<testprocess::Process> jalv;
    Window editor = 0;
    for (int attempt = 0; attempt < 5 && !editor; ++attempt) {
        jalv = std::make_unique<testprocess::Process>(
            std::vector<std::string>{"/usr/bin/jalv.gtk3", kPluginURI},
            std::vector<std::string>{"DISPLAY=" + x.name(), "LV2_PATH=" + kLV2Path.string(),
                                     "JACK_DEFAULT_SERVER=" + server, "JACK_NO_START_SERVER=1"});
        for (int i = 0; i < 1500 && !editor && jalv->running(); ++i, usleep(20000)) {
            // jalv's own window carries the plug-in's name too; ours is the one
            // inside. A jalv that gave up takes its windows with it at any time.
            const testx::IgnoringXErrors vanishing(x.display());
            for (Window w : x.windowsNamed("Orvane", false)) {
                Window root = 0, parent = 0, *children = nullptr;
                unsigned count = 0;
                const bool listed = XQueryTree(x.display(), w, &root, &parent, &children, &count);
                if (children) XFree(children);
                XWindowAttributes attributes;
                if (listed && parent != root && XGetWindowAttributes(x.display(), w, &attributes) &&
                    attributes.map_state == IsViewable && attributes.width == 420)
                    editor = w;
            }
        }
        if (!editor) usleep(500000);
    }
    ASSERT_NE(editor, 0u) << jalv->errorText() << "\njackd: " << jack.errorText();
    int w = 0, h = 0;
    std::vector<std::uint32_t> before;
    for (int i = 0; i < 200; ++i, usleep(20000)) {
        before = x.pixels(editor, w, h);
        if (!before.empty() && before[0] == 0xff663399u) break;
    }
    ASSERT_EQ(h, 280);
    // Six knobs: the middle of each grid box at 420 x 280 is the dark dial.
    for (int i = 0; i < 6; ++i) {
        const int cx = 30 + 130 * (i % 3) + 30, cy = int(80.0 / 3 + (80.0 / 3 + 100) * (i / 3)) + 50;
        const std::uint32_t p = before[std::size_t(cy) * w + cx];
        EXPECT_LT((p >> 16) & 0xff, 80u) << "knob " << i;
    }
    const std::string id = std::to_string(editor);
    ASSERT_TRUE(x.xdotool("mousemove --window " + id + " 80 77 mousedown 1 mousemove --window " + id +
                          " 80 52 mousemove --window " + id + " 80 27 mouseup 1"));
    int changed = 0;
    for (int i = 0; i < 200 && changed < 100; ++i, usleep(20000)) changed = changedInBox(before, x.pixels(editor, w, h), w, 30, 27);
    EXPECT_GE(changed, 100) << "the dragged knob turned inside jalv";

    // The drag's press gave the editor the keyboard: End turns the knob to
    // its top, and Escape hands the keyboard back to jalv.
    const auto dragged = x.pixels(editor, w, h);
    ASSERT_TRUE(x.xdotool("key End"));
    changed = 0;
    for (int i = 0; i < 200 && changed < 100; ++i, usleep(20000)) changed = changedInBox(dragged, x.pixels(editor, w, h), w, 30, 27);
    EXPECT_GE(changed, 100) << "a key turned the knob inside jalv";
    const auto focus = [&] {
        Window focused = 0;
        int revert = 0;
        XGetInputFocus(x.display(), &focused, &revert);
        return focused;
    };
    EXPECT_EQ(focus(), editor);
    ASSERT_TRUE(x.xdotool("key Escape"));
    for (int i = 0; i < 200 && focus() == editor; ++i) usleep(20000);
    EXPECT_NE(focus(), editor) << "Escape gives the keyboard back";
}

TEST(LV2Editor, TellsTheHostsTouchWhenAKnobIsGrabbedAndReleasedAndOpensAtItsScaleFactor) {
    testx::XServer x;
    const Window parent = hostWindow(x, 900, 600);
    const LV2UI_Descriptor* descriptor = uiDescriptor();
    ASSERT_TRUE(descriptor) << ::dlerror();
    auto* idle = idleOf(descriptor);

    // The host's side: URIs mapped to numbers, the grabs it hears, in order
    // with the port writes.
    World world;
    LV2_URID_Map& map = world.map;
    struct Host {
        Writes writes;
        std::vector<std::string> heard;
    } host;
    LV2UI_Touch touch{&host, [](LV2UI_Feature_Handle h, std::uint32_t port, bool grabbed) {
                          static_cast<Host*>(h)->heard.push_back((grabbed ? "grab " : "let go ") + std::to_string(port));
                      }};
    LV2UI_Resize resize = resizeInto(host.writes);
    const float two = 2.0f;
    const LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, map.map(map.handle, LV2_UI__scaleFactor), sizeof(float), map.map(map.handle, LV2_ATOM__Float), &two},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void*>(parent)};
    const LV2_Feature features[] = {{LV2_UI__resize, &resize}, {LV2_UI__touch, &touch},
                                    {LV2_URID__map, &map}, {LV2_OPTIONS__options, const_cast<LV2_Options_Option*>(options)}};
    const LV2_Feature* list[] = {&parentFeature, &features[0], &features[1], &features[2], &features[3], nullptr};
    LV2UI_Widget widget = nullptr;
    const auto write = [](LV2UI_Controller c, std::uint32_t port, std::uint32_t, std::uint32_t, const void*) {
        static_cast<Host*>(c)->heard.push_back("write " + std::to_string(port));
    };
    LV2UI_Handle ui = descriptor->instantiate(descriptor, kPluginURI, (kBundle.string() + "/").c_str(), write, &host,
                                              &widget, list);
    ASSERT_TRUE(ui);
    EXPECT_EQ(host.writes.width, 840) << "420x280 at the host's scale factor 2";
    EXPECT_EQ(host.writes.height, 560);

    // Granularity's box at scale 2: (60, 53) to (260, 253).
    const std::string id = std::to_string(static_cast<Window>(reinterpret_cast<std::uintptr_t>(widget)));
    for (int i = 0; i < 20; ++i, usleep(10000)) idle->idle(ui);
    ASSERT_TRUE(x.xdotool("mousemove --window " + id + " 160 154 mousedown 1 mousemove --window " + id +
                          " 160 104 mousemove --window " + id + " 160 54 mouseup 1"));
    for (int i = 0; i < 200 && (host.heard.empty() || host.heard.back() != "let go 5"); ++i, usleep(5000)) idle->idle(ui);
    ASSERT_GE(host.heard.size(), 3u);
    EXPECT_EQ(host.heard.front(), "grab 5") << "before the first write";
    EXPECT_EQ(host.heard.back(), "let go 5") << "after the last";
    for (std::size_t i = 1; i + 1 < host.heard.size(); ++i) EXPECT_EQ(host.heard[i], "write 5");
    descriptor->cleanup(ui);
}
