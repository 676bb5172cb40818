// The editor: the knob's arithmetic fed synthetic gestures, the grid at every
// size, the two-way binding to the parameter tree in every connection order,
// and off-screen pictures checked by their pixels.

#include "artwork/KnobsStyleKit.h"
#include "editor/KnobReadout.h"
#include "editor/KnobValueField.h"
#include "editor/OrvaneAUViewControllerMac.h"
#include "engine/ControlCurves.h"
#include "platform/foundation/MainQueue.h"
#include "platform/ui/Compositor.h"
#include "tests/support/Pixels.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <cctype>
#include <cmath>
#include <limits>

using namespace platform;
using orvane::AURotaryControl;
using orvane::OrvaneAUViewControllerMac;
using testpixels::pixelAt;

namespace {

constexpr AudioComponentDescription kOrvane{fourCharCode("aufx"), fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0};
constexpr testpixels::Pixel kPanel{102, 51, 153, 255};

/// Runs the main queue until it is empty, or 100 rounds (a feedback loop).
std::size_t drain() {
    std::size_t ran = 0;
    for (int round = 0; round < 100; ++round) {
        const std::size_t batch = MainQueue::shared().runPending();
        if (batch == 0) break;
        ran += batch;
    }
    return ran;
}

/// A knob alone in a window-sized root, driven through the event router.
struct KnobRig {
    std::shared_ptr<NSView> root = std::make_shared<NSView>(NSMakeRect(0, 0, 100, 100));
    std::shared_ptr<AURotaryControl> knob = std::make_shared<AURotaryControl>(NSMakeRect(0, 0, 100, 100));
    NSEventRouter router{root};
    int changes = 0, began = 0, ended = 0;
    /// What the knob announced: 't' touch, 'v' a value, 'r' release.
    std::string gestures;

    explicit KnobRig(float value) {
        root->addSubview(knob);
        knob->_value = value;
        knob->resetValue = 0.5f;
        knob->onValueChanged = [this] { ++changes, gestures += 'v'; };
        knob->onDragBegan = [this] { ++began; };
        knob->onDragEnded = [this] { ++ended; };
        knob->onGestureBegan = [this] { gestures += 't'; };
        knob->onGestureEnded = [this] { gestures += 'r'; };
    }
    /// Presses in the middle and moves by (dx, dy) in screen points.
    void dragBy(double dx, double dy, bool finish = true, unsigned modifiers = 0) {
        router.dispatch({NSEvent::Type::mouseDown, 1, {50, 50}, 0, modifiers});
        router.dispatch({NSEvent::Type::mouseDragged, 1, {50 + dx, 50 + dy}, 10, modifiers});
        if (finish) router.dispatch({NSEvent::Type::mouseUp, 1, {50 + dx, 50 + dy}, 20, modifiers});
    }
    /// Wheel notches over the knob, up when positive; 6 and 7 are sideways.
    void scroll(double notchesUp, unsigned modifiers = 0, double sideways = 0) {
        router.dispatch({NSEvent::Type::scrollWheel, 0, {50, 50}, 0, modifiers, sideways, notchesUp});
    }
};

constexpr unsigned kShift = NSEventModifierFlagShift;

/// A key press; `typed` is the text it types.
NSKeyEvent key(std::uint32_t keysym, bool shift = false, std::string typed = {}, bool control = false) {
    NSKeyEvent event;
    event.keysym = keysym;
    event.shift = shift;
    event.control = control;
    event.characters = std::move(typed);
    return event;
}

class Editor : public ::testing::Test {
protected:
    void SetUp() override { drain(); }
    void TearDown() override { drain(); }

    std::shared_ptr<OrvaneAUViewControllerMac> controller = std::make_shared<OrvaneAUViewControllerMac>();
    std::shared_ptr<AUParameterTree> tree() { return controller->audioUnit()->parameterTree(); }
    /// How many observers of the controller a host change reaches.
    std::size_t observersReached() {
        drain();
        tree()->parameterWithAddress(5)->setValue(0.123f);
        const auto queued = MainQueue::shared().pendingCount();
        drain();
        return queued;
    }
    std::vector<float> knobValues() {
        std::vector<float> values;
        for (auto* knob : {&controller->premixKnob, &controller->granularityKnob, &controller->incoherenceKnob,
                           &controller->impatienceKnob, &controller->nauseaKnob, &controller->gravitasKnob})
            values.push_back((*knob)->value());
        return values;
    }
};

} // namespace

TEST(RotaryControl, ValuesClampTurnThePointerAndNotifyOnlyOnChange) {
    KnobRig rig(0.0f);
    AURotaryControl& knob = *rig.knob;
    for (auto [value, angle] : {std::pair{0.0f, -160.0f}, {0.25f, -80.0f}, {0.5f, 0.0f}, {1.0f, 160.0f}}) {
        knob._value = value;
        EXPECT_FLOAT_EQ(knob.angleForCurrentValue(), angle) << "value " << value;
    }
    knob._value = 0.3f;
    struct Case { float set, stored; int changes; };
    for (auto c : {Case{1.5f, 1.0f, 1}, Case{1.0f, 1.0f, 0}, Case{-0.2f, 0.0f, 1},
                   Case{std::numeric_limits<float>::quiet_NaN(), 0.0f, 0}, Case{0.7f, 0.7f, 1}}) {
        rig.changes = 0;
        knob.setValue(c.set);
        EXPECT_EQ(knob.value(), c.stored) << "set " << c.set;
        EXPECT_EQ(rig.changes, c.changes) << "set " << c.set;
    }
    // The overlay turns clockwise with the value; the underlay never turns.
    knob.setValue(0.75f);
    const auto& m = knob.overlayLayer().transform().m;
    EXPECT_NEAR(m[0][0], std::cos(80.0 * std::numbers::pi / 180), 1e-6);
    EXPECT_NEAR(m[0][1], std::sin(80.0 * std::numbers::pi / 180), 1e-6);
    EXPECT_EQ(knob.underlayLayer().transform().m[0][1], 0.0);
}

