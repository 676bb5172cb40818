// The X11 backend inside a foreign parent window, as a plug-in host hands one
// over, stepped from outside like a host's idle callback.

#include <gtest/gtest.h>

#include "platform/foundation/MainQueue.h"
#include "platform/ui/X11Window.h"
#include "tests/support/XServer.h"

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
