#include "platform/ui/Gesture.h"

#include "platform/ui/View.h"

#include <cmath>

namespace platform {

void NSGestureRecognizer::setState(NSGestureRecognizerState state) {
    state_ = state;
    switch (state) {
    case NSGestureRecognizerState::began:
    case NSGestureRecognizerState::changed:
    case NSGestureRecognizerState::ended:
    case NSGestureRecognizerState::cancelled:
        if (action_) action_(*this);
        break;
    default:
        break;
    }
}

void NSGestureRecognizer::handleEvent(const NSEvent& event) {
    modifierFlags_ = event.modifierFlags;
    switch (event.type) {
    case NSEvent::Type::mouseDown: mouseDown(event); break;
    case NSEvent::Type::mouseDragged: mouseDragged(event); break;
    case NSEvent::Type::mouseUp: mouseUp(event); break;
    default: break;
    }
}

NSPoint NSPanGestureRecognizer::translationInView(const NSView* view) const {
    const double dx = current_.x - start_.x, dy = current_.y - start_.y;
    const bool flipped = view ? view->isFlipped() : true;
    return {dx, flipped ? dy : -dy};
}

void NSPanGestureRecognizer::mouseDown(const NSEvent& event) {
    if (event.button != 1) return;
    pressed_ = true;
    start_ = current_ = event.locationInWindow;
    setState(NSGestureRecognizerState::possible);
}

void NSPanGestureRecognizer::mouseDragged(const NSEvent& event) {
    if (!pressed_) return;
    current_ = event.locationInWindow;
    if (state() == NSGestureRecognizerState::possible) setState(NSGestureRecognizerState::began);
    setState(NSGestureRecognizerState::changed);
}

void NSPanGestureRecognizer::mouseUp(const NSEvent& event) {
    if (!pressed_ || event.button != 1) return;
    pressed_ = false;
    const auto state = this->state();
    if (state == NSGestureRecognizerState::began || state == NSGestureRecognizerState::changed) {
        current_ = event.locationInWindow;
        setState(NSGestureRecognizerState::ended);
    }
    setState(NSGestureRecognizerState::possible);
}

void NSPanGestureRecognizer::cancel() {
    if (!pressed_) return;
    pressed_ = false;
    const auto state = this->state();
    if (state == NSGestureRecognizerState::began || state == NSGestureRecognizerState::changed) {
        setState(NSGestureRecognizerState::cancelled);
    }
    setState(NSGestureRecognizerState::possible);
}

bool NSClickGestureRecognizer::near(NSPoint point) const {
    return std::hypot(point.x - first_.x, point.y - first_.y) <= kMultiClickDistance;
}

void NSClickGestureRecognizer::mouseDown(const NSEvent& event) {
    if (event.button != 1) return;
    const bool continues = presses_ > 0 && event.timestampMs - lastPressMs_ <= kMultiClickIntervalMs &&
                           event.timestampMs >= lastPressMs_ && near(event.locationInWindow);
    if (!continues) {
        presses_ = 0;
        first_ = event.locationInWindow;
    }
    ++presses_;
    lastPressMs_ = event.timestampMs;
    pressed_ = true;
}

void NSClickGestureRecognizer::mouseDragged(const NSEvent& event) {
    if (pressed_ && !near(event.locationInWindow)) cancel();
}

void NSClickGestureRecognizer::mouseUp(const NSEvent& event) {
    if (!pressed_ || event.button != 1) return;
    pressed_ = false;
    if (presses_ < clicksRequired_) return;
    presses_ = 0;
    setState(NSGestureRecognizerState::ended);
    setState(NSGestureRecognizerState::possible);
}

void NSClickGestureRecognizer::cancel() {
    pressed_ = false;
    presses_ = 0;
}

} // namespace platform
