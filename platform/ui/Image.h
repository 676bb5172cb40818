#pragma once

#include "platform/foundation/Bundle.h"
#include "platform/ui/Color.h"
#include "platform/ui/Geometry.h"

#include <cairo.h>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

/// A bitmap: an immutable premultiplied ARGB32 Cairo image surface, one pixel
/// per point. What a layer shows as its contents.
class CGImage {
public:
    /// Takes over the caller's reference to `surface`.
    explicit CGImage(cairo_surface_t* surface);
    ~CGImage();
    CGImage(const CGImage&) = delete;
    CGImage& operator=(const CGImage&) = delete;

    int width() const;
    int height() const;
    cairo_surface_t* surface() const { return surface_; }
    /// The smallest rectangle of pixels that holds every pixel not fully
    /// transparent (empty for a blank bitmap); found once, on first use, so
    /// drawing can skip what would show nothing.
    NSRect visibleBounds() const;

private:
    cairo_surface_t* surface_;
    mutable std::optional<NSRect> visibleBounds_;
};
using CGImageRef = std::shared_ptr<const CGImage>;

/// Clears the rectangle to fully transparent pixels.
void CGContextClearRect(cairo_t* context, NSRect rect);

/// Where drawing goes right now on this thread: a Cairo context and whether
/// its y axis grows downward. Images, paths and colours draw into the current
/// context; outside any drawing there is none.
class NSGraphicsContext {
public:
    /// The innermost context made current on this thread, or null.
    static NSGraphicsContext* currentContext();

    cairo_t* CGContext() const { return context_; }
    bool isFlipped() const { return flipped_; }

    /// Makes a context current on this thread for the scope's life and
    /// restores the one before it afterwards.
    class Scope {
    public:
        Scope(cairo_t* context, bool flipped);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        NSGraphicsContext* outer_;
    };

    NSColor fillColor = NSColor::blackColor();
    NSColor strokeColor = NSColor::blackColor();

private:
    NSGraphicsContext(cairo_t* context, bool flipped) : context_(context), flipped_(flipped) {}
    cairo_t* context_;
    bool flipped_;
};

/// Sets the fill or stroke colour of the current context (no-op without one).
void NSColorSetFill(const NSColor& color);
void NSColorSetStroke(const NSColor& color);

/// A path drawn into the current context: ovals and straight lines.
class NSBezierPath {
public:
    static NSBezierPath bezierPathWithOvalInRect(NSRect rect);
    void appendBezierPathWithOvalInRect(NSRect rect);
    void moveToPoint(NSPoint point);
    void lineToPoint(NSPoint point);
    void setLineWidth(double width) { lineWidth_ = width; }
    /// Fill or stroke with the current context's colours; nothing without a
    /// current context.
    void fill() const;
    void stroke() const;

private:
    struct Oval { NSRect rect; };
    struct Move { NSPoint point; };
    struct Line { NSPoint point; };
    void replay(cairo_t* context) const;
    std::vector<std::variant<Oval, Move, Line>> elements_;
    double lineWidth_ = 1.0;
};

/// An image: a picture with a drawing size. Its picture is an SVG or PNG file,
/// a bitmap drawn off-screen, or a drawing handler run each time the image is
/// drawn. Setting the size changes only how large it draws. Images are shared
/// (std::shared_ptr); main thread only.
class NSImage {
public:
    /// Draws the picture into the rectangle it is given (origin 0, 0 and the
    /// image's size); answers false when it could not draw.
    using DrawingHandler = std::function<bool(NSRect)>;

    /// The resource called `name` in the bundle's folder, found by name without
    /// extension: "<name>.svg", else "<name>.png". Null when neither exists or
    /// the file is not a readable picture. Reads the file on every call.
    static std::shared_ptr<NSImage> imageForResource(const Bundle& bundle, std::string_view name);

    /// An image of `size` whose handler draws it on demand, each time it is
    /// drawn, in coordinates with the origin top-left (flipped) or bottom-left.
    static std::shared_ptr<NSImage> imageWithSize(NSSize size, bool flipped, DrawingHandler handler);

    /// A blank (transparent) off-screen image to draw into between lockFocus
    /// and unlockFocus, origin bottom-left.
    static std::shared_ptr<NSImage> imageWithBlankSize(NSSize size);

    ~NSImage();
    NSImage(const NSImage&) = delete;
    NSImage& operator=(const NSImage&) = delete;

    NSSize size() const { return size_; }
    void setSize(NSSize size) { size_ = size; }

    /// Off-screen images only: makes the image's bitmap the current context
    /// (origin bottom-left) until unlockFocus.
    void lockFocus();
    void unlockFocus();

    /// Draws the whole picture, upright, stretched into `rect` of the current
    /// context. False when no context is current or the picture failed.
    bool drawInRect(NSRect rect) const;

    /// The picture rendered to a bitmap of the image's size times `scale`
    /// pixels (rounded up to whole pixels), with a current context while it
    /// draws: vector pictures come out sharp at any scale. Null for an empty
    /// size or when drawing failed. A picture read from a file is rendered
    /// once per pixel size and the bitmap reused; the others draw afresh.
    CGImageRef CGImageForProposedRect(double scale = 1.0) const;

private:
    struct Svg;
    struct Bitmap;
    struct Handler;
    NSImage() = default;
    bool drawPicture(cairo_t* context, double width, double height) const;

    NSSize size_{};
    std::shared_ptr<Svg> svg_;
    cairo_surface_t* bitmap_ = nullptr;
    std::shared_ptr<Handler> handler_;
    std::unique_ptr<NSGraphicsContext::Scope> focus_;
    cairo_t* focusContext_ = nullptr;
    // The last rendering of a file's picture.
    mutable CGImageRef rendered_;
};

} // namespace platform
