// The user-interface layer without a display: gestures fed synthetic events,
// view geometry, images and the compositor's pixels.

#include "platform/ui/Application.h"
#include "platform/ui/Compositor.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Pixels.h"

#include <gtest/gtest.h>

#include <vector>

using namespace platform;
using testpixels::pixelAt;

namespace {

struct Flipped : NSView {
    using NSView::NSView;
    bool isFlipped() const override { return true; }
};

NSEvent press(double x, double y, std::uint64_t t) { return {NSEvent::Type::mouseDown, 1, {x, y}, t}; }
NSEvent drag(double x, double y, std::uint64_t t) { return {NSEvent::Type::mouseDragged, 1, {x, y}, t}; }
NSEvent release(double x, double y, std::uint64_t t) { return {NSEvent::Type::mouseUp, 1, {x, y}, t}; }

/// A view tree with one flipped child holding a pan and a double-click
/// recognizer, recording what they report.
struct GestureRig {
    std::shared_ptr<NSView> root = std::make_shared<NSView>(NSMakeRect(0, 0, 200, 100));
    std::shared_ptr<NSView> target = std::make_shared<Flipped>(NSMakeRect(50, 20, 100, 60));
    std::vector<NSGestureRecognizerState> pans;
    std::vector<NSPoint> translations;
    int doubleClicks = 0;
    NSEventRouter router{root};

    explicit GestureRig(bool flippedTarget = true) {
        if (!flippedTarget) target = std::make_shared<NSView>(NSMakeRect(50, 20, 100, 60));
        root->addSubview(target);
        target->addGestureRecognizer(std::make_shared<NSPanGestureRecognizer>([this](NSGestureRecognizer& r) {
            pans.push_back(r.state());
            translations.push_back(static_cast<NSPanGestureRecognizer&>(r).translationInView(target.get()));
        }));
        auto click = std::make_shared<NSClickGestureRecognizer>([this](NSGestureRecognizer&) { ++doubleClicks; });
        click->setNumberOfClicksRequired(2);
        target->addGestureRecognizer(click);
    }
};

} // namespace

TEST(Gestures, APanBeginsAtTheFirstMotionAndReportsTheTotalTranslation) {
    using S = NSGestureRecognizerState;
    GestureRig rig;
    rig.router.dispatch(press(100, 50, 0));
    rig.router.dispatch(release(100, 50, 10));
    EXPECT_TRUE(rig.pans.empty()) << "a press without motion never begins a pan";

    rig.router.dispatch(press(100, 50, 1000));
    rig.router.dispatch(drag(101, 40, 1010));
    rig.router.dispatch(drag(130, 10, 1020));
    // Outside the view and the window: the pan keeps following the pointer.
    rig.router.dispatch(drag(300, -50, 1030));
    rig.router.dispatch(release(300, -50, 1040));
    EXPECT_EQ(rig.pans, (std::vector<S>{S::began, S::changed, S::changed, S::changed, S::ended}));
    EXPECT_EQ(rig.translations[1], (NSPoint{1, -10}));
    EXPECT_EQ(rig.translations[2], (NSPoint{30, -40}));
    EXPECT_EQ(rig.translations.back(), (NSPoint{200, -100}));
    EXPECT_EQ(rig.doubleClicks, 0) << "a drag is no click";

    rig.pans.clear();
    rig.router.dispatch(press(100, 50, 2000));
    rig.router.dispatch(drag(90, 50, 2010));
    rig.router.cancel();
    EXPECT_EQ(rig.pans, (std::vector<S>{S::began, S::changed, S::cancelled}));

    GestureRig upward(false);
    upward.router.dispatch(press(100, 50, 0));
    upward.router.dispatch(drag(100, 40, 10));
    EXPECT_EQ(upward.translations.back(), (NSPoint{0, 10})) << "y grows upward in a view that is not flipped";
}

TEST(Gestures, ADoubleClickIsTwoPressesWithin400MillisecondsAnd4Points) {
    struct Case {
        const char* what;
        std::uint64_t secondPressMs;
        double secondX;
        int expected;
    };
    for (const auto& c : {Case{"quick and still", 400, 100, 1}, Case{"3 points away", 300, 103, 1},
                          Case{"too slow", 401, 100, 0}, Case{"too far", 100, 104.5, 0}}) {
        GestureRig rig;
        rig.router.dispatch(press(100, 50, 0));
        rig.router.dispatch(release(100, 50, 50));
        EXPECT_EQ(rig.doubleClicks, 0) << c.what << ": one click is not enough";
        rig.router.dispatch(press(c.secondX, 50, c.secondPressMs));
        rig.router.dispatch(release(c.secondX, 50, c.secondPressMs + 50));
        EXPECT_EQ(rig.doubleClicks, c.expected) << c.what;
    }
    GestureRig rig;
    for (std::uint64_t t : {0, 100, 200, 300}) {
        rig.router.dispatch(press(100, 50, t));
        rig.router.dispatch(release(100, 50, t + 20));
    }
    EXPECT_EQ(rig.doubleClicks, 2) << "four quick clicks are two double-clicks";
}

