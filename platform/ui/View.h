#pragma once

#include "platform/ui/Gesture.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/Layer.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

/// Autoresizing mask bits: which of a view's margins and sizes follow its
/// parent's size changes.
enum NSAutoresizingMaskOptions : unsigned {
    NSViewNotSizable = 0,
    NSViewMinXMargin = 1,
    NSViewWidthSizable = 2,
    NSViewMaxXMargin = 4,
    NSViewMinYMargin = 8,
    NSViewHeightSizable = 16,
    NSViewMaxYMargin = 32,
};

class NSView;

/// One layout rule of a view. Only the rules a small fixed window needs
/// exist, and they are applied directly rather than solved: a fixed width or
/// height, a width at most a multiple of the parent's width, a centre equal
/// to the parent's centre.
struct NSLayoutConstraint {
    enum class Kind { widthEqualConstant, heightEqualConstant, widthAtMostParentWidth, centerXWithParent,
                      centerYWithParent };
    Kind kind;
    NSView* item = nullptr;
    double value = 0.0;
    bool active = false;

    /// Adds the constraints to their views; each takes effect at the next
    /// layout pass of the view's parent.
    static void activateConstraints(const std::vector<NSLayoutConstraint>& constraints);
};

/// A rectangle of a window: its frame in the parent's coordinates, its bounds
/// in its own (origin 0, 0; top-left when flipped, bottom-left otherwise).
/// Views own their subviews; a layer-backed view draws its layer's background,
/// contents and sublayers, then its own drawRect, then its subviews. Main
/// thread only; held by std::shared_ptr.
class NSView : public std::enable_shared_from_this<NSView> {
public:
    explicit NSView(NSRect frame = {});
    virtual ~NSView();
    NSView(const NSView&) = delete;
    NSView& operator=(const NSView&) = delete;

    NSRect frame() const { return frame_; }
    /// A new size lays out the subviews by their autoresizing masks and marks
    /// the view for layout.
    void setFrame(NSRect frame);
    void setFrameSize(NSSize size) { setFrame({frame_.origin, size}); }
    void setFrameOrigin(NSPoint origin) { setFrame({origin, frame_.size}); }
    NSRect bounds() const { return {{0.0, 0.0}, frame_.size}; }

    virtual bool isFlipped() const { return false; }

    void addSubview(std::shared_ptr<NSView> view);
    void removeFromSuperview();
    const std::vector<std::shared_ptr<NSView>>& subviews() const { return subviews_; }
    NSView* superview() const { return superview_; }

