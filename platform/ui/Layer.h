#pragma once

#include "platform/ui/Color.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/Image.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

class NSView;

/// A 4 x 4 transform in row-vector form: (x, y, z, 1) times the matrix.
struct CATransform3D {
    double m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

inline constexpr CATransform3D CATransform3DIdentity{};

/// A rotation by `angle` radians about the axis (x, y, z). About (0, 0, 1) in
/// a flipped (y downward) view a positive angle turns clockwise on screen.
CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z);

/// A layer: a rectangle with an optional background colour and bitmap
/// contents, drawn at its position (the centre of its bounds) with its
/// transform applied about that position, then its sublayers above it in the
/// order they were added. Geometry is in the coordinates of the view that
/// hosts the layer. Main thread only.
class CALayer {
public:
    static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }
    CALayer() = default;
    ~CALayer();
    CALayer(const CALayer&) = delete;
    CALayer& operator=(const CALayer&) = delete;

    void addSublayer(std::shared_ptr<CALayer> layer);
    const std::vector<std::shared_ptr<CALayer>>& sublayers() const { return sublayers_; }

    NSRect bounds() const { return bounds_; }
    void setBounds(NSRect bounds);
    NSPoint position() const { return position_; }
    void setPosition(NSPoint position);
    /// Drawn stretched over the bounds, upright.
    const CGImageRef& contents() const { return contents_; }
    void setContents(CGImageRef contents);
    const CATransform3D& transform() const { return transform_; }
    void setTransform(const CATransform3D& transform);
    const std::optional<NSColor>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<NSColor> color);

    /// The view whose backing layer this is, or holds this one among its
    /// sublayers at any depth; null when none does.
    NSView* hostingView() const;

private:
    friend class NSView;
    /// A change to draw: the hosting view is marked for display, or, with
    /// none, the whole tree.
    void changed();

    // Both cleared by their owners when they go.
    NSView* delegate_ = nullptr;
    CALayer* superlayer_ = nullptr;
    std::vector<std::shared_ptr<CALayer>> sublayers_;
    NSRect bounds_{};
    NSPoint position_{};
    CGImageRef contents_;
    CATransform3D transform_{};
    std::optional<NSColor> backgroundColor_;
};

/// Groups layer changes. Nothing here animates, so a change shows at the next
/// draw whether or not actions are disabled; the calls keep the callers'
/// intent visible and nest as they do on the platform.
class CATransaction {
public:
    static void begin();
    static void setDisableActions(bool disable);
    static bool disableActions();
    static void commit();
};

/// Counts every change to a view or layer (main thread only); a
/// window redraws when the count moved since it last drew.
std::uint64_t uiChangeCount();
void noteUIChange();

} // namespace platform
