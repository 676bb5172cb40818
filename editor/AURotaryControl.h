#pragma once

#include "editor/KnobValueField.h"
#include "platform/foundation/MainQueue.h"
#include "platform/ui/Gesture.h"
#include "platform/ui/Image.h"
#include "platform/ui/Layer.h"
#include "platform/ui/View.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

/// The editor's knob: a square view showing a fixed dial face (the underlay)
/// and a pointer (the overlay) turned with the value, over a 320-degree
/// sweep. Dragging up or right raises the value, down or left lowers it, a
/// tenth as fast with Shift held; the mouse wheel steps it; a double-click
/// returns it to resetValue. While the pointer is over it, a drag lasts or
/// it has the keyboard focus (or always, when asked), a readout of the value
/// covers the name on the dial face.
///
/// It takes the keyboard focus when clicked, and shows it with a ring. Keys
/// step it (arrows a hundredth, a thousandth with Shift, Page Up and Down a
/// tenth), Home and End take it to its ends, Delete and Backspace to
/// resetValue; Enter, or a double-click with Ctrl held, opens a field on
/// the plaque to type an exact value into.
///
/// It knows nothing of audio units: it calls its owner back when the value
/// changes, when a drag begins or ends, and when a gesture (a drag, a burst
/// of wheel notches or of key presses, a double-click, a typed value) begins
/// or ends, so a host recording
/// automation can tell one pass from the next. Main thread only.
class AURotaryControl : public platform::NSView {
public:
    using ImageProvider = std::function<std::shared_ptr<platform::NSImage>(double width, double height)>;
    /// An image of the control's size that shows a value over the dial face.
    using ReadoutImageProvider =
        std::function<std::shared_ptr<platform::NSImage>(double width, double height, float value)>;
    using Callback = std::function<void()>;

    /// Fraction of the control's width a drag must travel along the up-right
    /// diagonal to turn the pointer by one radian.
    static constexpr double speedFraction = 0.25;
    /// With Shift held a drag turns the pointer this much as far.
    static constexpr double fineDragFactor = 0.1;
    /// One wheel notch, and one with Shift, as fractions of the range.
    static constexpr float wheelStep = 0.01f;
    static constexpr float fineWheelStep = 0.001f;
    /// One arrow key press, and one with Shift; one Page Up or Down.
    static constexpr float keyStep = 0.01f;
    static constexpr float fineKeyStep = 0.001f;
    static constexpr float pageKeyStep = 0.1f;
    /// A burst of wheel notches or key presses (a held key's repeats among
    /// them) is one gesture, over once they rest this long.
    static constexpr std::chrono::milliseconds wheelRestTime{500};
    /// While a key is held its gesture stays open this long between
    /// presses, so the wait before its repeats begin does not end it; its
    /// release starts the rest above.
    static constexpr std::chrono::milliseconds heldKeyRestTime{1500};
    /// The readout stays this long after the pointer leaves.
    static constexpr std::chrono::milliseconds readoutLingerTime{1000};

    explicit AURotaryControl(platform::NSRect frame);
    ~AURotaryControl() override;

    float lowerBound = 0.0f;
    float upperBound = 1.0f;
    float resetValue = 0.0f;
    /// The knob's name; stored only, never drawn.
    std::string label;
    ImageProvider underlayImageProvider;
    ImageProvider overlayImageProvider;
    float lowAngle = -160.0f;
    float highAngle = 160.0f;
    Callback onValueChanged;
    Callback onDragBegan;
    Callback onDragEnded;
    /// Called before the first value change of a gesture, and after its last.
    Callback onGestureBegan;
    Callback onGestureEnded;
    /// Makes the readout; none: the dial face keeps its name.
    ReadoutImageProvider readoutImageProvider;
    /// The readout's words for a value, which the value field opens with,
    /// and the value a typed text names (nothing: refused). Without them
    /// the field does not open.
    std::function<std::string(float)> readoutText;
    std::function<std::optional<float>(std::string_view)> valueFromText;
    /// The stored value. Writing it directly changes the value without
    /// notification; the pointer follows at the next updateLayers.
    float _value = 0.0f;

    float value() const { return _value; }
    /// Clamps to the bounds (NaN becomes lowerBound); a changed value turns
    /// the pointer and calls onValueChanged.
    void setValue(float v);

    std::int64_t tag() const { return _tag; }
    void setTag(std::int64_t tag) { _tag = tag; }