TEST(RotaryControl, DragsFollowTheUpRightDiagonalFromWhereTheyBegan) {
    struct Case { const char* what; float from; double dx, dy; float expected; };
    for (auto c : {Case{"straight up from the middle", 0.5f, 0, -50, 0.753214f},
                   Case{"straight up from the bottom", 0.0f, 0, -50, 0.253214f},
                   Case{"one radian to the right", 0.5f, 35.3553, 0, 0.679049f},
                   Case{"the other diagonal", 0.3f, 20, 20, 0.3f},
                   Case{"far down holds at the bottom", 0.5f, 0, 300, 0.0f},
                   Case{"far up holds at the top", 0.5f, 0, -300, 1.0f}}) {
        KnobRig rig(c.from);
        rig.dragBy(c.dx, c.dy);
        EXPECT_NEAR(rig.knob->value(), c.expected, 2e-6) << c.what;
        EXPECT_EQ(rig.began, 1) << c.what;
        EXPECT_EQ(rig.ended, 1) << c.what;
        EXPECT_EQ(rig.gestures, c.expected == c.from ? "tr" : "tvr") << c.what << ": one gesture around the values";
    }
    KnobRig rig(0.5f);
    rig.dragBy(0, -300, false);
    rig.router.dispatch({NSEvent::Type::mouseDragged, 1, {50, 60}, 15});
    EXPECT_NEAR(rig.knob->value(), 0.449357f, 2e-6) << "back from past the end: no slack";
    rig.changes = 0;
    rig.router.cancel();
    EXPECT_EQ(rig.knob->value(), 0.5f) << "a cancelled drag returns to where it began";
    EXPECT_EQ(rig.changes, 1);
    EXPECT_EQ(rig.ended, 1);
    EXPECT_EQ(rig.gestures, "tvvvr") << "and still ends its gesture (a window closing mid-drag)";

    KnobRig clicks(0.9f);
    for (std::uint64_t t : {0, 100}) {
        clicks.router.dispatch({NSEvent::Type::mouseDown, 1, {50, 50}, t});
        clicks.router.dispatch({NSEvent::Type::mouseUp, 1, {50, 50}, t + 20});
        EXPECT_EQ(clicks.knob->value(), t == 0 ? 0.9f : 0.5f) << "a single click does nothing, a double resets";
    }
    EXPECT_EQ(clicks.began + clicks.ended, 0) << "a double-click is no drag";
    EXPECT_EQ(clicks.gestures, "tvr") << "but a gesture of its own";
}

TEST(RotaryControl, ShiftTurnsItATenthAsFarWithoutAJumpAndWheelNotchesStepAHundredthOrAThousandthAsOneGesture) {
    KnobRig fine(0.0f);
    fine.dragBy(0, -50, true, kShift);
    EXPECT_NEAR(fine.knob->value(), 0.0253214f, 2e-6) << "50 points up from 0";

    KnobRig rig(0.0f);
    rig.router.dispatch({NSEvent::Type::mouseDown, 1, {50, 50}, 0});
    rig.router.dispatch({NSEvent::Type::mouseDragged, 1, {50, 25}, 10});
    const float plain = rig.knob->value();
    EXPECT_NEAR(plain, 0.126607f, 2e-6);
    rig.router.dispatch({NSEvent::Type::mouseDragged, 1, {50, 25}, 15, kShift});
    EXPECT_EQ(rig.knob->value(), plain) << "Shift alone moves nothing";
    rig.router.dispatch({NSEvent::Type::mouseDragged, 1, {50, 0}, 20, kShift});
    EXPECT_NEAR(rig.knob->value(), plain + 0.0126607f, 2e-6);
    rig.router.dispatch({NSEvent::Type::mouseDragged, 1, {50, -25}, 30});
    EXPECT_NEAR(rig.knob->value(), plain + 0.0126607f + 0.126607f, 4e-6) << "full speed again from there";

    KnobRig wheel(0.0f);
    for (int i = 0; i < 3; ++i) wheel.scroll(1);
    EXPECT_NEAR(wheel.knob->value(), 0.03f, 1e-6);
    wheel.scroll(-1, kShift);
    EXPECT_NEAR(wheel.knob->value(), 0.029f, 1e-6);
    wheel.scroll(0, 0, -1);
    wheel.scroll(0, 0, 1);
    EXPECT_NEAR(wheel.knob->value(), 0.029f, 1e-6) << "sideways notches (buttons 6, 7) do nothing";
    EXPECT_EQ(wheel.gestures, "tvvvv") << "one burst, open while the wheel turns";
    EXPECT_TRUE(MainQueue::shared().runUntil([&] { return wheel.gestures.back() == 'r'; }, std::chrono::seconds(5)))
        << "ended once the wheel rests";
    EXPECT_EQ(wheel.gestures, "tvvvvr");

    KnobRig top(0.995f), bottom(0.0005f);
    top.scroll(1), top.scroll(1);
    bottom.scroll(-1, kShift), bottom.scroll(-1);
    EXPECT_EQ(top.knob->value(), 1.0f);
    EXPECT_EQ(bottom.knob->value(), 0.0f);
    top.dragBy(0, 1);
    EXPECT_EQ(top.gestures, "tvrtvr") << "a drag ends the burst before it begins";
}

