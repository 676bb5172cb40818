#include "platform/ui/View.h"

#include <algorithm>
#include <cmath>

namespace platform {
namespace {

// Spreads a change of the parent's extent over the flexible parts of one
// axis (the margin before, the size, the margin after) in proportion to their
// current lengths, or equally when they are all zero.
void distribute(double delta, bool flexBefore, bool flexSize, bool flexAfter, double& before, double& size,
                double& after) {
    double* parts[3] = {&before, &size, &after};
    const bool flexible[3] = {flexBefore, flexSize, flexAfter};
    double total = 0.0;
    int count = 0;
    for (int i = 0; i < 3; ++i) {
        if (!flexible[i]) continue;
        total += std::max(*parts[i], 0.0);
        ++count;
    }
    if (count == 0) {
        after += delta;
        return;
    }
    for (int i = 0; i < 3; ++i) {
        if (!flexible[i]) continue;
        const double share = total > 0.0 ? std::max(*parts[i], 0.0) / total : 1.0 / count;
        *parts[i] += delta * share;
    }
}

} // namespace

NSView::NSView(NSRect frame) : frame_(frame) {}

NSView::~NSView() {
    for (auto& view : subviews_) view->superview_ = nullptr;
    if (layer_) layer_->delegate_ = nullptr;
}

double NSView::backingScaleFactor() const {
    const NSView* root = this;
    while (root->superview_) root = root->superview_;
    return root->backingScale_;
}

namespace {
void announceBackingChange(NSView& view) {
    view.viewDidChangeBackingProperties();
    const auto views = view.subviews();
    for (const auto& subview : views) announceBackingChange(*subview);
}
} // namespace

void NSView::setBackingScaleFactor(double scale) {
    if (!(scale > 0.0) || scale == backingScale_) return;
    backingScale_ = scale;
    noteUIChange();
    announceBackingChange(*this);
}

void NSView::setNeedsDisplay(bool needs) {
    if (needs) setNeedsDisplayInRect(bounds());
}

void NSView::setNeedsDisplayInRect(NSRect rect) {
    const NSRect inWindow = rectInWindow();
    const double y = isFlipped() ? rect.origin.y : inWindow.size.height - rect.maxY();
    const NSRect marked{{inWindow.origin.x + rect.origin.x, inWindow.origin.y + y}, rect.size};
    NSView* root = this;
    while (root->superview_) root = root->superview_;
    root->needsDisplay_ = root->needsDisplay_ ? NSUnionRect(*root->needsDisplay_, marked) : marked;
}

void NSView::setFrame(NSRect frame) {
    if (frame == frame_) return;
    const NSSize oldSize = frame_.size;
    frame_ = frame;
    noteUIChange();
    if (oldSize != frame.size) {
        resizeSubviews(oldSize);
        needsLayout_ = true;
    }
}

void NSView::resizeSubviews(NSSize oldSize) {
    for (auto& view : subviews_) view->resizeWithOldSuperviewSize(oldSize, frame_.size);
}

void NSView::resizeWithOldSuperviewSize(NSSize oldParentSize, NSSize newParentSize) {
    const unsigned mask = autoresizingMask_;
    if (mask == NSViewNotSizable) return;
    NSRect f = frame_;
    double left = f.origin.x, width = f.size.width, right = oldParentSize.width - f.maxX();
    distribute(newParentSize.width - oldParentSize.width, mask & NSViewMinXMargin, mask & NSViewWidthSizable,
               mask & NSViewMaxXMargin, left, width, right);
    double top = f.origin.y, height = f.size.height, bottom = oldParentSize.height - f.maxY();
    distribute(newParentSize.height - oldParentSize.height, mask & NSViewMinYMargin, mask & NSViewHeightSizable,
               mask & NSViewMaxYMargin, top, height, bottom);
    setFrame({{left, top}, {width, height}});
}

void NSView::addSubview(std::shared_ptr<NSView> view) {
    if (!view || view.get() == this) return;
    view->removeFromSuperview();
    view->superview_ = this;
    subviews_.push_back(std::move(view));
    needsLayout_ = true;
    noteUIChange();
}

void NSView::removeFromSuperview() {
    if (!superview_) return;
    auto& siblings = superview_->subviews_;
    const auto self = std::find_if(siblings.begin(), siblings.end(), [this](const auto& v) { return v.get() == this; });
    superview_ = nullptr;
    // Erasing may release the last reference to this view: touch nothing after.
    if (self != siblings.end()) {
        auto keep = std::move(*self);
        siblings.erase(self);
        noteUIChange();
    }
}

void NSView::setNeedsLayout(bool needs) {
    needsLayout_ = needs;
    if (needs) noteUIChange();
}

void NSLayoutConstraint::activateConstraints(const std::vector<NSLayoutConstraint>& constraints) {
    for (NSLayoutConstraint constraint : constraints) {
        if (!constraint.item) continue;
        constraint.active = true;
        constraint.item->constraints_.push_back(constraint);
        if (NSView* parent = constraint.item->superview_) parent->setNeedsLayout(true);
    }
}

void NSView::setTranslatesAutoresizingMaskIntoConstraints(bool translates) {
    translatesMask_ = translates;
    if (superview_) superview_->setNeedsLayout(true);
}

NSSize NSView::naturalSize() const {
    NSSize size = intrinsicContentSize();
    if (size.width < 0.0) size.width = frame_.size.width;
    if (size.height < 0.0) size.height = frame_.size.height;
    for (const auto& c : constraints_) {
        if (c.kind == NSLayoutConstraint::Kind::widthEqualConstant) size.width = c.value;
        if (c.kind == NSLayoutConstraint::Kind::heightEqualConstant) size.height = c.value;
    }
    return size;
}

// Places a constraint-laid view in its parent: its natural size, a width
// capped by the parent's, centred where asked, otherwise left where it is.
void NSView::applyConstraints() {
    if (translatesMask_ || !superview_) return;
    const NSSize parent = superview_->frame_.size;
    NSSize size = naturalSize();
    NSPoint origin = frame_.origin;
    for (const auto& c : constraints_) {
        if (c.kind == NSLayoutConstraint::Kind::widthAtMostParentWidth) size.width = std::min(size.width, parent.width * c.value);
    }
    // Centred views land on whole points, as the platform aligns laid-out
    // views to pixels: a line one point high stays one pixel sharp.
    for (const auto& c : constraints_) {
        if (c.kind == NSLayoutConstraint::Kind::centerXWithParent) origin.x = std::round((parent.width - size.width) * 0.5);
        if (c.kind == NSLayoutConstraint::Kind::centerYWithParent) origin.y = std::round((parent.height - size.height) * 0.5);
    }
    setFrame({origin, size});
}

void NSView::layoutSubtreeIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        for (const auto& view : subviews_) view->applyConstraints();
        layout();
        if (didLayout_) didLayout_();
    }
    // A copy: a layout pass may add or remove views.
    const auto views = subviews_;
    for (const auto& view : views) view->layoutSubtreeIfNeeded();
}

