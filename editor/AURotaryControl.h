#pragma once

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
#include <string>

namespace orvane {

/// The editor's knob: a square view showing a fixed dial face (the underlay)
/// and a pointer (the overlay) turned with the value, over a 320-degree
/// sweep. Dragging up or right raises the value, down or left lowers it, a
/// tenth as fast with Shift held; the mouse wheel steps it; a double-click
/// returns it to resetValue. While the pointer is over it or a drag lasts,
/// a readout of the value covers the name on the dial face.
///
/// It knows nothing of audio units: it calls its owner back when the value
/// changes, when a drag begins or ends, and when a gesture (a drag, a burst
/// of wheel notches, a double-click) begins or ends, so a host recording
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
    /// A burst of wheel notches is one gesture, over once the wheel rests
    /// this long.
    static constexpr std::chrono::milliseconds wheelRestTime{500};
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

    /// Positions the layers over the bounds and gives them images for the
    /// size, at the backing scale.
    void updateLayers();
    /// Whether the readout covers the dial face's name now.
    bool showsReadout() const { return showsReadout_; }
    /// Ends a burst of wheel notches now, if one is open.
    void endWheelGesture();

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
    float dragHome() const { return dragHome_; }

private:
    void configureLayersAndGestures();
    void updateRotation();
    float valueForAngle(float angle) const;
    void setShowsReadout(bool shows);
    void updateReadout();
    void beginGesture();
    void endGesture();

    std::int64_t _tag = -1;
    std::shared_ptr<platform::CALayer> underlayLayer_ = platform::CALayer::layer();
    std::shared_ptr<platform::CALayer> readoutLayer_ = platform::CALayer::layer();
    std::shared_ptr<platform::CALayer> overlayLayer_ = platform::CALayer::layer();
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
    /// The value, size and scale the readout layer shows; NaN for none.
    float readoutValue_ = std::numeric_limits<float>::quiet_NaN();
    platform::NSSize readoutSize_{};
    double readoutScale_ = 0.0;
    platform::MainQueue::ScheduledID wheelRest_ = 0;
    platform::MainQueue::ScheduledID readoutLinger_ = 0;
};

} // namespace orvane