TEST(KnobReadout, EachKnobSaysWhatTheEngineSetsAtBothEndsAndTheMiddle) {
    using namespace orvane::curves;
    // The number a text shows, in the unit it names, and how far rounding
    // may take it: a tenth below 10, whole numbers above.
    const auto shown = [](const std::string& text, double expected, const std::string& what) {
        const auto digit = text.find_first_of("0123456789");
        ASSERT_NE(digit, std::string::npos) << what << ": " << text;
        EXPECT_NEAR(std::stod(text.substr(digit)), expected, expected < 9.95 ? 0.0501 : 0.501) << what << ": " << text;
    };
    struct Row { const char* unit; double (*quantity)(float); };
    const Row rows[] = {{"% wet", [](float v) { return 100.0 * wetShare(v); }},
                        {" ms", [](float v) { return 2000.0 * streamDepthSeconds(v); }},
                        {" ms", [](float v) { return 1000.0 * streamSpreadSeconds(v); }},
                        {"%", [](float v) { return 100.0 * streamFeedback(v); }},
                        {" ms", [](float v) { return 1000.0 * outputWanderSeconds(v); }},
                        {" s", [](float v) { return double(reverbDecaySeconds(v)); }}};
    for (AUParameterAddress a = 0; a < 6; ++a) {
        for (float v : {0.0f, 0.5f, 1.0f}) {
            const auto readout = orvane::knobReadout(a, v);
            const std::string what = "address " + std::to_string(a) + " at " + std::to_string(v);
            if (a == 5) {
                const double hz = filterCutoffHz(v);
                const bool kilo = readout.detail.ends_with(" kHz");
                EXPECT_TRUE(kilo || readout.detail.ends_with(" Hz")) << readout.detail;
                shown(readout.detail, kilo ? hz / 1000.0 : hz, what + ", filter corner");
                if (reverbShare(v) == 0.0f) {
                    EXPECT_EQ(readout.text.find_first_of("0123456789"), std::string::npos) << "no reverberation, no decay";
                    continue;
                }
            }
            EXPECT_TRUE(readout.text.ends_with(rows[a].unit)) << what << ": " << readout.text;
            shown(readout.text, rows[a].quantity(v), what);
        }
    }
    EXPECT_EQ(orvane::knobReadout(6, 0.5f).text, "");
}

TEST(KnobReadout, EveryReadoutReadsBackAsTypedWithOrWithoutItsWordAndUnit) {
    using orvane::knobReadout;
    using orvane::knobValueFromText;
    // Without its word, in capitals and without spaces: "DEPTH4.5MS", "4.5MS".
    const auto variants = [](const std::string& text) {
        std::string bare = text.substr(text.find_first_of("0123456789"));
        if (bare.ends_with(" wet")) bare.resize(bare.size() - 4);
        std::vector<std::string> all{text, bare};
        for (std::string& s : all) {
            std::string squeezed;
            for (char c : s)
                if (c != ' ') squeezed += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            s = squeezed;
        }
        all.push_back(text);
        return all;
    };
    // The same words and the same number: "0.0 ms", a hair above 0, reads
    // back as 0.
    const auto sameReadout = [](const std::string& a, const std::string& b) {
        const auto split = [](const std::string& text) {
            const auto digit = text.find_first_of("0123456789");
            if (digit == std::string::npos) return std::pair{text, -1.0};
            const auto end = text.find_first_not_of("0123456789.", digit);
            return std::pair{text.substr(0, digit) + text.substr(end), std::stod(text.substr(digit))};
        };
        return split(a) == split(b);
    };
    for (AUParameterAddress a = 0; a < 6; ++a) {
        for (int i = 0; i <= 1000; ++i) {
            const float v = float(i) / 1000.0f;
            const std::string text = knobReadout(a, v).text;
            for (const std::string& typed : text == "no reverb" ? std::vector{text} : variants(text)) {
                const auto read = knobValueFromText(a, typed);
                ASSERT_TRUE(read) << a << ": '" << typed << "' from " << v;
                EXPECT_TRUE(sameReadout(knobReadout(a, *read).text, text)) << a << ": '" << typed << "' from " << v;
            }
        }
    }
    struct Typed { AUParameterAddress address; const char* text; const char* readout; };
    for (const Typed& t : {Typed{5, "4.5 s", "decay 4.5 s"}, {5, "4.5", "decay 4.5 s"}, {5, "4500ms", "decay 4.5 s"},
                           {5, "0.5 s", "decay 0.5 s"}, {5, " No  Reverb ", "no reverb"}, {5, "off", "no reverb"},
                           {2, "30 ms", "spread 30 ms"}, {2, "0.03 s", "spread 30 ms"}, {2, "30.4", "spread 30 ms"},
                           {0, "62%", "62% wet"}, {0, "0.62", "62% wet"}, {0, "62", "62% wet"}, {0, "wet 62 %", "62% wet"},
                           {0, "1", "100% wet"}, {3, "feedback 49%", "feedback 49%"}, {3, "0.49", "feedback 49%"},
                           {4, "wander 120 ms", "wander 120 ms"}, {1, "Depth 50 ms", "depth 50 ms"}, {1, ".5", "depth 0.5 ms"}})
        EXPECT_EQ(knobReadout(t.address, knobValueFromText(t.address, t.text).value_or(-1.0f)).text, t.readout) << t.text;
    EXPECT_EQ(knobValueFromText(3, "feedback 98%"), 1.0f) << "the top readout, half a step above the top";
    EXPECT_EQ(knobValueFromText(2, "30 ms"), 1.0f);
    EXPECT_EQ(knobValueFromText(0, "0%"), 0.0f);
    EXPECT_EQ(knobValueFromText(5, "no reverb"), 0.0f);
    EXPECT_GT(*knobValueFromText(5, "decay 0.5 s"), 0.0f) << "a decay keeps the reverberation on";
    EXPECT_NEAR(orvane::curves::filterCutoffHz(*knobValueFromText(5, "1 kHz")), 1000.0, 0.01) << "the filter corner";
    EXPECT_NEAR(orvane::curves::filterCutoffHz(*knobValueFromText(5, "440hz")), 440.0, 0.01);

    for (const Typed& refused : {Typed{2, "31 ms", "out of range"}, {3, "feedback 99%", ""}, {3, "1", "100% feedback"},
                                 {5, "0.4 s", ""}, {5, "11 s", ""}, {0, "-1%", ""}, {0, "101%", ""}, {5, "100 Hz", ""},
                                 {0, "30 ms", "unknown unit"}, {2, "30 %", ""}, {2, "30 kg", ""}, {4, "2 Hz", ""},
                                 {0, "", "empty"}, {0, "   ", ""}, {1, "abc", "garbage"}, {1, "4,5", ""}, {1, "4.5.1", ""},
                                 {1, "inf", ""}, {1, "nan", ""}, {1, "ms", ""}, {1, "decay 4 ms", "another knob's word"},
                                 {5, "decay 1 kHz", ""}, {1, "4 5", ""}, {6, "0.5", "no such knob"}})
        EXPECT_FALSE(knobValueFromText(refused.address, refused.text)) << refused.address << ": '" << refused.text << "'";
}

