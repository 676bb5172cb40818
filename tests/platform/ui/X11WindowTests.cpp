// The X11 backend inside a foreign parent window, as a plug-in host hands one
// over, stepped from outside like a host's idle callback.

#include <gtest/gtest.h>

#include "platform/foundation/MainQueue.h"
#include "platform/ui/X11Window.h"
#include "tests/support/XServer.h"

#include <X11/keysym.h>

using namespace platform;

TEST(X11Window, AChildOfAForeignWindowDrawsItsTreeAndDrainsTheMainQueueWhenStepped) {
    testx::XServer x;
    Display* d = x.display();
    const Window host = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 300, 200, 0, 0, 0);
    XMapWindow(d, host);
    XSync(d, False);

    auto root = std::make_shared<NSView>();
    root->setWantsLayer(true);
    root->layer()->setBackgroundColor(NSColor{0.4, 0.2, 0.6, 1.0});
    X11Window::Options options;
    options.displayName = x.name();
    options.parent = host;
    options.size = {120, 80};
    auto window = X11Window::open(root, options);
    ASSERT_TRUE(window) << window.error().message;
    (*window)->show();

    bool ran = false;
    MainQueue::shared().enqueue([&] { ran = true; });
    int w = 0, h = 0;
    std::vector<std::uint32_t> pixels;
    for (int attempt = 0; attempt < 200; ++attempt) {
        (*window)->step();
        pixels = x.pixels((*window)->windowID(), w, h);
        if (!pixels.empty() && pixels[0] == 0xff663399u) break;
        usleep(10000);
    }
    EXPECT_TRUE(ran) << "a step drains the main queue";
    ASSERT_EQ(w, 120);
    EXPECT_EQ(pixels[0], 0xff663399u) << "the panel is drawn";
    EXPECT_EQ(root->frame().size, (NSSize{120, 80})) << "the root view fills the window";
    Window rootWindow, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(d, (*window)->windowID(), &rootWindow, &parent, &children, &count);
    if (children) XFree(children);
    EXPECT_EQ(parent, host);

    options.parent = 0x7fffffff;
    EXPECT_FALSE(X11Window::open(root, options)) << "a parent that does not exist is an error, not a crash";
}

namespace {
/// A view that takes the keys and uses only "a".
struct KeyTaker : NSView {
    using NSView::NSView;
    bool acceptsFirstResponder() const override { return true; }
    bool keyDown(const NSKeyEvent& event) override {
        if (event.keysym != XK_a) return NSView::keyDown(event);
        ++typed;
        return true;
    }
    int typed = 0;
};
} // namespace

TEST(X11Window, AnEmbeddedWindowTakesTheKeysWhenClickedPassesOnWhatItDoesNotUseAndGivesThemBackOnEscape) {
    testx::XServer x;
    Display* d = x.display();
    const Window host = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 300, 200, 0, 0, 0);
    XSelectInput(d, host, KeyPressMask | KeyReleaseMask);
    XMapWindow(d, host);
    XSync(d, False);
    auto root = std::make_shared<NSView>();
    auto taker = std::make_shared<KeyTaker>(NSRect{{0, 0}, {120, 80}});
    root->addSubview(taker);
    X11Window::Options options;
    options.displayName = x.name();
    options.parent = host;
    options.size = {120, 80};
    auto opened = X11Window::open(root, options);
    ASSERT_TRUE(opened) << opened.error().message;
    X11Window& window = **opened;
    window.show();
    const auto until = [&](auto done) {
        for (int attempt = 0; attempt < 300; ++attempt, usleep(10000)) {
            window.step();
            if (done()) return true;
        }
        return false;
    };
    const auto focus = [&] {
        Window focused = 0;
        int revert = 0;
        XGetInputFocus(d, &focused, &revert);
        return focused;
    };
    // The host's own keys: what reaches its window.
    std::vector<KeySym> hostHeard;
    const auto hostKeys = [&] {
        XEvent event;
        while (XCheckWindowEvent(d, host, KeyPressMask, &event)) hostHeard.push_back(XLookupKeysym(&event.xkey, 0));
        return hostHeard;
    };

    // Clicked until the window, mapped by then, has the focus.
    ASSERT_TRUE(until([&] { return x.xdotool("mousemove 60 40 click 1") && (window.step(), focus() == window.windowID()); }))
        << "a click takes the keyboard focus";
    EXPECT_TRUE(taker->isFirstResponder()) << "and gives it to the view clicked";
    ASSERT_TRUE(x.xdotool("key a space"));
    ASSERT_TRUE(until([&] { return !hostKeys().empty(); })) << "the space bar is the host's";
    EXPECT_EQ(taker->typed, 1);
    EXPECT_EQ(hostHeard, std::vector<KeySym>{XK_space}) << "the key the tree used stays with it";

    ASSERT_TRUE(x.xdotool("key Escape"));
    ASSERT_TRUE(until([&] { return focus() == host; })) << "Escape gives the keyboard back";
    EXPECT_FALSE(root->firstResponder());
    ASSERT_TRUE(x.xdotool("key a"));
    ASSERT_TRUE(until([&] { return hostKeys().size() == 2; }));
    EXPECT_EQ(taker->typed, 1) << "keys are the host's again";
}
