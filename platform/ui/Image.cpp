#include "platform/ui/Image.h"

#include <librsvg/rsvg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace platform {
namespace {

thread_local NSGraphicsContext* currentGraphicsContext = nullptr;

void setSourceColor(cairo_t* context, const NSColor& color) {
    cairo_set_source_rgba(context, color.red, color.green, color.blue, color.alpha);
}

int pixelsFor(double points) { return points > 0.0 ? static_cast<int>(std::ceil(points)) : 0; }

} // namespace

CGImage::CGImage(cairo_surface_t* surface) : surface_(surface) {}
CGImage::~CGImage() { cairo_surface_destroy(surface_); }
int CGImage::width() const { return cairo_image_surface_get_width(surface_); }
int CGImage::height() const { return cairo_image_surface_get_height(surface_); }

NSRect CGImage::visibleBounds() const {
    if (visibleBounds_) return *visibleBounds_;
    const int w = width(), h = height(), stride = cairo_image_surface_get_stride(surface_);
    const unsigned char* data = cairo_image_surface_get_data(surface_);
    int x0 = w, y0 = h, x1 = 0, y1 = 0;
    for (int y = 0; data && y < h; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + std::ptrdiff_t(y) * stride);
        for (int x = 0; x < w; ++x) {
            // Premultiplied ARGB32: a pixel is transparent when it is all zero.
            if (row[x] == 0) continue;
            x0 = std::min(x0, x), x1 = std::max(x1, x + 1);
            y0 = std::min(y0, y), y1 = std::max(y1, y + 1);
        }
    }
    visibleBounds_ = x1 > x0 ? NSRect{{double(x0), double(y0)}, {double(x1 - x0), double(y1 - y0)}} : NSRect{};
    return *visibleBounds_;
}

void CGContextClearRect(cairo_t* context, NSRect rect) {
    cairo_save(context);
    cairo_set_operator(context, CAIRO_OPERATOR_CLEAR);
    cairo_rectangle(context, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
    cairo_fill(context);
    cairo_restore(context);
}

NSGraphicsContext* NSGraphicsContext::currentContext() { return currentGraphicsContext; }

NSGraphicsContext::Scope::Scope(cairo_t* context, bool flipped) : outer_(currentGraphicsContext) {
    currentGraphicsContext = new NSGraphicsContext(context, flipped);
}

NSGraphicsContext::Scope::~Scope() {
    delete currentGraphicsContext;
    currentGraphicsContext = outer_;
}

void NSColorSetFill(const NSColor& color) {
    if (auto* context = NSGraphicsContext::currentContext()) context->fillColor = color;
}

void NSColorSetStroke(const NSColor& color) {
    if (auto* context = NSGraphicsContext::currentContext()) context->strokeColor = color;
}

NSBezierPath NSBezierPath::bezierPathWithOvalInRect(NSRect rect) {
    NSBezierPath path;
    path.appendBezierPathWithOvalInRect(rect);
    return path;
}

void NSBezierPath::appendBezierPathWithOvalInRect(NSRect rect) { elements_.emplace_back(Oval{rect}); }
void NSBezierPath::moveToPoint(NSPoint point) { elements_.emplace_back(Move{point}); }
void NSBezierPath::lineToPoint(NSPoint point) { elements_.emplace_back(Line{point}); }

void NSBezierPath::replay(cairo_t* context) const {
    cairo_new_path(context);
    for (const auto& element : elements_) {
        if (const auto* oval = std::get_if<Oval>(&element)) {
            const NSRect& r = oval->rect;
            if (r.size.width <= 0.0 || r.size.height <= 0.0) continue;
            cairo_save(context);
            cairo_translate(context, r.midX(), r.midY());
            cairo_scale(context, r.size.width * 0.5, r.size.height * 0.5);
            cairo_new_sub_path(context);
            cairo_arc(context, 0.0, 0.0, 1.0, 0.0, 2.0 * std::numbers::pi);
            cairo_close_path(context);
            cairo_restore(context);
        } else if (const auto* move = std::get_if<Move>(&element)) {
            cairo_move_to(context, move->point.x, move->point.y);
        } else if (const auto* line = std::get_if<Line>(&element)) {
            cairo_line_to(context, line->point.x, line->point.y);
        }
    }
}

void NSBezierPath::fill() const {
    auto* graphics = NSGraphicsContext::currentContext();
    if (!graphics) return;
    cairo_t* context = graphics->CGContext();
    cairo_save(context);
    replay(context);
    setSourceColor(context, graphics->fillColor);
    cairo_fill(context);
    cairo_restore(context);
}

void NSBezierPath::stroke() const {
    auto* graphics = NSGraphicsContext::currentContext();
    if (!graphics) return;
    cairo_t* context = graphics->CGContext();
    cairo_save(context);
    replay(context);
    setSourceColor(context, graphics->strokeColor);
    cairo_set_line_width(context, lineWidth_);
    cairo_stroke(context);
    cairo_restore(context);
}

struct NSImage::Svg {
    explicit Svg(RsvgHandle* h) : handle(h) {}
    ~Svg() { g_object_unref(handle); }
    RsvgHandle* handle;
};

struct NSImage::Handler {
    bool flipped;
    DrawingHandler draw;
};

std::shared_ptr<NSImage> NSImage::imageForResource(const Bundle& bundle, std::string_view name) {
    if (auto file = bundle.urlForResource(name, "svg")) {
        GError* error = nullptr;
        RsvgHandle* handle = rsvg_handle_new_from_file(file->c_str(), &error);
        if (!handle) {
            if (error) g_error_free(error);
            return nullptr;
        }
        std::shared_ptr<NSImage> image(new NSImage());
        image->svg_ = std::make_shared<Svg>(handle);
        double width = 0.0, height = 0.0;
        if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &width, &height)) image->size_ = {width, height};
        return image;
    }
    if (auto file = bundle.urlForResource(name, "png")) {
        cairo_surface_t* surface = cairo_image_surface_create_from_png(file->c_str());
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            return nullptr;
        }
        std::shared_ptr<NSImage> image(new NSImage());
        image->bitmap_ = surface;
        image->size_ = {double(cairo_image_surface_get_width(surface)), double(cairo_image_surface_get_height(surface))};
        return image;
    }
    return nullptr;
}