TEST_F(Editor, TheGridScalesWithThePanelAndWidensOrStandsTall) {
    struct Case { double w, h, size, gapX, gapY; bool tall; };
    auto view = controller->view();
    for (auto c : {Case{420, 280, 100, 30, 80.0 / 3, false}, Case{280, 420, 100, 80.0 / 3, 30, true},
                   Case{280, 336, 75, 13.75, 62, false}, Case{280, 337, 87, (280 - 174) / 3.0, (337 - 261) * 0.25, true},
                   Case{600, 400, 144, 42, 112.0 / 3, false}, Case{1000, 200, 80, 190, 40.0 / 3, false},
                   Case{20, 20, 8, -1, 4.0 / 3, false}}) {
        view->setFrameSize({c.w, c.h});
        view->layoutSubtreeIfNeeded();
        EXPECT_EQ(controller->knobSize, c.size) << c.w << "x" << c.h;
        const auto knobs = controller->knobsInLayoutOrder();
        for (int i = 0; i < 6; ++i) {
            const int columns = c.tall ? 2 : 3, column = i % columns, row = i / columns;
            const NSRect expected{{c.gapX + (c.gapX + c.size) * column, c.gapY + (c.gapY + c.size) * row},
                                  {c.size, c.size}};
            const NSRect frame = knobs[i]->frame();
            EXPECT_NEAR(frame.origin.x, expected.origin.x, 1e-9) << c.w << "x" << c.h << " knob " << i;
            EXPECT_NEAR(frame.origin.y, expected.origin.y, 1e-9) << c.w << "x" << c.h << " knob " << i;
            EXPECT_EQ(frame.size, expected.size);
        }
    }
    EXPECT_EQ(controller->knobsInLayoutOrder()[0], controller->granularityKnob);
    EXPECT_EQ(controller->knobsInLayoutOrder()[4], controller->premixKnob);
    const auto before = controller->premixKnob->frame();
    view->setFrameSize({0, 300});
    view->layoutSubtreeIfNeeded();
    EXPECT_EQ(controller->premixKnob->frame(), before) << "an empty panel moves nothing";
    EXPECT_EQ(controller->preferredContentSize(), (NSSize{420, 280}));
}

TEST_F(Editor, KnobsAndParametersFollowEachOtherAndTheEchoEndsAtTheKnob) {
    controller->view();
    EXPECT_EQ(knobValues(), (std::vector<float>{0.5f, 0, 0, 0.5f, 0, 0})) << "first values before a unit";
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    drain();
    auto parameters = tree();
    for (int a = 0; a < 6; ++a) EXPECT_EQ(knobValues()[a], parameters->parameterWithAddress(a)->value());

    int writes = 0;
    parameters->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++writes; });
    controller->nauseaKnob->setValue(0.8f);
    EXPECT_EQ(parameters->parameterWithAddress(4)->value(), 0.8f);
    EXPECT_EQ(drain(), 1u);
    EXPECT_EQ(writes, 1) << "the echo back to the knob writes nothing";

    writes = 0;
    parameters->parameterWithAddress(1)->setValue(0.4f);
    drain();
    EXPECT_EQ(controller->granularityKnob->value(), 0.4f) << "a host change moves the knob";
    EXPECT_EQ(writes, 2) << "which writes the same value back once";
    EXPECT_EQ(drain(), 0u);

    // Two moves before the main queue runs: the first one's echo is stale by
    // then and must not turn the knob back (the two would chase each other).
    writes = 0;
    controller->nauseaKnob->setValue(0.2f);
    controller->nauseaKnob->setValue(0.3f);
    drain();
    EXPECT_EQ(MainQueue::shared().pendingCount(), 0u);
    EXPECT_EQ(controller->nauseaKnob->value(), 0.3f);
    EXPECT_EQ(writes, 2);

    writes = 0;
    controller->applyParameterValue(6, 1.0f);
    controller->applyParameterValue(1, 0.4f);
    EXPECT_EQ(writes, 0) << "unknown addresses and shown values change nothing";
    controller->applyParameterValue(1, 1.7f);
    EXPECT_EQ(parameters->parameterWithAddress(1)->value(), 1.0f) << "a clamped value is written back";

    // A queued change for a controller that is gone does nothing.
    parameters->parameterWithAddress(2)->setValue(0.9f);
    std::weak_ptr<OrvaneAUViewControllerMac> watch = controller;
    auto unit = controller->audioUnit();
    controller.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_GT(drain(), 0u);
}

TEST_F(Editor, EveryConnectionOrderBindsTheKnobs) {
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    drain();
    controller->view();
    EXPECT_EQ(observersReached(), 1u) << "factory first, view later";

    controller = std::make_shared<OrvaneAUViewControllerMac>();
    controller->view();
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    drain();
    EXPECT_EQ(observersReached(), 1u) << "view first, factory later";
    EXPECT_EQ(controller->gravitasKnob->value(), 0.123f);

    controller = std::make_shared<OrvaneAUViewControllerMac>();
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    controller->view();
    EXPECT_EQ(observersReached(), 2u) << "both connect: two observers, the second delivery a no-op";

    auto first = tree();
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    drain();
    EXPECT_NE(tree(), first);
    EXPECT_EQ(observersReached(), 1u) << "a second factory call binds the new unit";
}

TEST_F(Editor, AMissingTreeOrParameterLeavesKnobsShowingTheirFallbacks) {
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    drain();
    std::vector<std::shared_ptr<AUParameter>> children;
    for (AUParameterAddress a : {0, 1, 2, 4, 5}) {
        children.push_back(AUParameterTree::createParameter("p" + std::to_string(a), "P", a, 0, 1, 0, {}, 0, {}, {}));
        children.back()->setValue(0.25f);
    }
    auto partial = AUParameterTree::createTree(children);
    controller->audioUnit()->setParameterTree(partial);
    controller->view();
    EXPECT_EQ(knobValues(), (std::vector<float>{0.25f, 0.25f, 0.25f, 0.5f, 0.25f, 0.25f}));
    controller->impatienceKnob->setValue(0.9f);
    EXPECT_EQ(controller->impatienceKnob->value(), 0.9f) << "the knob turns but writes nowhere";

    controller = std::make_shared<OrvaneAUViewControllerMac>();
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    controller->audioUnit()->setParameterTree(AUParameterTree::createTree({}));
    controller->view();
    drain();
    EXPECT_EQ(knobValues(), (std::vector<float>{0.5f, 0, 0, 0.5f, 0, 0})) << "an empty tree: every fallback";
    controller->premixKnob->setValue(1.0f);
    EXPECT_EQ(controller->premixKnob->value(), 1.0f);
}

