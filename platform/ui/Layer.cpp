#include "platform/ui/Layer.h"

#include "platform/ui/View.h"

#include <cmath>

namespace platform {
namespace {

std::uint64_t changeCount = 0;

struct TransactionFrame {
    bool disableActions = false;
};
std::vector<TransactionFrame> transactions;

} // namespace

std::uint64_t uiChangeCount() { return changeCount; }
void noteUIChange() { ++changeCount; }

CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z) {
    CATransform3D t;
    const double length = std::sqrt(x * x + y * y + z * z);
    if (!(length > 0.0)) return t;
    x /= length;
    y /= length;
    z /= length;
    const double c = std::cos(angle), s = std::sin(angle), k = 1.0 - c;
    // Rodrigues' rotation in row-vector form.
    t.m[0][0] = c + x * x * k;     t.m[0][1] = x * y * k + z * s; t.m[0][2] = x * z * k - y * s;
    t.m[1][0] = x * y * k - z * s; t.m[1][1] = c + y * y * k;     t.m[1][2] = y * z * k + x * s;
    t.m[2][0] = x * z * k + y * s; t.m[2][1] = y * z * k - x * s; t.m[2][2] = c + z * z * k;
    return t;
}

CALayer::~CALayer() {
    for (auto& layer : sublayers_) layer->superlayer_ = nullptr;
}

NSView* CALayer::hostingView() const {
    const CALayer* layer = this;
    while (layer->superlayer_ && !layer->delegate_) layer = layer->superlayer_;
    return layer->delegate_;
}

void CALayer::changed() {
    if (NSView* view = hostingView()) view->setNeedsDisplay(true);
    else noteUIChange();
}

void CALayer::addSublayer(std::shared_ptr<CALayer> layer) {
    if (!layer || layer.get() == this) return;
    layer->superlayer_ = this;
    sublayers_.push_back(std::move(layer));
    changed();
}

void CALayer::setBounds(NSRect bounds) {
    bounds_ = bounds;
    changed();
}

void CALayer::setPosition(NSPoint position) {
    position_ = position;
    changed();
}

void CALayer::setContents(CGImageRef contents) {
    contents_ = std::move(contents);
    changed();
}

void CALayer::setTransform(const CATransform3D& transform) {
    transform_ = transform;
    changed();
}

void CALayer::setBackgroundColor(std::optional<NSColor> color) {
    backgroundColor_ = color;
    changed();
}

void CATransaction::begin() { transactions.push_back({}); }

void CATransaction::setDisableActions(bool disable) {
    if (!transactions.empty()) transactions.back().disableActions = disable;
}

bool CATransaction::disableActions() { return !transactions.empty() && transactions.back().disableActions; }

void CATransaction::commit() {
    if (!transactions.empty()) transactions.pop_back();
}

} // namespace platform
