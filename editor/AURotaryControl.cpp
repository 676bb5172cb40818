#include "editor/AURotaryControl.h"

#include <X11/keysym.h>

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
    layer()->addSublayer(focusLayer_);
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
    focusLayer_->setBounds(box);
    focusLayer_->setPosition(centre);
    CATransaction::commit();
    updateFocusRing();
    if (valueField_) valueField_->setFrame(valueFieldFrame());
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
    shows = shows || focused_ || alwaysShowsReadout_;
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
    const float step = (event.modifierFlags & platform::NSEventModifierFlagShift) ? fineWheelStep : wheelStep;
    stepInBurst(_value + step * static_cast<float>(event.scrollingDeltaY) * (upperBound - lowerBound));
}

void AURotaryControl::stepInBurst(float value, std::chrono::milliseconds rest) {
    if (!wheelGesture_) {
        wheelGesture_ = true;
        beginGesture();
    }
    setValue(value);
    restartBurstRest(rest);
}

void AURotaryControl::restartBurstRest(std::chrono::milliseconds rest) {
    platform::MainQueue::shared().cancel(wheelRest_);
    wheelRest_ = platform::MainQueue::shared().enqueueAfter(rest, [this] {
        wheelRest_ = 0;
        endWheelGesture();
    });
}

void AURotaryControl::endWheelGesture() {
    platform::MainQueue::shared().cancel(wheelRest_);
    wheelRest_ = 0;
    heldKey_ = 0;
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

void AURotaryControl::handleDoubleClick(NSGestureRecognizer& recognizer) {
    if (recognizer.modifierFlags() & platform::NSEventModifierFlagControl) {
        openValueField();
        return;
    }
    endWheelGesture();
    beginGesture();
    setValue(resetValue);
    endGesture();
}

bool AURotaryControl::keyDown(const platform::NSKeyEvent& event) {
    if (event.control || event.alt) return platform::NSView::keyDown(event);
    const float range = upperBound - lowerBound;
    const float arrow = (event.shift ? fineKeyStep : keyStep) * range;
    const auto step = [&](float value) {
        heldKey_ = event.keysym;
        stepInBurst(value, heldKeyRestTime);
        return true;
    };
    switch (event.keysym) {
    case XK_Up:
    case XK_KP_Up:
    case XK_Right:
    case XK_KP_Right: return step(_value + arrow);
    case XK_Down:
    case XK_KP_Down:
    case XK_Left:
    case XK_KP_Left: return step(_value - arrow);
    case XK_Page_Up:
    case XK_KP_Page_Up: return step(_value + pageKeyStep * range);
    case XK_Page_Down:
    case XK_KP_Page_Down: return step(_value - pageKeyStep * range);
    case XK_Home:
    case XK_KP_Home: return step(lowerBound);
    case XK_End:
    case XK_KP_End: return step(upperBound);
    case XK_Delete:
    case XK_KP_Delete:
    case XK_BackSpace: return step(resetValue);
    case XK_Return:
    case XK_KP_Enter:
        openValueField();
        return true;
    default:
        return platform::NSView::keyDown(event);
    }
}

void AURotaryControl::keyUp(const platform::NSKeyEvent& event) {
    if (heldKey_ == 0 || event.keysym != heldKey_) return platform::NSView::keyUp(event);
    heldKey_ = 0;
    if (wheelGesture_) restartBurstRest(wheelRestTime);
}

bool AURotaryControl::hasKeyFocus() const {
    const platform::NSView* responder = firstResponder();
    return responder && (responder == this || responder == valueField_.get());
}

void AURotaryControl::updateFocus() {
    const bool focused = hasKeyFocus();
    if (focused == focused_) return;
    focused_ = focused;
    // Keys pressed here are over once the focus moves on.
    if (!focused) endWheelGesture();
    updateFocusRing();
    setShowsReadout(hovered_ || dragging_);
}

void AURotaryControl::setAlwaysShowsReadout(bool always) {
    if (always == alwaysShowsReadout_) return;
    alwaysShowsReadout_ = always;
    setShowsReadout(hovered_ || dragging_);
}

void AURotaryControl::updateFocusRing() {
    const NSRect box = bounds();
    if (!focused_ || !(box.size.width > 0.0 && box.size.height > 0.0)) {
        if (focusLayer_->contents()) focusLayer_->setContents(nullptr);
        return;
    }
    // A light rounded square around the whole knob, edged in dark so it
    // shows on any panel colour.
    const NSSize size = box.size;
    auto ring = NSImage::imageWithSize(size, true, [size](NSRect) {
        cairo_t* context = platform::NSGraphicsContext::currentContext()->CGContext();
        const double line = std::max(1.5, size.width / 60.0), r = size.width * 0.12;
        const double x0 = line, y0 = line, x1 = size.width - line, y1 = size.height - line;
        cairo_new_path(context);
        cairo_arc(context, x0 + r, y0 + r, r, kPi, 1.5 * kPi);
        cairo_arc(context, x1 - r, y0 + r, r, 1.5 * kPi, 2.0 * kPi);
        cairo_arc(context, x1 - r, y1 - r, r, 0.0, 0.5 * kPi);
        cairo_arc(context, x0 + r, y1 - r, r, 0.5 * kPi, kPi);
        cairo_close_path(context);
        cairo_set_source_rgba(context, 15 / 255.0, 10 / 255.0, 23 / 255.0, 0.8);
        cairo_set_line_width(context, line * 2.0);
        cairo_stroke_preserve(context);
        cairo_set_source_rgba(context, 246 / 255.0, 240 / 255.0, 1.0, 1.0);
        cairo_set_line_width(context, line);
        cairo_stroke(context);
        return true;
    });
    CATransaction::begin();
    CATransaction::setDisableActions(true);
    focusLayer_->setContents(bitmapOf(ring, backingScaleFactor()));
    CATransaction::commit();
}

NSRect AURotaryControl::valueFieldFrame() const {
    // The faces' plaque spans 4 to 196 across and 172 to 196 down, in their
    // 200 units; the field is at least 16 points high, to be read.
    const NSSize size = bounds().size;
    const double height = std::max(size.height * 0.12, 16.0);
    return {{size.width * 0.02, size.height * 0.98 - height}, {size.width * 0.96, height}};
}

void AURotaryControl::openValueField() {
    if (valueField_ || !readoutText || !valueFromText) return;
    endWheelGesture();
    valueField_ = std::make_shared<KnobValueField>(valueFieldFrame(), readoutText(_value));
    valueField_->onCommit = [this](const std::string& text) { return commitValueField(text); };
    valueField_->onCancel = [this] {
        closeValueField();
        makeFirstResponder(this);
    };
    // Focus went elsewhere: the field goes, untaken.
    valueField_->onResign = [this] {
        closeValueField();
        updateFocus();
    };
    addSubview(valueField_);
    makeFirstResponder(valueField_.get());
    updateFocus();
}

void AURotaryControl::closeValueField() {
    if (!valueField_) return;
    // The field may be running one of its callbacks: whoever sent it the
    // key holds it until that is over, and once out of the tree it gets no
    // more.
    auto field = std::move(valueField_);
    field->removeFromSuperview();
    setNeedsDisplay(true);
}

bool AURotaryControl::commitValueField(const std::string& text) {
    const std::optional<float> v = valueFromText ? valueFromText(text) : std::nullopt;
    if (!v) return false;
    closeValueField();
    makeFirstResponder(this);
    beginGesture();
    setValue(*v);
    endGesture();
    return true;
}

} // namespace orvane