TEST(Views, AutoresizingLayoutHitTestingAndCoordinates) {
    auto root = std::make_shared<NSView>(NSMakeRect(0, 0, 400, 300));
    auto fill = std::make_shared<Flipped>(NSMakeRect(0, 0, 400, 300));
    fill->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
    auto fixed = std::make_shared<NSView>(NSMakeRect(10, 20, 30, 40));
    root->addSubview(fill);
    fill->addSubview(fixed);
    int layouts = 0;
    fill->setDidLayoutHandler([&] { ++layouts; });
    root->layoutSubtreeIfNeeded();
    EXPECT_EQ(layouts, 1);
    root->layoutSubtreeIfNeeded();
    EXPECT_EQ(layouts, 1) << "no size change, no layout";

    root->setFrameSize({600, 500});
    EXPECT_EQ(fill->frame(), NSMakeRect(0, 0, 600, 500)) << "mask 18 follows the parent's size";
    EXPECT_EQ(fixed->frame(), NSMakeRect(10, 20, 30, 40)) << "no mask, no change";
    root->layoutSubtreeIfNeeded();
    EXPECT_EQ(layouts, 2) << "layout runs after every size change";

    // In the flipped parent the child sits 20 points below the top.
    EXPECT_EQ(fixed->rectInWindow(), NSMakeRect(10, 20, 30, 40));
    EXPECT_EQ(root->hitTest({15, 25}), fixed.get());
    EXPECT_EQ(root->hitTest({5, 25}), fill.get());
    EXPECT_EQ(root->hitTest({700, 25}), nullptr);
    // A point in the not-flipped child counts from its bottom edge.
    EXPECT_EQ(fixed->convertPointFromWindow({15, 25}), (NSPoint{5, 35}));

    // Flexible margins and width share a change in proportion to their
    // lengths, and equally when all three are zero.
    const auto flexible = [](NSRect parentFrame, NSRect frame, NSSize grown) {
        auto parent = std::make_shared<NSView>(parentFrame), child = std::make_shared<NSView>(frame);
        child->setAutoresizingMask(NSViewMinXMargin | NSViewWidthSizable | NSViewMaxXMargin);
        parent->addSubview(child);
        parent->setFrameSize(grown);
        return child->frame();
    };
    EXPECT_EQ(flexible(NSMakeRect(0, 0, 600, 10), NSMakeRect(100, 0, 200, 10), {900, 10}), NSMakeRect(150, 0, 300, 10));
    EXPECT_EQ(flexible(NSMakeRect(0, 0, 0, 10), NSMakeRect(0, 0, 0, 10), {90, 10}), NSMakeRect(30, 0, 30, 10));
}

TEST(Menus, AKeyFindsTheItemOfThatKeyInAnySubmenuAndNoKeyFindsNothing) {
    int quits = 0;
    NSMenu main;
    auto top = std::make_shared<NSMenuItem>(), other = std::make_shared<NSMenuItem>();
    auto sub = std::make_shared<NSMenu>();
    const auto quit = sub->addItemWithTitle("Quit", [&] { ++quits; }, "q");
    top->setSubmenu(sub);
    main.addItem(other);
    main.addItem(top);
    EXPECT_EQ(main.itemForKeyEquivalent("q"), quit);
    for (const char* key : {"", "Q", "w", "qq"}) EXPECT_EQ(main.itemForKeyEquivalent(key), nullptr) << "'" << key << "'";
}