    bool isFlipped() const override { return true; }
    void layout() override;
    void mouseEntered(const platform::NSEvent& event) override;
    void mouseExited(const platform::NSEvent& event) override;
    /// Up and down notches step the value (Shift: finely); sideways ones do
    /// nothing.
    void scrollWheel(const platform::NSEvent& event) override;
    void viewDidChangeBackingProperties() override { updateLayers(); }
    bool acceptsFirstResponder() const override { return true; }
    /// The keys above; any other goes on to the panel.
    bool keyDown(const platform::NSKeyEvent& event) override;
    void keyUp(const platform::NSKeyEvent& event) override;
    void becomeFirstResponder() override { updateFocus(); }
    void resignFirstResponder() override { updateFocus(); }

    /// Positions the layers over the bounds and gives them images for the
    /// size, at the backing scale.
    void updateLayers();
    /// Whether the readout covers the dial face's name now.
    bool showsReadout() const { return showsReadout_; }
    /// Ends a burst of wheel notches or key presses now, if one is open.
    void endWheelGesture();
    /// Shows the readout always, not only while pointed at or focused.
    void setAlwaysShowsReadout(bool always);
    bool alwaysShowsReadout() const { return alwaysShowsReadout_; }
    /// Whether the keys go to this knob, or to its value field.
    bool hasKeyFocus() const;

    /// Opens the value field on the plaque, with the readout's words, and
    /// gives it the keys; does nothing when it is open or cannot open.
    void openValueField();
    /// Closes it without taking its text; the knob keeps the keys.
    void closeValueField();
    /// The open field, or null.
    KnobValueField* valueField() const { return valueField_.get(); }
    /// Where the field opens: over the plaque of the dial faces, in the
    /// control's own coordinates.
    platform::NSRect valueFieldFrame() const;

    /// The pointer's angle in degrees for the current value.
    float angleForCurrentValue() const;

    void handleDrag(platform::NSGestureRecognizer& recognizer);
    void handleDoubleClick(platform::NSGestureRecognizer& recognizer);

    /// A w x h transparent image with a white 2-point line from the centre to
    /// 4 points short of the bottom edge.
    static std::shared_ptr<platform::NSImage> defaultOverlayImage(platform::NSSize size);

    const platform::CALayer& underlayLayer() const { return *underlayLayer_; }
    const platform::CALayer& overlayLayer() const { return *overlayLayer_; }
    const platform::CALayer& readoutLayer() const { return *readoutLayer_; }
    const platform::CALayer& focusLayer() const { return *focusLayer_; }
    float dragHome() const { return dragHome_; }

private:
    void configureLayersAndGestures();
    void updateRotation();
    float valueForAngle(float angle) const;
    void setShowsReadout(bool shows);
    void updateReadout();
    void beginGesture();
    void endGesture();
    /// One step of a burst: opens its gesture when none is, restarts its
    /// rest.
    void stepInBurst(float value, std::chrono::milliseconds rest = wheelRestTime);
    void restartBurstRest(std::chrono::milliseconds rest);
    void updateFocus();
    void updateFocusRing();
    bool commitValueField(const std::string& text);

    std::int64_t _tag = -1;
    std::shared_ptr<platform::CALayer> underlayLayer_ = platform::CALayer::layer();
    std::shared_ptr<platform::CALayer> readoutLayer_ = platform::CALayer::layer();
    std::shared_ptr<platform::CALayer> overlayLayer_ = platform::CALayer::layer();
    std::shared_ptr<platform::CALayer> focusLayer_ = platform::CALayer::layer();
    std::shared_ptr<KnobValueField> valueField_;
    /// The angle the drag began at; a cancelled drag returns there.
    float dragHome_ = 0.0f;
    /// Where the drag goes on from since Shift last changed: the angle, the
    /// translation, and whether it is fine.
    float strokeHome_ = 0.0f;
    platform::NSPoint strokeOrigin_{};
    platform::NSPoint lastTranslation_{};
    bool fineStroke_ = false;
    bool dragging_ = false;
    bool hovered_ = false;
    bool wheelGesture_ = false;
    bool showsReadout_ = false;
    bool focused_ = false;
    /// The stepping key held down, 0 for none.
    std::uint32_t heldKey_ = 0;
    bool alwaysShowsReadout_ = false;
    /// The value, size and scale the readout layer shows; NaN for none.
    float readoutValue_ = std::numeric_limits<float>::quiet_NaN();
    platform::NSSize readoutSize_{};
    double readoutScale_ = 0.0;
    platform::MainQueue::ScheduledID wheelRest_ = 0;
    platform::MainQueue::ScheduledID readoutLinger_ = 0;
};

} // namespace orvane