TEST_F(Editor, SnapshotsShowThePanelTheKnobsInTheirBoxesAndPointersTurnedTheRightWay) {
    auto view = controller->view();
    for (NSSize size : {NSSize{420, 280}, NSSize{600, 400}, NSSize{280, 420}}) {
        auto image = snapshotViewTree(*view, size);
        ASSERT_TRUE(image);
        const int w = int(size.width), h = int(size.height);
        for (auto [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}})
            EXPECT_EQ(pixelAt(*image, x, y), kPanel) << size.width << "x" << size.height << " corner";
        for (const auto& knob : controller->knobsInLayoutOrder()) {
            const NSRect f = knob->frame();
            // The dial face fills the middle of the box; outside it lies the panel.
            EXPECT_LT(pixelAt(*image, int(f.midX() - f.size.width * 0.2), int(f.midY())).r, 80) << knob->label;
            EXPECT_EQ(pixelAt(*image, int(f.minX()) - 2, int(f.midY())), kPanel) << knob->label;
            EXPECT_EQ(pixelAt(*image, int(f.maxX()) + 1, int(f.midY())), kPanel) << knob->label;
        }
    }
    auto& knob = *controller->granularityKnob;
    const auto at = [&](float value) {
        knob.setValue(value);
        return snapshotViewTree(*view, {420, 280});
    };
    const auto middle = at(0.5f), lower = at(0.25f), higher = at(0.75f);
    const NSRect f = knob.frame();
    const int x = int(f.minX()), y = int(f.minY()), half = int(f.size.width / 2), side = int(f.size.width);
    // The upright pointer straddles the middle line, so moving away from it
    // changes some pixels on the other side too; most change on the side the
    // pointer turns to.
    const auto left = [&](const auto& other) { return testpixels::differingPixels(*middle, *other, x, y, half, side); };
    const auto right = [&](const auto& other) {
        return testpixels::differingPixels(*middle, *other, x + half, y, side - half, side);
    };
    EXPECT_GT(left(lower), 2 * right(lower)) << left(lower) << " changed on the left, " << right(lower) << " right";
    EXPECT_GT(right(higher), 2 * left(higher)) << right(higher) << " changed on the right, " << left(higher) << " left";
}

TEST(RotaryControl, WithoutProvidersItShowsAGreyDiscAndAWhitePointerDown) {
    auto root = std::make_shared<NSView>(NSMakeRect(0, 0, 100, 100));
    auto knob = std::make_shared<AURotaryControl>(NSMakeRect(0, 0, 100, 100));
    root->addSubview(knob);
    knob->setValue(0.5f);
    auto image = snapshotViewTree(*root, {100, 100});
    EXPECT_EQ(pixelAt(*image, 1, 50).a, 0) << "inset by 2 points";
    EXPECT_EQ(pixelAt(*image, 10, 50), (testpixels::Pixel{85, 85, 85, 255})) << "dark grey";
    EXPECT_EQ(pixelAt(*image, 50, 90), (testpixels::Pixel{255, 255, 255, 255})) << "the pointer line";
    EXPECT_EQ(pixelAt(*image, 50, 10), (testpixels::Pixel{85, 85, 85, 255}));
}

TEST_F(Editor, HoveringAKnobPutsItsValueOnThePlaqueUntilASecondAfterThePointerLeaves) {
    auto view = controller->view();
    const auto plain = snapshotViewTree(*view, {420, 280});
    const NSRect f = controller->granularityKnob->frame();
    // The plaque spans the bottom eighth of the box; the dial lies above it.
    const auto plaque = [&](const CGImage& image) {
        return testpixels::differingPixels(*plain, image, int(f.minX()), int(f.minY() + 0.86 * f.size.height),
                                           int(f.size.width), int(0.12 * f.size.height));
    };
    const auto dial = [&](const CGImage& image) {
        return testpixels::differingPixels(*plain, image, int(f.minX()), int(f.minY()), int(f.size.width),
                                           int(0.8 * f.size.height));
    };
    const auto now = [&] { return snapshotViewTree(*view, {420, 280}); };
    NSEventRouter router{view};
    router.dispatch({NSEvent::Type::mouseMoved, 0, {f.midX(), f.midY()}, 0});
    auto hovered = now();
    EXPECT_GT(plaque(*hovered), 300) << "the value covers the name";
    EXPECT_EQ(dial(*hovered), 0) << "and nothing else";
    router.dispatch({NSEvent::Type::mouseMoved, 0, {2, 2}, 10});
    EXPECT_EQ(plaque(*now()), plaque(*hovered)) << "it stays a moment after the pointer leaves";
    EXPECT_TRUE(MainQueue::shared().runUntil([&] { return plaque(*now()) == 0; }, std::chrono::seconds(5)))
        << "then the name comes back, exactly as it was";

    // A drag shows it wherever the pointer goes, and ending away from the
    // knob brings the name back at once.
    router.dispatch({NSEvent::Type::mouseDown, 1, {f.midX(), f.midY()}, 100});
    router.dispatch({NSEvent::Type::mouseDragged, 1, {2, 2}, 110});
    EXPECT_GT(plaque(*now()), 300);
    router.dispatch({NSEvent::Type::mouseUp, 1, {2, 2}, 120});
    EXPECT_GT(plaque(*now()), 300) << "the press focused the knob, which keeps its readout up";
    EXPECT_TRUE(router.dispatchKey(key(XK_Escape)));
    EXPECT_EQ(plaque(*now()), 0) << "Escape clears the focus, and the name comes back at once";
}