TEST(Images, ResourcesByNameSizesAndDrawingHandlers) {
    platform::testing::TempFolder folder;
    folder.write("Pointer.svg",
                 R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="20"><rect width="20" height="20" fill="#f00"/></svg>)");
    auto bundle = Bundle::atPath(folder.path());
    auto image = NSImage::imageForResource(bundle, "Pointer");
    ASSERT_TRUE(image) << "found by name without extension";
    EXPECT_EQ(image->size(), (NSSize{40, 20}));
    EXPECT_FALSE(NSImage::imageForResource(bundle, "Pointer.svg")) << "the name never carries the extension";
    EXPECT_FALSE(NSImage::imageForResource(bundle, "Missing"));

    image->setSize({80, 10});
    auto bitmap = image->CGImageForProposedRect();
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->width(), 80) << "the size is the drawing size";
    EXPECT_EQ(bitmap->height(), 10);
    EXPECT_EQ(pixelAt(*bitmap, 20, 5), (testpixels::Pixel{255, 0, 0, 255})) << "stretched, left half red";
    EXPECT_EQ(pixelAt(*bitmap, 60, 5).a, 0);

    int calls = 0;
    auto handler = NSImage::imageWithSize({10, 10}, false, [&](NSRect rect) {
        ++calls;
        EXPECT_EQ(rect, NSMakeRect(0, 0, 10, 10));
        NSColorSetFill(NSColor::whiteColor());
        NSBezierPath::bezierPathWithOvalInRect(NSMakeRect(0, 0, 10, 5)).fill();
        return true;
    });
    EXPECT_FALSE(handler->drawInRect(NSMakeRect(0, 0, 10, 10))) << "no current context: nothing drawn";
    EXPECT_EQ(calls, 0);
    auto drawn = handler->CGImageForProposedRect();
    ASSERT_TRUE(drawn);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(handler->CGImageForProposedRect() == nullptr, false);
    EXPECT_EQ(calls, 2) << "drawn afresh each time";
    EXPECT_EQ(pixelAt(*drawn, 5, 8).a, 255) << "origin bottom-left: the oval fills the lower half";
    EXPECT_EQ(pixelAt(*drawn, 5, 2).a, 0);
    EXPECT_FALSE(NSImage::imageWithSize({10, 10}, true, [](NSRect) { return false; })->CGImageForProposedRect());
}

namespace {

/// A flipped view that records the pointer crossing it and the wheel.
struct Hoverable : Flipped {
    using Flipped::Flipped;
    std::vector<std::string> heard;
    void mouseEntered(const NSEvent&) override { heard.push_back("entered"); }
    void mouseExited(const NSEvent&) override { heard.push_back("exited"); }
};

} // namespace

TEST(Gestures, ThePointerEntersAndLeavesViewsAndWheelNotchesGoUpTheTree) {
    auto root = std::make_shared<Hoverable>(NSMakeRect(0, 0, 200, 100));
    auto child = std::make_shared<Hoverable>(NSMakeRect(50, 20, 100, 60));
    root->addSubview(child);
    unsigned flags = 0;
    auto pan = std::make_shared<NSPanGestureRecognizer>([&](NSGestureRecognizer& r) { flags = r.modifierFlags(); });
    child->addGestureRecognizer(pan);
    NSEventRouter router{root};
    const auto at = [](NSEvent::Type type, double x, unsigned modifiers = 0) {
        NSEvent event{type, 1, {x, 50}, 0};
        event.modifierFlags = modifiers;
        return event;
    };
    router.dispatch(at(NSEvent::Type::mouseMoved, 10));
    router.dispatch(at(NSEvent::Type::mouseMoved, 60));
    router.dispatch(at(NSEvent::Type::mouseMoved, 70));
    EXPECT_EQ(root->heard, (std::vector<std::string>{"entered", "exited"}));
    EXPECT_EQ(child->heard, (std::vector<std::string>{"entered"})) << "once, however far it moves inside";

    // A drag keeps the pointer with its view until the release, which comes
    // after the view hears the pointer left.
    router.dispatch(at(NSEvent::Type::mouseDown, 70));
    router.dispatch(at(NSEvent::Type::mouseDragged, 190, NSEventModifierFlagShift));
    EXPECT_EQ(flags, NSEventModifierFlagShift) << "the recognizer knows the keys held";
    EXPECT_EQ(child->heard.size(), 1u);
    router.dispatch(at(NSEvent::Type::mouseUp, 190));
    EXPECT_EQ(child->heard, (std::vector<std::string>{"entered", "exited"}));
    EXPECT_EQ(pan->state(), NSGestureRecognizerState::possible);
    router.dispatch(at(NSEvent::Type::mouseExited, 190));
    EXPECT_EQ(root->heard.back(), "exited");

    // The base view hands a wheel notch to its parent; the root drops it.
    struct Wheel : Flipped {
        using Flipped::Flipped;
        double notches = 0;
        void scrollWheel(const NSEvent& event) override { notches += event.scrollingDeltaY; }
    };
    auto wheelRoot = std::make_shared<Wheel>(NSMakeRect(0, 0, 200, 100));
    wheelRoot->addSubview(std::make_shared<NSView>(NSMakeRect(50, 20, 100, 60)));
    NSEventRouter wheelRouter{wheelRoot};
    NSEvent notch{NSEvent::Type::scrollWheel, 0, {60, 50}, 0};
    notch.scrollingDeltaY = -1;
    wheelRouter.dispatch(notch);
    EXPECT_EQ(wheelRoot->notches, -1);
}

