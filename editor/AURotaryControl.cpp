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

platform::CGImageRef bitmapOf(const std::shared_ptr<NSImage>& image) {
    return image ? image->CGImageForProposedRect() : nullptr;
}

std::shared_ptr<NSImage> defaultUnderlayImage(NSSize size) {
    auto image = NSImage::imageWithBlankSize(size);
    image->lockFocus();
    platform::NSColorSetFill(platform::NSColor::darkGrayColor());
    platform::NSBezierPath::bezierPathWithOvalInRect(
        {{2.0, 2.0}, {size.width - 4.0, size.height - 4.0}})
        .fill();
    image->unlockFocus();
    return image;
}

} // namespace

AURotaryControl::AURotaryControl(NSRect frame) : platform::NSView(frame) { configureLayersAndGestures(); }

void AURotaryControl::configureLayersAndGestures() {
    setWantsLayer(true);
    layer()->addSublayer(underlayLayer_);
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

    CATransaction::begin();
    CATransaction::setDisableActions(true);
    underlayLayer_->setBounds(box);
    underlayLayer_->setPosition(centre);
    underlayLayer_->setContents(
        bitmapOf(underlayImageProvider ? underlayImageProvider(w, h) : defaultUnderlayImage({w, h})));
    overlayLayer_->setBounds(box);
    overlayLayer_->setPosition(centre);
    overlayLayer_->setContents(
        bitmapOf(overlayImageProvider ? overlayImageProvider(w, h) : defaultOverlayImage({w, h})));
    CATransaction::commit();
    updateRotation();
}

std::shared_ptr<NSImage> AURotaryControl::defaultOverlayImage(NSSize size) {
    auto image = NSImage::imageWithBlankSize(size);
    image->lockFocus();
    platform::NSColorSetStroke(platform::NSColor::whiteColor());
    platform::NSBezierPath line;
    line.setLineWidth(2.0);
    // Drawing coordinates of an off-screen image start bottom-left.
    line.moveToPoint({size.width * 0.5, size.height * 0.5});
    line.lineToPoint({size.width * 0.5, 4.0});
    line.stroke();
    image->unlockFocus();
    return image;
}

void AURotaryControl::handleDrag(NSGestureRecognizer& recognizer) {
    switch (recognizer.state()) {
    case NSGestureRecognizerState::began:
        dragHome_ = angleForCurrentValue();
        if (onDragBegan) onDragBegan();
        break;
    case NSGestureRecognizerState::changed: {
        const auto* pan = dynamic_cast<const platform::NSPanGestureRecognizer*>(&recognizer);
        if (!pan) break;
        const platform::NSPoint t = pan->translationInView(this);
        const double d = (t.x - t.y) * kHalfSqrt2 / (bounds().size.width * speedFraction);
        const float turned = static_cast<float>(d) * 180.0f;
        setValue(valueForAngle(dragHome_ + turned / kDragPi));
        break;
    }
    case NSGestureRecognizerState::ended:
        if (onDragEnded) onDragEnded();
        break;
    case NSGestureRecognizerState::cancelled:
        setValue(valueForAngle(dragHome_));
        if (onDragEnded) onDragEnded();
        break;
    default:
        break;
    }
}

void AURotaryControl::handleDoubleClick(NSGestureRecognizer&) { setValue(resetValue); }

} // namespace orvane