TEST_F(Editor, GesturesReachTheTreeAsTouchThenValuesThenRelease) {
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    auto view = controller->view();
    drain();
    std::string heard;
    tree()->tokenByAddingParameterAutomationObserver([&](NSInteger count, const AUParameterAutomationEvent* events) {
        for (NSInteger i = 0; i < count; ++i) heard += std::to_string(events[i].address) + "vtr"[events[i].eventType];
    });
    snapshotViewTree(*view, {420, 280});
    NSEventRouter router{view};
    // Granularity's box is (30, 80/3) to (130, 380/3).
    router.dispatch({NSEvent::Type::mouseDown, 1, {80, 77}, 0});
    router.dispatch({NSEvent::Type::mouseDragged, 1, {80, 52}, 10});
    router.dispatch({NSEvent::Type::mouseDragged, 1, {80, 27}, 20});
    router.dispatch({NSEvent::Type::mouseUp, 1, {80, 27}, 30});
    EXPECT_EQ(heard, "1t1v1v1r");

    heard.clear();
    for (std::uint64_t t : {1000, 1100}) {
        router.dispatch({NSEvent::Type::mouseDown, 1, {80, 77}, t});
        router.dispatch({NSEvent::Type::mouseUp, 1, {80, 77}, t + 20});
    }
    EXPECT_EQ(heard, "1t1v1r") << "a double-click";

    // The window closes in the middle of a drag.
    heard.clear();
    router.dispatch({NSEvent::Type::mouseDown, 1, {210, 77}, 2000});
    router.dispatch({NSEvent::Type::mouseDragged, 1, {210, 50}, 2010});
    router.cancel();
    EXPECT_EQ(heard, "2t2v2v2r") << "the drag is undone and its gesture ended";
    drain();
    EXPECT_EQ(heard, "2t2v2v2r") << "echoes of the knob's own writes are no gestures";
}

TEST(RotaryControl, AClickFocusesItAndKeysStepItAsOneGestureUntilTheyRest) {
    KnobRig rig(0.5f);
    EXPECT_FALSE(rig.router.dispatchKey(key(XK_Up))) << "no focus, no keys";
    rig.router.dispatch({NSEvent::Type::mouseDown, 1, {50, 50}, 0});
    rig.router.dispatch({NSEvent::Type::mouseUp, 1, {50, 50}, 10});
    ASSERT_TRUE(rig.knob->isFirstResponder()) << "a click focuses the knob";
    EXPECT_EQ(rig.gestures, "") << "and a click alone is no gesture";

    struct Step { NSKeyEvent key; float value; };
    const Step steps[] = {{key(XK_Up), 0.51f}, {key(XK_Right), 0.52f}, {key(XK_Down), 0.51f}, {key(XK_Left), 0.5f},
                          {key(XK_Up, true), 0.501f}, {key(XK_Left, true), 0.5f}, {key(XK_Page_Up), 0.6f},
                          {key(XK_Page_Down), 0.5f}, {key(XK_End), 1.0f}, {key(XK_Up), 1.0f}, {key(XK_Home), 0.0f},
                          {key(XK_Delete), 0.5f}, {key(XK_End), 1.0f}, {key(XK_BackSpace), 0.5f}};
    for (const Step& s : steps) {
        EXPECT_TRUE(rig.router.dispatchKey(s.key)) << s.key.keysym;
        rig.router.dispatchKeyUp(s.key);
        EXPECT_NEAR(rig.knob->value(), s.value, 1e-6) << s.key.keysym;
    }
    EXPECT_FALSE(rig.router.dispatchKey(key(XK_a, false, "a"))) << "other keys go on";
    EXPECT_EQ(rig.gestures, "t" + std::string(13, 'v')) << "one gesture, open while keys come; at an end, no change";
    EXPECT_TRUE(MainQueue::shared().runUntil([&] { return rig.gestures.back() == 'r'; }, std::chrono::seconds(5)))
        << "closed once they rest";

    // A held key: its first repeat comes after a pause longer than the rest.
    rig.gestures.clear();
    rig.router.dispatchKey(key(XK_Down));
    MainQueue::shared().runUntil([] { return false; }, std::chrono::milliseconds(700));
    rig.router.dispatchKey(key(XK_Down));
    rig.router.dispatchKey(key(XK_Down));
    rig.router.dispatchKeyUp(key(XK_Down));
    EXPECT_EQ(rig.gestures, "tvvv") << "held, it is still one gesture";
    EXPECT_TRUE(MainQueue::shared().runUntil([&] { return rig.gestures.back() == 'r'; }, std::chrono::seconds(5)));

    rig.router.dispatchKey(key(XK_Up));
    rig.root->makeFirstResponder(nullptr);
    EXPECT_EQ(rig.gestures.substr(rig.gestures.size() - 3), "tvr") << "the focus moving on ends the burst at once";
}

TEST_F(Editor, TabWalksTheKnobsInReadingOrderEscapeClearsAndTheFocusedKnobShowsARingAndItsReadout) {
    auto view = controller->view();
    NSEventRouter router{view};
    const auto focused = [&]() -> AURotaryControl* {
        for (const auto& knob : controller->knobsInLayoutOrder())
            if (knob->hasKeyFocus()) return knob.get();
        return nullptr;
    };
    for (NSSize size : {NSSize{420, 280}, NSSize{280, 420}}) {
        snapshotViewTree(*view, size);
        std::vector<AURotaryControl*> order;
        for (int i = 0; i < 7; ++i) {
            EXPECT_TRUE(router.dispatchKey(key(XK_Tab)));
            order.push_back(focused());
        }
        EXPECT_EQ(order.front(), controller->granularityKnob.get());
        EXPECT_EQ(order.back(), order.front()) << "round and round";
        for (int i = 1; i < 6; ++i) {
            const NSRect a = order[i - 1]->frame(), b = order[i]->frame();
            EXPECT_TRUE(a.origin.y < b.origin.y - 1 || (std::abs(a.origin.y - b.origin.y) < 1 && a.origin.x < b.origin.x))
                << "reading order at " << size.width << "x" << size.height << ", step " << i;
        }
        router.dispatchKey(key(XK_ISO_Left_Tab, true));
        EXPECT_EQ(focused(), order[5]) << "Shift+Tab goes back";
        router.dispatchKey(key(XK_Tab, true));
        EXPECT_EQ(focused(), order[4]);
        EXPECT_TRUE(router.dispatchKey(key(XK_Escape)));
        EXPECT_EQ(focused(), nullptr);
        EXPECT_FALSE(router.dispatchKey(key(XK_Escape))) << "nothing left to clear: Escape goes on";
    }

    const auto plain = snapshotViewTree(*view, {420, 280});
    router.dispatchKey(key(XK_Tab));
    const auto ring = snapshotViewTree(*view, {420, 280});
    const NSRect f = controller->granularityKnob->frame();
    EXPECT_GT(testpixels::differingPixels(*plain, *ring, int(f.minX()), int(f.minY() + 0.3 * f.size.height), 3,
                                          int(0.4 * f.size.height)),
              40)
        << "a ring along the box's edge";
    EXPECT_GT(testpixels::differingPixels(*plain, *ring, int(f.minX() + 10), int(f.minY() + 0.88 * f.size.height),
                                          int(f.size.width - 20), int(0.08 * f.size.height)),
              200)
        << "the readout on the plaque";
    const NSRect g = controller->incoherenceKnob->frame();
    EXPECT_EQ(testpixels::differingPixels(*plain, *ring, int(g.minX()), int(g.minY()), int(g.size.width),
                                          int(g.size.height)),
              0)
        << "the other knobs as they were";
}

