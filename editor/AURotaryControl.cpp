#include "editor/AURotaryControl.h"

namespace orvane {

using platform::CATransaction;
using platform::NSGestureRecognizer;
using platform::NSGestureRecognizerState;
using platform::NSImage;
using platform::NSRect;
using platform::NSSize;

namespace {

// The divisor that turns the drag's radians into degrees: one 32-bit step
// below the nearest 32-bit value of pi, as the knob's feel was tuned with it.
constexpr float kDragPi = 3.1415925f;
// Length of a unit vector's component along the up-right diagonal.
constexpr double kHalfSqrt2 = 0.7071067811865476;
constexpr double kPi = 3.141592653589793;

platform::CGImageRef bitmapOf(const std::shared_ptr<NSImage>& image, double scale) {
    return image ? image->CGImageForProposedRect(scale) : nullptr;
}

// The fallback pictures draw on demand, so they come out sharp at any scale.
std::shared_ptr<NSImage> defaultUnderlayImage(NSSize size) {
    return NSImage::imageWithSize(size, false, [size](NSRect) {
        platform::NSColorSetFill(platform::NSColor::darkGrayColor());
        platform::NSBezierPath::bezierPathWithOvalInRect({{2.0, 2.0}, {size.width - 4.0, size.height - 4.0}}).fill();
        return true;
    });
}

} // namespace

AURotaryControl::AURotaryControl(NSRect frame) : platform::NSView(frame) { configureLayersAndGestures(); }

AURotaryControl::~AURotaryControl() {
    // Scheduled tasks hold this control; they must not outlive it (nor the
    // module that holds its code).
    platform::MainQueue::shared().cancel(wheelRest_);
    platform::MainQueue::shared().cancel(readoutLinger_);
}

void AURotaryControl::configureLayersAndGestures() {
    setWantsLayer(true);
    layer()->addSublayer(underlayLayer_);
    // The readout covers the dial face's name, under the pointer.
    layer()->addSublayer(readoutLayer_);
    layer()->addSublayer(overlayLayer_);
    // The control owns its recognizers, so they never outlive it.
    addGestureRecognizer(std::make_shared<platform::NSPanGestureRecognizer>(
        [this](NSGestureRecognizer& recognizer) { handleDrag(recognizer); }));
    auto doubleClick = std::make_shared<platform::NSClickGestureRecognizer>(
        [this](NSGestureRecognizer& recognizer) { handleDoubleClick(recognizer); });
    doubleClick->setNumberOfClicksRequired(2);
    addGestureRecognizer(std::move(doubleClick));
    updateLayers();
}

void AURotaryControl::setValue(float v) {
    float c = upperBound < v ? upperBound : v;
    c = lowerBound <= c ? c : lowerBound;
    if (c == _value) return;
    _value = c;
    updateRotation();
    updateReadout();
    if (onValueChanged) onValueChanged();
}

float AURotaryControl::angleForCurrentValue() const {
    const float turned = (_value - lowerBound) * (highAngle - lowAngle);
    return lowAngle + turned / (upperBound - lowerBound);
}

float AURotaryControl::valueForAngle(float angle) const {
    float a = lowAngle <= angle ? angle : lowAngle;
    a = a < highAngle ? a : highAngle;
    const float span = (a - lowAngle) * (upperBound - lowerBound);
    return lowerBound + span / (highAngle - lowAngle);
}

void AURotaryControl::updateRotation() {
    const double radians = static_cast<double>(angleForCurrentValue()) * kPi / 180.0;
    CATransaction::begin();
    CATransaction::setDisableActions(true);
    overlayLayer_->setTransform(platform::CATransform3DMakeRotation(radians, 0.0, 0.0, 1.0));
    CATransaction::commit();
}

void AURotaryControl::layout() {
    platform::NSView::layout();
    updateLayers();
}

void AURotaryControl::updateLayers() {
    const NSRect box = bounds();
    const double w = box.size.width, h = box.size.height;
    if (!(w > 0.0 && h > 0.0)) return;
    const platform::NSPoint centre{box.midX(), box.midY()};
    const double scale = backingScaleFactor();

    CATransaction::begin();
    CATransaction::setDisableActions(true);
    underlayLayer_->setBounds(box);
    underlayLayer_->setPosition(centre);
    underlayLayer_->setContents(
        bitmapOf(underlayImageProvider ? underlayImageProvider(w, h) : defaultUnderlayImage({w, h}), scale));
    readoutLayer_->setBounds(box);
    readoutLayer_->setPosition(centre);
    overlayLayer_->setBounds(box);
    overlayLayer_->setPosition(centre);
    overlayLayer_->setContents(
        bitmapOf(overlayImageProvider ? overlayImageProvider(w, h) : defaultOverlayImage({w, h}), scale));
    CATransaction::commit();
    updateRotation();
    updateReadout();
}

std::shared_ptr<NSImage> AURotaryControl::defaultOverlayImage(NSSize size) {
    // Drawing coordinates of this image start bottom-left.
    return NSImage::imageWithSize(size, false, [size](NSRect) {
        platform::NSColorSetStroke(platform::NSColor::whiteColor());
        platform::NSBezierPath line;
        line.setLineWidth(2.0);
        line.moveToPoint({size.width * 0.5, size.height * 0.5});
        line.lineToPoint({size.width * 0.5, 4.0});
        line.stroke();
        return true;
    });
}

void AURotaryControl::setShowsReadout(bool shows) {
    platform::MainQueue::shared().cancel(readoutLinger_);
    readoutLinger_ = 0;
    if (shows == showsReadout_) return;
    showsReadout_ = shows;
    updateReadout();
}

void AURotaryControl::updateReadout() {
    const NSSize size = bounds().size;
    const double scale = backingScaleFactor();
    if (!showsReadout_ || !readoutImageProvider || !(size.width > 0.0 && size.height > 0.0)) {
        if (readoutLayer_->contents()) readoutLayer_->setContents(nullptr);
        readoutValue_ = std::numeric_limits<float>::quiet_NaN();
        return;
    }
    if (readoutValue_ == _value && readoutSize_ == size && readoutScale_ == scale) return;
    readoutValue_ = _value;
    readoutSize_ = size;
    readoutScale_ = scale;
    readoutLayer_->setContents(bitmapOf(readoutImageProvider(size.width, size.height, _value), scale));
}

void AURotaryControl::mouseEntered(const platform::NSEvent&) {
    hovered_ = true;
    setShowsReadout(true);
}

void AURotaryControl::mouseExited(const platform::NSEvent&) {
    hovered_ = false;
    // A drag keeps the readout up until it ends.
    if (dragging_ || !showsReadout_) return;
    platform::MainQueue::shared().cancel(readoutLinger_);
    readoutLinger_ = platform::MainQueue::shared().enqueueAfter(readoutLingerTime, [this] {
        readoutLinger_ = 0;
        setShowsReadout(false);
    });
}

void AURotaryControl::beginGesture() {
    if (onGestureBegan) onGestureBegan();
}

void AURotaryControl::endGesture() {
    if (onGestureEnded) onGestureEnded();
}

void AURotaryControl::scrollWheel(const platform::NSEvent& event) {
    if (event.scrollingDeltaY == 0.0) return;
    if (!wheelGesture_) {
        wheelGesture_ = true;
        beginGesture();
    }
    const float step = (event.modifierFlags & platform::NSEventModifierFlagShift) ? fineWheelStep : wheelStep;
    setValue(_value + step * static_cast<float>(event.scrollingDeltaY) * (upperBound - lowerBound));
    platform::MainQueue::shared().cancel(wheelRest_);
    wheelRest_ = platform::MainQueue::shared().enqueueAfter(wheelRestTime, [this] {
        wheelRest_ = 0;
        endWheelGesture();
    });
}

void AURotaryControl::endWheelGesture() {
    platform::MainQueue::shared().cancel(wheelRest_);
    wheelRest_ = 0;
    if (!wheelGesture_) return;
    wheelGesture_ = false;
    endGesture();
}

void AURotaryControl::handleDrag(NSGestureRecognizer& recognizer) {
    switch (recognizer.state()) {
    case NSGestureRecognizerState::began:
        endWheelGesture();
        dragHome_ = strokeHome_ = angleForCurrentValue();
        strokeOrigin_ = lastTranslation_ = {};
        fineStroke_ = (recognizer.modifierFlags() & platform::NSEventModifierFlagShift) != 0;
        dragging_ = true;
        setShowsReadout(true);
        if (onDragBegan) onDragBegan();
        beginGesture();
        break;
    case NSGestureRecognizerState::changed: {
        const auto* pan = dynamic_cast<const platform::NSPanGestureRecognizer*>(&recognizer);
        if (!pan) break;
        const platform::NSPoint t = pan->translationInView(this);
        // Shift pressed or let go: the drag goes on from where the knob is,
        // at the new speed, without a jump.
        const bool fine = (recognizer.modifierFlags() & platform::NSEventModifierFlagShift) != 0;
        if (fine != fineStroke_) {
            strokeHome_ = angleForCurrentValue();
            strokeOrigin_ = lastTranslation_;
            fineStroke_ = fine;
        }
        lastTranslation_ = t;
        double d = ((t.x - strokeOrigin_.x) - (t.y - strokeOrigin_.y)) * kHalfSqrt2 / (bounds().size.width * speedFraction);
        if (fineStroke_) d *= fineDragFactor;
        const float turned = static_cast<float>(d) * 180.0f;
        setValue(valueForAngle(strokeHome_ + turned / kDragPi));
        break;
    }
    case NSGestureRecognizerState::ended:
    case NSGestureRecognizerState::cancelled:
        if (recognizer.state() == NSGestureRecognizerState::cancelled) setValue(valueForAngle(dragHome_));
        dragging_ = false;
        if (onDragEnded) onDragEnded();
        endGesture();
        // Ended away from the knob: its name comes back at once.
        if (!hovered_) setShowsReadout(false);
        break;
    default:
        break;
    }
}

void AURotaryControl::handleDoubleClick(NSGestureRecognizer&) {
    endWheelGesture();
    beginGesture();
    setValue(resetValue);
    endGesture();
}

} // namespace orvane