TEST(Compositor, ALayerChangeMarksOnlyItsViewAndDrawingAtScaleIsSharp) {
    auto root = std::make_shared<Flipped>(NSMakeRect(0, 0, 100, 100));
    root->setWantsLayer(true);
    root->layer()->setBackgroundColor(NSColor{0.4, 0.2, 0.6, 1.0});
    auto box = std::make_shared<Flipped>(NSMakeRect(20, 30, 40, 20));
    box->setWantsLayer(true);
    auto inner = CALayer::layer();
    box->layer()->addSublayer(inner);
    root->addSubview(box);
    auto first = snapshotViewTree(*root, {100, 100});
    EXPECT_FALSE(root->needsDisplayRect()) << "drawing clears the marks";
    const auto changes = uiChangeCount();
    inner->setBackgroundColor(NSColor::whiteColor());
    inner->setBounds(NSMakeRect(0, 0, 40, 20));
    inner->setPosition({20, 10});
    EXPECT_EQ(uiChangeCount(), changes) << "not a change of the whole tree";
    ASSERT_TRUE(root->needsDisplayRect());
    EXPECT_EQ(*root->needsDisplayRect(), NSMakeRect(20, 30, 40, 20));

    // Drawn into the first picture, only the marked rectangle changes.
    cairo_t* context = cairo_create(first->surface());
    drawViewTree(*root, context, NSMakeRect(20, 30, 20, 20));
    cairo_destroy(context);
    EXPECT_EQ(pixelAt(*first, 30, 40), (testpixels::Pixel{255, 255, 255, 255}));
    EXPECT_EQ(pixelAt(*first, 50, 40), (testpixels::Pixel{102, 51, 153, 255})) << "outside the clip";

    // At scale 2 a picture file is rendered at twice its pixels, not stretched.
    platform::testing::TempFolder folder;
    folder.write("Half.svg",
                 R"(<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20"><rect width="10" height="20" fill="#fff"/></svg>)");
    auto half = NSImage::imageForResource(Bundle::atPath(folder.path()), "Half");
    ASSERT_TRUE(half);
    inner->setContents(half->CGImageForProposedRect(2.0));
    inner->setBackgroundColor(std::nullopt);
    inner->setBounds(NSMakeRect(0, 0, 20, 20));
    auto sharp = snapshotViewTree(*root, {100, 100}, 2.0);
    ASSERT_TRUE(sharp);
    EXPECT_EQ(sharp->width(), 200);
    EXPECT_EQ(root->backingScaleFactor(), 2.0);
    // The box's layer sits at (20, 30); its picture's white half ends 10
    // points (20 pixels) in.
    EXPECT_EQ(pixelAt(*sharp, 2 * 30 + 19, 2 * 40), (testpixels::Pixel{255, 255, 255, 255}));
    EXPECT_EQ(pixelAt(*sharp, 2 * 30 + 20, 2 * 40), (testpixels::Pixel{102, 51, 153, 255}));
    EXPECT_EQ(half->CGImageForProposedRect(2.0), half->CGImageForProposedRect(2.0)) << "rendered once per pixel size";
}

// A view owns its left and top edges and not its right and bottom ones, so
// two views side by side never both take the point on their shared edge.
TEST(Views, HitTestingAtEachOfTheFourEdges) {
    auto root = std::make_shared<Flipped>(NSMakeRect(0, 0, 100, 100));
    auto left = std::make_shared<NSView>(NSMakeRect(10, 20, 30, 40));
    auto right = std::make_shared<NSView>(NSMakeRect(40, 20, 30, 40));
    root->addSubview(left);
    root->addSubview(right);
    EXPECT_EQ(root->hitTest({10, 30}), left.get()) << "left edge";
    EXPECT_EQ(root->hitTest({9.999, 30}), root.get());
    EXPECT_EQ(root->hitTest({20, 20}), left.get()) << "top edge";
    EXPECT_EQ(root->hitTest({20, 19.999}), root.get());
    EXPECT_EQ(root->hitTest({40, 30}), right.get()) << "the shared edge is the right view's left edge";
    EXPECT_EQ(root->hitTest({39.999, 30}), left.get());
    EXPECT_EQ(root->hitTest({70, 30}), root.get()) << "right edge";
    EXPECT_EQ(root->hitTest({69.999, 30}), right.get());
    EXPECT_EQ(root->hitTest({20, 60}), root.get()) << "bottom edge";
    EXPECT_EQ(root->hitTest({20, 59.999}), left.get());
    EXPECT_EQ(root->hitTest({100, 50}), nullptr) << "the window's own right edge";
    EXPECT_EQ(root->hitTest({0, 0}), root.get());
}