TEST_F(Editor, EnterOpensAFieldWithTheReadoutWhoseTypedValueIsOneGestureAndWhichShakesAtWhatItCannotRead) {
    ASSERT_TRUE(controller->createAudioUnit(kOrvane));
    auto view = controller->view();
    drain();
    snapshotViewTree(*view, {420, 280});
    std::string heard;
    tree()->tokenByAddingParameterAutomationObserver([&](NSInteger count, const AUParameterAutomationEvent* events) {
        for (NSInteger i = 0; i < count; ++i) heard += std::to_string(events[i].address) + "vtr"[events[i].eventType];
    });
    NSEventRouter router{view};
    const auto type = [&](const std::string& text) {
        for (char c : text) router.dispatchKey(key(static_cast<unsigned char>(c), false, std::string(1, c)));
    };
    auto& gravitas = *controller->gravitasKnob;
    for (int i = 0; i < 4; ++i) router.dispatchKey(key(XK_Tab));
    ASSERT_TRUE(gravitas.hasKeyFocus());
    router.dispatchKey(key(XK_Return));
    ASSERT_TRUE(gravitas.valueField());
    EXPECT_EQ(gravitas.valueField()->text(), orvane::knobReadout(5, gravitas.value()).text);
    EXPECT_TRUE(gravitas.valueField()->allSelected());
    type("4.5 s");
    EXPECT_EQ(gravitas.valueField()->text(), "4.5 s") << "typing replaced the readout";
    router.dispatchKey(key(XK_Return));
    EXPECT_FALSE(gravitas.valueField());
    EXPECT_TRUE(gravitas.isFirstResponder()) << "the knob has the keys again";
    EXPECT_EQ(orvane::knobReadout(5, tree()->parameterWithAddress(5)->value()).text, "decay 4.5 s");
    EXPECT_EQ(heard, "5t5v5r");
    const float set = gravitas.value();

    heard.clear();
    router.dispatchKey(key(XK_Return));
    type("40 s");
    router.dispatchKey(key(XK_Return));
    ASSERT_TRUE(gravitas.valueField()) << "out of range: the field stays open";
    const double home = gravitas.valueFieldFrame().origin.x;
    EXPECT_TRUE(gravitas.valueField()->isShaking());
    EXPECT_TRUE(MainQueue::shared().runUntil([&] { return !gravitas.valueField()->isShaking(); }, std::chrono::seconds(5)));
    EXPECT_EQ(gravitas.valueField()->frame().origin.x, home) << "it comes to rest where it was";
    router.dispatchKey(key(XK_BackSpace));
    type("ms");
    EXPECT_EQ(gravitas.valueField()->text(), "40 ms");
    router.dispatchKey(key(XK_Return));
    EXPECT_TRUE(gravitas.valueField()) << "so is 40 ms";
    type("v");
    EXPECT_FALSE(controller->showsValues()) << "a letter typed is the field's, not the panel's";
    router.dispatchKey(key(XK_Escape));
    EXPECT_FALSE(gravitas.valueField());
    EXPECT_TRUE(gravitas.isFirstResponder()) << "Escape cancels the field, and keeps the focus";
    EXPECT_EQ(gravitas.value(), set);
    EXPECT_EQ(heard, "") << "nothing reached the host";

    // A double-click with Ctrl opens it on any knob; a plain one still resets.
    const NSRect f = controller->premixKnob->frame();
    controller->premixKnob->setValue(0.8f);
    for (std::uint64_t t : {1000, 1100}) {
        router.dispatch({NSEvent::Type::mouseDown, 1, {f.midX(), f.midY()}, t, NSEventModifierFlagControl});
        router.dispatch({NSEvent::Type::mouseUp, 1, {f.midX(), f.midY()}, t + 20, NSEventModifierFlagControl});
    }
    ASSERT_TRUE(controller->premixKnob->valueField());
    EXPECT_EQ(controller->premixKnob->valueField()->text(), "80% wet");
    EXPECT_EQ(controller->premixKnob->value(), 0.8f);
    router.dispatchKey(key(XK_Tab));
    EXPECT_FALSE(controller->premixKnob->valueField()) << "Tab leaves the field untaken";
    EXPECT_TRUE(controller->nauseaKnob->isFirstResponder());
    EXPECT_EQ(controller->premixKnob->value(), 0.8f);
}

TEST_F(Editor, VShowsEveryKnobsReadoutAtOnceUntilPressedAgain) {
    auto view = controller->view();
    const auto plain = snapshotViewTree(*view, {420, 280});
    NSEventRouter router{view};
    EXPECT_TRUE(router.dispatchKey(key(XK_v, false, "v")));
    EXPECT_TRUE(controller->showsValues());
    const auto shown = snapshotViewTree(*view, {420, 280});
    for (const auto& knob : controller->knobsInLayoutOrder()) {
        const NSRect f = knob->frame();
        EXPECT_GT(testpixels::differingPixels(*plain, *shown, int(f.minX() + 10), int(f.minY() + 0.88 * f.size.height),
                                              int(f.size.width - 20), int(0.08 * f.size.height)),
                  200)
            << knob->label;
        EXPECT_EQ(testpixels::differingPixels(*plain, *shown, int(f.minX()), int(f.minY()), int(f.size.width),
                                              int(0.8 * f.size.height)),
                  0)
            << knob->label << ": the dial as it was";
    }
    router.dispatchKey(key(XK_v, false, "v"));
    const auto again = snapshotViewTree(*view, {420, 280});
    EXPECT_EQ(testpixels::differingPixels(*plain, *again, 0, 0, 420, 280), 0) << "the names again";
}

