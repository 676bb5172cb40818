#pragma once

#include "platform/foundation/Error.h"
#include "platform/ui/Image.h"
#include "platform/ui/View.h"

#include <cairo.h>

#include <expected>
#include <filesystem>
#include <memory>
#include <vector>

namespace platform {

/// The domain of errors of the user-interface layer (windows, snapshots).
inline constexpr std::string_view kUIErrorDomain = "UI";

/// Runs the tree's pending layout, then draws it into `context`, whose origin
/// is the root's top-left corner with y downward and one unit per point (a
/// backend scales the context for its backing scale). The one drawing path
/// of every backend; what was marked for display counts as drawn. Main
/// thread only.
void drawViewTree(NSView& root, cairo_t* context);
/// The same, limited to a rectangle of the window: only the views that reach
/// into it draw, clipped to it.
void drawViewTree(NSView& root, cairo_t* context, NSRect clip);

/// The off-screen backend: sizes the root to `size` (its subviews follow by
/// their autoresizing masks), sets its backing scale, lays the tree out and
/// draws it into a new bitmap of size x scale pixels. Null for an empty
/// size.
CGImageRef snapshotViewTree(NSView& root, NSSize size, double scale = 1.0);

/// Writes a bitmap as a PNG file, atomically: a temporary file beside the
/// target renamed over it, so a failure leaves no file behind.
std::expected<void, Error> writePNG(const CGImage& image, const std::filesystem::path& file);

/// Routes one window's pointer events to the view tree: a press goes to the
/// gesture recognizers of the view under the pointer and of its ancestors,
/// and the motions and the release that follow go to the same recognizers,
/// wherever the pointer is. Every pointer position tells the deepest view
/// under it that the pointer entered, and the one before that it left; a
/// wheel notch goes to the view under the pointer. Main thread only.
class NSEventRouter {
public:
    explicit NSEventRouter(std::shared_ptr<NSView> root) : root_(std::move(root)) {}

    /// A press also makes the nearest view under the pointer that accepts
    /// keys the first responder.
    void dispatch(const NSEvent& event);
    /// Sends a key press to the first responder, else the root; true when the
    /// tree used it.
    bool dispatchKey(const NSKeyEvent& event);
    void dispatchKeyUp(const NSKeyEvent& event);
    /// Ends a gesture in progress as cancelled (the window lost the pointer).
    void cancel();

private:
    void hover(const NSEvent& event, NSView* view);

    std::shared_ptr<NSView> root_;
    std::vector<std::weak_ptr<NSGestureRecognizer>> tracking_;
    std::weak_ptr<NSView> hovered_;
};

} // namespace platform