std::shared_ptr<NSImage> NSImage::imageWithSize(NSSize size, bool flipped, DrawingHandler handler) {
    std::shared_ptr<NSImage> image(new NSImage());
    image->size_ = size;
    image->handler_ = std::make_shared<Handler>(Handler{flipped, std::move(handler)});
    return image;
}

std::shared_ptr<NSImage> NSImage::imageWithBlankSize(NSSize size) {
    std::shared_ptr<NSImage> image(new NSImage());
    image->size_ = size;
    image->bitmap_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixelsFor(size.width), pixelsFor(size.height));
    return image;
}

NSImage::~NSImage() {
    focus_.reset();
    if (focusContext_) cairo_destroy(focusContext_);
    if (bitmap_) cairo_surface_destroy(bitmap_);
}

void NSImage::lockFocus() {
    if (!bitmap_ || focus_) return;
    focusContext_ = cairo_create(bitmap_);
    // Off-screen images draw with the origin bottom-left, y upward.
    cairo_translate(focusContext_, 0.0, cairo_image_surface_get_height(bitmap_));
    cairo_scale(focusContext_, 1.0, -1.0);
    focus_ = std::make_unique<NSGraphicsContext::Scope>(focusContext_, false);
}

void NSImage::unlockFocus() {
    if (!focus_) return;
    focus_.reset();
    cairo_destroy(focusContext_);
    focusContext_ = nullptr;
    cairo_surface_flush(bitmap_);
}

// Draws the picture into (0, 0, width, height) of a context whose y axis grows
// downward.
bool NSImage::drawPicture(cairo_t* context, double width, double height) const {
    if (svg_) {
        double w = 0.0, h = 0.0;
        RsvgRectangle viewport{0.0, 0.0, width, height};
        cairo_save(context);
        // Stretch to the rectangle, as any image does, rather than letterbox.
        if (rsvg_handle_get_intrinsic_size_in_pixels(svg_->handle, &w, &h) && w > 0.0 && h > 0.0) {
            cairo_scale(context, width / w, height / h);
            viewport = {0.0, 0.0, w, h};
        }
        GError* error = nullptr;
        const bool drawn = rsvg_handle_render_document(svg_->handle, context, &viewport, &error);
        if (error) g_error_free(error);
        cairo_restore(context);
        return drawn;
    }
    if (bitmap_) {
        const int w = cairo_image_surface_get_width(bitmap_), h = cairo_image_surface_get_height(bitmap_);
        if (w <= 0 || h <= 0) return true;
        cairo_save(context);
        cairo_scale(context, width / w, height / h);
        cairo_set_source_surface(context, bitmap_, 0.0, 0.0);
        cairo_pattern_set_filter(cairo_get_source(context), CAIRO_FILTER_GOOD);
        cairo_paint(context);
        cairo_restore(context);
        return true;
    }
    if (handler_) {
        if (!handler_->draw || size_.width <= 0.0 || size_.height <= 0.0) return false;
        cairo_save(context);
        cairo_scale(context, width / size_.width, height / size_.height);
        if (!handler_->flipped) {
            cairo_translate(context, 0.0, size_.height);
            cairo_scale(context, 1.0, -1.0);
        }
        bool drawn = false;
        {
            const NSGraphicsContext::Scope scope(context, handler_->flipped);
            drawn = handler_->draw(NSRect{{0.0, 0.0}, size_});
        }
        cairo_restore(context);
        return drawn;
    }
    return true;
}

bool NSImage::drawInRect(NSRect rect) const {
    auto* graphics = NSGraphicsContext::currentContext();
    if (!graphics) return false;
    if (rect.size.width <= 0.0 || rect.size.height <= 0.0) return true;
    cairo_t* context = graphics->CGContext();
    cairo_save(context);
    if (graphics->isFlipped()) {
        cairo_translate(context, rect.origin.x, rect.origin.y);
    } else {
        // Upright in a context whose y grows upward: the picture's top row
        // goes to the rectangle's top edge.
        cairo_translate(context, rect.origin.x, rect.origin.y + rect.size.height);
        cairo_scale(context, 1.0, -1.0);
    }
    const bool drawn = drawPicture(context, rect.size.width, rect.size.height);
    cairo_restore(context);
    return drawn;
}

CGImageRef NSImage::CGImageForProposedRect(double scale) const {
    if (!(scale > 0.0)) return nullptr;
    const int width = pixelsFor(size_.width * scale), height = pixelsFor(size_.height * scale);
    if (width == 0 || height == 0) return nullptr;
    if (svg_ && rendered_ && rendered_->width() == width && rendered_->height() == height) return rendered_;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    bool drawn = false;
    {
        cairo_t* context = cairo_create(surface);
        cairo_scale(context, scale, scale);
        {
            const NSGraphicsContext::Scope scope(context, true);
            drawn = drawInRect(NSRect{{0.0, 0.0}, size_});
        }
        cairo_destroy(context);
    }
    cairo_surface_flush(surface);
    if (!drawn) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    auto bitmap = std::make_shared<const CGImage>(surface);
    if (svg_) rendered_ = bitmap;
    return bitmap;
}

} // namespace platform