TEST(KnobValueField, TheCaretMovesAndErasesWholeCharacters) {
    orvane::KnobValueField field({{0, 0}, {100, 16}}, "decay 4.5 s");
    const auto press = [&](std::uint32_t keysym, std::string typed = {}) { EXPECT_TRUE(field.keyDown(key(keysym, false, typed))); };
    press(XK_Right);
    EXPECT_FALSE(field.allSelected());
    EXPECT_EQ(field.caret(), 11u);
    press(XK_Left), press(XK_Left), press(XK_BackSpace);
    press(XK_2, "2"), press(XK_5, "5");
    EXPECT_EQ(field.text(), "decay 4.25 s");
    press(XK_Home), press(XK_Delete);
    press(XK_End), press(XK_Delete);
    EXPECT_EQ(field.text(), "ecay 4.25 s") << "Delete at the end erases nothing";
    press(0, "\u00b5"), press(XK_Left);
    EXPECT_EQ(field.caret(), 11u) << "over both bytes of the sign";
    press(XK_Right), press(XK_BackSpace);
    EXPECT_EQ(field.text(), "ecay 4.25 s");
    EXPECT_FALSE(field.keyDown(key(XK_q, false, "q", true))) << "Ctrl+Q is not the field's";
}

TEST_F(Editor, TheReadoutStaysThroughAWholeDragThatLeavesTheKnobLongerThanItsLinger) {
    auto view = controller->view();
    const auto plain = snapshotViewTree(*view, {420, 280});
    const NSRect f = controller->granularityKnob->frame();
    const auto plaque = [&] {
        return testpixels::differingPixels(*plain, *snapshotViewTree(*view, {420, 280}), int(f.minX()),
                                           int(f.minY() + 0.86 * f.size.height), int(f.size.width), int(0.12 * f.size.height));
    };
    const auto wait = [](int ms) { MainQueue::shared().runUntil([] { return false; }, std::chrono::milliseconds(ms)); };
    NSEventRouter router{view};
    router.dispatch({NSEvent::Type::mouseMoved, 0, {f.midX(), f.midY()}, 0});
    router.dispatch({NSEvent::Type::mouseDown, 1, {f.midX(), f.midY()}, 10});
    router.dispatch({NSEvent::Type::mouseDragged, 1, {2, 2}, 20});
    wait(int(AURotaryControl::readoutLingerTime.count()) + 300);
    EXPECT_GT(plaque(), 300) << "a linger's length after leaving the knob, still dragging";
    // The pointer leaves the window, as a drag may.
    router.dispatch({NSEvent::Type::mouseDragged, 1, {-5, f.midY()}, 1400});
    router.dispatch({NSEvent::Type::mouseExited, 1, {-5, f.midY()}, 1410});
    wait(int(AURotaryControl::readoutLingerTime.count()) + 300);
    EXPECT_GT(plaque(), 300) << "and after the pointer left the window";
    router.dispatch({NSEvent::Type::mouseUp, 1, {2, 2}, 2800});
    EXPECT_GT(plaque(), 300) << "ended away from the knob, which the press focused: its readout stays";
    router.dispatchKey(key(XK_Escape));
    EXPECT_EQ(plaque(), 0) << "the focus cleared away from the knob: the name at once";
}

// Every knob's readout at both ends, the middle and values between, at the
// knob size of every editor size: the text's ink lies inside its plaque.
/// Where the near-white text of a plaque image of `side` points lies: its
/// leftmost and rightmost columns and how many of its pixels fall outside the
/// plaque's text area (0.06 to 0.94 of the width, 0.86 to 0.98 of the height:
/// the plaque less its margins).
namespace {
struct Ink {
    int left = 0, right = -1, outside = 0;
};
Ink inkOf(const CGImage& image, double side) {
    Ink ink{int(side), -1, 0};
    const double x0 = 0.06 * side - 1.0, x1 = 0.94 * side + 1.0, y0 = 0.86 * side, y1 = 0.98 * side;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const auto p = testpixels::pixelAt(image, x, y);
            if (p.r < 200 || p.g < 200 || p.b < 200) continue; // the plaque's fill or its coloured edge
            ink.outside += !(x >= x0 && x <= x1 && y >= y0 && y <= y1);
            ink.left = std::min(ink.left, x), ink.right = std::max(ink.right, x);
        }
    return ink;
}
} // namespace

// Every knob's readout at 65 values, at the knob size of every editor size:
// the text stays inside its plaque.
TEST_F(Editor, EveryReadoutFitsItsPlaqueAtEveryEditorSize) {
    controller->view();
    int widest = 0;
    for (const double side : {8.0, 75.0, 80.0, 87.0, 100.0, 144.0, 300.0}) {
        const auto fits = [&](const std::shared_ptr<NSImage>& plaque, const std::string& what) {
            const auto image = plaque->CGImageForProposedRect();
            ASSERT_TRUE(image && image->width() == int(side) && image->height() == int(side)) << what;
            const Ink ink = inkOf(*image, side);
            EXPECT_EQ(ink.outside, 0) << what << ", " << side << " points: ink from " << ink.left << " to " << ink.right;
            if (side >= 75.0) {
                EXPECT_GE(ink.right, ink.left) << what << ": no text";
            }
            widest = std::max(widest, int(100.0 * (ink.right - ink.left + 1) / side));
        };
        for (const auto& knob : controller->knobsInLayoutOrder())
            for (int step = 0; step <= 64; ++step)
                fits(knob->readoutImageProvider(side, side, float(step) / 64.0f),
                     "knob " + std::to_string(knob->tag()) + " at " + std::to_string(step) + "/64");
    }
    EXPECT_GE(widest, 80) << "some readout fills most of the plaque's width";
}
