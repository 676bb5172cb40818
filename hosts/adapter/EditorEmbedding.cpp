#include "hosts/adapter/EditorEmbedding.h"

#include "platform/foundation/MainQueue.h"

#include <cmath>

namespace orvane::adapter {

ParameterMirror::ParameterMirror(std::shared_ptr<platform::AUAudioUnit> unit, Callbacks callbacks)
    : unit_(std::move(unit)), tree_(unit_->parameterTree()), listeners_(std::make_shared<Listeners>(Listeners{std::move(callbacks), false, {}})) {
    if (!tree_) return;
    // The editor binding its knobs sets them to the values they already have.
    for (const auto& parameter : tree_->allParameters()) listeners_->known[parameter->address()] = parameter->value();
    // The observer holds the callbacks, not this object: a notification
    // already under way when the mirror goes may still reach them.
    token_ = tree_->tokenByAddingParameterAutomationObserver(
        [listeners = listeners_](platform::NSInteger count, const platform::AUParameterAutomationEvent* events) {
            if (listeners->muted) return;
            const auto& callbacks = listeners->callbacks;
            for (platform::NSInteger i = 0; i < count; ++i) {
                const auto& event = events[i];
                if (event.eventType == platform::AUParameterAutomationEventTypeValue) {
                    auto known = listeners->known.find(event.address);
                    if (known != listeners->known.end() && known->second == event.value) continue;
                    listeners->known[event.address] = event.value;
                    if (callbacks.edited) callbacks.edited(event.address, event.value);
                } else if (callbacks.gesture) {
                    callbacks.gesture(event.address, event.eventType == platform::AUParameterAutomationEventTypeTouch);
                }
            }
        });
}

ParameterMirror::~ParameterMirror() {
    if (tree_ && token_) tree_->removeParameterObserverWithToken(token_);
}

void ParameterMirror::setFromHost(platform::AUParameterAddress address, float value) {
    listeners_->known[address] = value;
    if (auto parameter = tree_ ? tree_->parameterWithAddress(address) : nullptr) parameter->setValue(value, token_);
}

void ParameterMirror::applyFromHost(const std::function<void(platform::AUAudioUnit&)>& apply) {
    listeners_->muted = true;
    try {
        apply(*unit_);
    } catch (...) {
        listeners_->muted = false;
        throw;
    }
    listeners_->muted = false;
    // What the host gave is what the host holds now.
    if (tree_)
        for (const auto& parameter : tree_->allParameters()) listeners_->known[parameter->address()] = parameter->value();
}

float ParameterMirror::value(platform::AUParameterAddress address) const {
    auto parameter = tree_ ? tree_->parameterWithAddress(address) : nullptr;
    return parameter ? parameter->value() : 0.0f;
}

platform::NSSize EmbeddedEditor::preferredSize(const platform::AUViewController& controller) {
    const auto size = controller.preferredContentSize();
    return size.width >= 1.0 && size.height >= 1.0 ? size : kDefaultSize;
}

double EmbeddedEditor::scaleOr(double hostScale) {
    return hostScale > 0.0 ? hostScale : platform::scaleFactorFromEnvironment().value_or(1.0);
}

platform::NSSize EmbeddedEditor::preferredPixelSize(const platform::AUViewController& controller, double scale) {
    const auto points = preferredSize(controller);
    return {std::round(points.width * scale), std::round(points.height * scale)};
}

platform::NSSize EmbeddedEditor::smallestPixelSize(const platform::AUViewController& controller, double scale) {
    const auto points = preferredSize(controller);
    return {std::ceil(points.width * 0.5 * scale), std::ceil(points.height * 0.5 * scale)};
}

std::expected<std::unique_ptr<EmbeddedEditor>, platform::Error> EmbeddedEditor::open(
    std::shared_ptr<platform::AUViewController> controller, unsigned long parent, double scale) {
    auto view = controller->view();
    // The view binds its knobs to the unit through the main queue.
    platform::MainQueue::shared().runPending();
    platform::X11Window::Options options;
    options.title = "Orvane";
    options.parent = parent;
    options.size = preferredSize(*controller);
    options.scale = scale;
    auto window = platform::X11Window::open(view, options);
    if (!window) return std::unexpected(std::move(window.error()));
    (*window)->show();
    return std::unique_ptr<EmbeddedEditor>(new EmbeddedEditor(std::move(controller), std::move(*window)));
}

EmbeddedEditor::~EmbeddedEditor() {
    window_.reset();
    controller_.reset();
    // Tasks the editor queued find it gone and end here, not in the host.
    platform::MainQueue::shared().runPending();
}

void EmbeddedEditor::setPixelSize(platform::NSSize pixels) {
    const double s = window_->backingScaleFactor();
    window_->setSize({pixels.width / s, pixels.height / s});
}

} // namespace orvane::adapter
