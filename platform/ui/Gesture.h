#pragma once

#include "platform/ui/Geometry.h"

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class NSView;

/// Keys held during a pointer event, as bits.
enum NSEventModifierFlags : unsigned {
    NSEventModifierFlagShift = 1u << 17,
    NSEventModifierFlagControl = 1u << 18,
    NSEventModifierFlagOption = 1u << 19,
};

/// A pointer event as a window backend reports it: where, in the root view's
/// top-left coordinates (points), and when, in milliseconds. mouseMoved is a
/// motion with no button held, mouseExited the pointer leaving the window.
struct NSEvent {
    enum class Type { mouseDown, mouseDragged, mouseUp, mouseMoved, mouseExited, scrollWheel };
    Type type = Type::mouseDown;
    /// 1 is the left (primary) button.
    int button = 1;
    NSPoint locationInWindow{};
    std::uint64_t timestampMs = 0;
    /// NSEventModifierFlags held at the time of the event.
    unsigned modifierFlags = 0;
    /// scrollWheel only: wheel notches, positive up (away from the user) and
    /// to the right.
    double scrollingDeltaX = 0.0;
    double scrollingDeltaY = 0.0;
};

/// A key press as a window backend reports it.
struct NSKeyEvent {
    /// The X keysym (XK_q, XK_Escape...), case folded to lower case for letters.
    std::uint32_t keysym = 0;
    bool control = false;
    bool shift = false;
    bool alt = false;
    /// The text the key types, UTF-8; empty for function keys.
    std::string characters;
};

enum class NSGestureRecognizerState { possible, began, changed, ended, cancelled, failed };

/// Turns a view's pointer events into a gesture and calls its action at every
/// step the gesture reports. The view owns its recognizers; the window routes
/// a button press to the recognizers of the view under the pointer and of its
/// ancestors, and every later motion and release to the same recognizers.
/// Main thread only.
class NSGestureRecognizer {
public:
    using Action = std::function<void(NSGestureRecognizer&)>;

    explicit NSGestureRecognizer(Action action) : action_(std::move(action)) {}
    virtual ~NSGestureRecognizer() = default;
    NSGestureRecognizer(const NSGestureRecognizer&) = delete;
    NSGestureRecognizer& operator=(const NSGestureRecognizer&) = delete;

    NSGestureRecognizerState state() const { return state_; }
    NSView* view() const { return view_; }
    /// The keys held at the event the recognizer handled last.
    unsigned modifierFlags() const { return modifierFlags_; }

    /// Window routing: hands a button or drag event to the handler below.
    void handleEvent(const NSEvent& event);

    /// Window routing; the point is in window coordinates.
    virtual void mouseDown(const NSEvent& event) = 0;
    virtual void mouseDragged(const NSEvent& event) = 0;
    virtual void mouseUp(const NSEvent& event) = 0;
    /// The pointer was taken away mid-gesture (the window lost its grab).
    virtual void cancel() {}

protected:
    /// Sets the state and calls the action for began, changed, ended and
    /// cancelled.
    void setState(NSGestureRecognizerState state);

private:
    friend class NSView;
    Action action_;
    NSView* view_ = nullptr;
    NSGestureRecognizerState state_ = NSGestureRecognizerState::possible;
    unsigned modifierFlags_ = 0;
};

/// A drag with the primary button: begins at the first motion with the button
/// held (no threshold; that motion is also the first change), changes with
/// every further motion, ends at the release.
class NSPanGestureRecognizer : public NSGestureRecognizer {
public:
    using NSGestureRecognizer::NSGestureRecognizer;

    /// The total movement since the button went down, in `view`'s coordinates
    /// (y downward in a flipped view, upward otherwise).
    NSPoint translationInView(const NSView* view) const;

    void mouseDown(const NSEvent& event) override;
    void mouseDragged(const NSEvent& event) override;
    void mouseUp(const NSEvent& event) override;
    void cancel() override;

private:
    bool pressed_ = false;
    NSPoint start_{};
    NSPoint current_{};
};

/// Clicks of the primary button: the action fires once when the release of
/// the numberOfClicksRequired-th press completes, where each press comes
/// within kMultiClickInterval of the last and within kMultiClickDistance
/// points of the first. Pointer motion between press and release beyond that
/// distance starts over.
class NSClickGestureRecognizer : public NSGestureRecognizer {
public:
    static constexpr std::uint64_t kMultiClickIntervalMs = 400;
    static constexpr double kMultiClickDistance = 4.0;

    using NSGestureRecognizer::NSGestureRecognizer;

    void setNumberOfClicksRequired(int clicks) { clicksRequired_ = clicks < 1 ? 1 : clicks; }
    int numberOfClicksRequired() const { return clicksRequired_; }

    void mouseDown(const NSEvent& event) override;
    void mouseDragged(const NSEvent& event) override;
    void mouseUp(const NSEvent& event) override;
    void cancel() override;

private:
    bool near(NSPoint point) const;
    int clicksRequired_ = 1;
    int presses_ = 0;
    bool pressed_ = false;
    NSPoint first_{};
    std::uint64_t lastPressMs_ = 0;
};

} // namespace platform
