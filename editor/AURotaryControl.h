#pragma once

#include "platform/ui/Gesture.h"
#include "platform/ui/Image.h"
#include "platform/ui/Layer.h"
#include "platform/ui/View.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvane {

/// The editor's knob: a square view showing a fixed dial face (the underlay)
/// and a pointer (the overlay) turned with the value, over a 320-degree
/// sweep. Dragging up or right raises the value, down or left lowers it; a
/// double-click returns it to resetValue. It knows nothing of audio units: it
/// calls its owner back when the value changes or a drag begins or ends.
/// Main thread only.
class AURotaryControl : public platform::NSView {
public:
    using ImageProvider = std::function<std::shared_ptr<platform::NSImage>(double width, double height)>;
    using Callback = std::function<void()>;

    /// Fraction of the control's width a drag must travel along the up-right
    /// diagonal to turn the pointer by one radian.
    static constexpr double speedFraction = 0.25;

    explicit AURotaryControl(platform::NSRect frame);

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

    /// Positions both layers over the bounds and gives them fresh images.
    void updateLayers();

    /// The pointer's angle in degrees for the current value.
    float angleForCurrentValue() const;

    void handleDrag(platform::NSGestureRecognizer& recognizer);
    void handleDoubleClick(platform::NSGestureRecognizer& recognizer);

    /// A w x h transparent image with a white 2-point line from the centre to
    /// 4 points short of the bottom edge.
    static std::shared_ptr<platform::NSImage> defaultOverlayImage(platform::NSSize size);

    const platform::CALayer& underlayLayer() const { return *underlayLayer_; }
    const platform::CALayer& overlayLayer() const { return *overlayLayer_; }
    float dragHome() const { return dragHome_; }

private:
    void configureLayersAndGestures();
    void updateRotation();
    float valueForAngle(float angle) const;

    std::int64_t _tag = -1;
    std::shared_ptr<platform::CALayer> underlayLayer_ = platform::CALayer::layer();
    std::shared_ptr<platform::CALayer> overlayLayer_ = platform::CALayer::layer();
    float dragHome_ = 0.0f;
};

} // namespace orvane