    unsigned autoresizingMask() const { return autoresizingMask_; }
    void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }

    /// Lays out the subviews; runs in the layout pass after every size change.
    virtual void layout() {}
    bool needsLayout() const { return needsLayout_; }
    void setNeedsLayout(bool needs);
    /// Runs layout on this view and every view below it that needs it.
    void layoutSubtreeIfNeeded();
    /// Called after this view's own layout in every layout pass; how a view
    /// controller hears of it.
    void setDidLayoutHandler(std::function<void()> handler) { didLayout_ = std::move(handler); }

    /// How many device pixels one point covers in the window showing the
    /// tree: the root's setting, 1 until a window or a snapshot sets it.
    double backingScaleFactor() const;
    /// On the root, by what shows the tree: a changed scale is announced to
    /// every view of the tree (viewDidChangeBackingProperties).
    void setBackingScaleFactor(double scale);
    /// Called when the scale of what shows the view changed; a view that
    /// keeps bitmaps makes them again at the new scale.
    virtual void viewDidChangeBackingProperties() {}

    /// Marks the view's bounds, or a rectangle of them, to be drawn again: a
    /// window draws only what was marked since it last drew (changes of a
    /// layer mark the view that hosts it). Other changes of the tree redraw
    /// everything.
    void setNeedsDisplay(bool needs);
    void setNeedsDisplayInRect(NSRect rect);
    /// On the root: what was marked since the last draw, in window
    /// coordinates (top-left); nothing when nothing was.
    const std::optional<NSRect>& needsDisplayRect() const { return needsDisplay_; }
    void clearNeedsDisplay() { needsDisplay_.reset(); }

    void setWantsLayer(bool wants);
    bool wantsLayer() const { return wantsLayer_; }
    /// The backing layer; null until setWantsLayer(true).
    CALayer* layer() const { return layer_.get(); }

    /// The size the view's content wants; a negative width or height means
    /// none.
    virtual NSSize intrinsicContentSize() const { return {-1.0, -1.0}; }
    /// False: the view is placed by its layout constraints (and its
    /// intrinsic size) in its parent's layout pass, not by its frame.
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool translates);
    /// The constraints that name this view, as activated.
    const std::vector<NSLayoutConstraint>& constraints() const { return constraints_; }
    /// The view's size from its constraints: a fixed width or height, else its
    /// intrinsic size, else its frame's.
    NSSize naturalSize() const;

    // Constraint makers, named after the anchors they tie.
    NSLayoutConstraint widthEqualToConstant(double width) { return {NSLayoutConstraint::Kind::widthEqualConstant, this, width}; }
    NSLayoutConstraint heightEqualToConstant(double height) { return {NSLayoutConstraint::Kind::heightEqualConstant, this, height}; }
    /// width <= multiplier x the parent's width.
    NSLayoutConstraint widthLessThanOrEqualToParentWidth(double multiplier) {
        return {NSLayoutConstraint::Kind::widthAtMostParentWidth, this, multiplier};
    }
    NSLayoutConstraint centerXEqualToParent() { return {NSLayoutConstraint::Kind::centerXWithParent, this}; }
    NSLayoutConstraint centerYEqualToParent() { return {NSLayoutConstraint::Kind::centerYWithParent, this}; }

    /// Draws the view's own content into the current graphics context, in
    /// the view's coordinates.
    virtual void drawRect(NSRect dirtyRect);

    /// The pointer came over the view (the deepest view under it) or left
    /// it, wherever a button is. The base does nothing.
    virtual void mouseEntered(const NSEvent& event);
    virtual void mouseExited(const NSEvent& event);
    /// A wheel notch over the view; the base hands it to the superview.
    virtual void scrollWheel(const NSEvent& event);

    /// Keyboard. A window sends each key press to the tree's first responder
    /// (the root when there is none); a view that does not use a key hands it
    /// to its superview, and what the root does not use goes back to the
    /// window.
    virtual bool acceptsFirstResponder() const { return false; }
    /// True when the view used the key. The base asks the key handler, then
    /// the superview.
    virtual bool keyDown(const NSKeyEvent& event);
    /// How a view controller hears of the keys its view does not use.
    void setKeyDownHandler(std::function<bool(const NSKeyEvent&)> handler) { keyDown_ = std::move(handler); }
    /// A key let go, sent where its press would go; the base hands it to the
    /// superview.
    virtual void keyUp(const NSKeyEvent& event);
    /// The view became, or stopped being, the one keys go to.
    virtual void becomeFirstResponder() {}
    virtual void resignFirstResponder() {}
    /// The tree's first responder, kept by the root; null for none (and for
    /// one since taken out of the tree).
    NSView* firstResponder() const;
    /// Makes `view`, a view of this tree that accepts it, the first
    /// responder, or none with null. False (and no change) when it does not
    /// accept or lies in another tree.
    bool makeFirstResponder(NSView* view);
    bool isFirstResponder() const { return firstResponder() == this; }

    void addGestureRecognizer(std::shared_ptr<NSGestureRecognizer> recognizer);
    const std::vector<std::shared_ptr<NSGestureRecognizer>>& gestureRecognizers() const { return recognizers_; }

    /// The view's bounds as a rectangle of the window (top-left coordinates),
    /// with the tree's root at the window's origin.
    NSRect rectInWindow() const;
    /// A window point (top-left coordinates) in this view's coordinates.
    NSPoint convertPointFromWindow(NSPoint point) const;
    /// The deepest view at a window point, this view first tried; null when
    /// the point lies outside.
    NSView* hitTest(NSPoint pointInWindow);

private:
    friend struct NSLayoutConstraint;
    void resizeSubviews(NSSize oldSize);
    void applyConstraints();
    void resizeWithOldSuperviewSize(NSSize oldParentSize, NSSize newParentSize);

    NSRect frame_{};
    NSView* superview_ = nullptr;
    std::vector<std::shared_ptr<NSView>> subviews_;
    unsigned autoresizingMask_ = NSViewNotSizable;
    bool needsLayout_ = true;
    bool wantsLayer_ = false;
    std::shared_ptr<CALayer> layer_;
    std::vector<std::shared_ptr<NSGestureRecognizer>> recognizers_;
    std::function<void()> didLayout_;
    bool translatesMask_ = true;
    std::vector<NSLayoutConstraint> constraints_;
    double backingScale_ = 1.0;
    std::optional<NSRect> needsDisplay_;
    std::function<bool(const NSKeyEvent&)> keyDown_;
    /// On the root only.
    std::weak_ptr<NSView> firstResponder_;
};

} // namespace platform