void NSView::setWantsLayer(bool wants) {
    wantsLayer_ = wants;
    if (wants && !layer_) {
        layer_ = CALayer::layer();
        layer_->delegate_ = this;
        layer_->setBounds(bounds());
    }
    noteUIChange();
}

void NSView::drawRect(NSRect) {}

void NSView::mouseEntered(const NSEvent&) {}
void NSView::mouseExited(const NSEvent&) {}

void NSView::scrollWheel(const NSEvent& event) {
    if (superview_) superview_->scrollWheel(event);
}

bool NSView::keyDown(const NSKeyEvent& event) {
    if (keyDown_ && keyDown_(event)) return true;
    return superview_ && superview_->keyDown(event);
}

void NSView::keyUp(const NSKeyEvent& event) {
    if (superview_) superview_->keyUp(event);
}

namespace {
const NSView* rootOf(const NSView* view) {
    while (view->superview()) view = view->superview();
    return view;
}
} // namespace

NSView* NSView::firstResponder() const {
    const NSView* root = rootOf(this);
    auto responder = root->firstResponder_.lock();
    // A view taken out of the tree no longer takes its keys.
    if (!responder || rootOf(responder.get()) != root) return nullptr;
    return responder.get();
}

bool NSView::makeFirstResponder(NSView* view) {
    NSView* root = const_cast<NSView*>(rootOf(this));
    if (view && (!view->acceptsFirstResponder() || rootOf(view) != root || view->weak_from_this().expired()))
        return false;
    NSView* before = firstResponder();
    if (before == view) return true;
    root->firstResponder_ = view ? view->weak_from_this() : std::weak_ptr<NSView>();
    if (before) before->resignFirstResponder();
    if (view) view->becomeFirstResponder();
    return true;
}

void NSView::addGestureRecognizer(std::shared_ptr<NSGestureRecognizer> recognizer) {
    if (!recognizer) return;
    recognizer->view_ = this;
    recognizers_.push_back(std::move(recognizer));
}

NSRect NSView::rectInWindow() const {
    if (!superview_) return bounds();
    const NSRect parent = superview_->rectInWindow();
    const double y = superview_->isFlipped() ? frame_.origin.y
                                              : superview_->frame_.size.height - frame_.origin.y - frame_.size.height;
    return {{parent.origin.x + frame_.origin.x, parent.origin.y + y}, frame_.size};
}

NSPoint NSView::convertPointFromWindow(NSPoint point) const {
    const NSRect rect = rectInWindow();
    const double x = point.x - rect.origin.x, y = point.y - rect.origin.y;
    return {x, isFlipped() ? y : rect.size.height - y};
}

NSView* NSView::hitTest(NSPoint pointInWindow) {
    if (!rectInWindow().contains(pointInWindow)) return nullptr;
    // Later subviews lie above earlier ones.
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        if (NSView* hit = (*it)->hitTest(pointInWindow)) return hit;
    }
    return this;
}

} // namespace platform
