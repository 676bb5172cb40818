#include "platform/ui/Compositor.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

void setColor(cairo_t* context, const NSColor& color) {
    cairo_set_source_rgba(context, color.red, color.green, color.blue, color.alpha);
}

// Paints a bitmap stretched over `rect`, its top row at the rectangle's top
// edge on screen whichever way the coordinates run. Only the part of the
// bitmap that shows anything is painted, and a bitmap that lands pixel for
// pixel on the device (no rotation, no stretch) is placed on whole device
// pixels, where painting is a plain copy rather than a filtered one.
void paintUpright(cairo_t* context, const CGImage& image, NSRect rect, bool flipped) {
    if (image.width() <= 0 || image.height() <= 0 || rect.size.width <= 0.0 || rect.size.height <= 0.0) return;
    const NSRect visible = image.visibleBounds();
    if (!(visible.size.width > 0.0)) return;
    const double sx = rect.size.width / image.width(), sy = rect.size.height / image.height();
    cairo_save(context);
    cairo_rectangle(context, rect.origin.x + visible.origin.x * sx,
                    flipped ? rect.origin.y + visible.origin.y * sy : rect.maxY() - visible.maxY() * sy,
                    visible.size.width * sx, visible.size.height * sy);
    cairo_clip(context);
    cairo_matrix_t device;
    cairo_get_matrix(context, &device);
    const auto same = [](double a, int b) { return std::fabs(a - b) < 1e-6; };
    if (flipped && device.xy == 0.0 && device.yx == 0.0 && same(device.xx * rect.size.width, image.width()) &&
        same(device.yy * rect.size.height, image.height())) {
        const double x = std::round(device.xx * rect.origin.x + device.x0);
        const double y = std::round(device.yy * rect.origin.y + device.y0);
        cairo_identity_matrix(context);
        cairo_set_source_surface(context, image.surface(), x, y);
        cairo_paint(context);
        cairo_restore(context);
        return;
    }
    if (flipped) {
        cairo_translate(context, rect.origin.x, rect.origin.y);
        cairo_scale(context, rect.size.width / image.width(), rect.size.height / image.height());
    } else {
        cairo_translate(context, rect.origin.x, rect.origin.y + rect.size.height);
        cairo_scale(context, rect.size.width / image.width(), -rect.size.height / image.height());
    }
    cairo_set_source_surface(context, image.surface(), 0.0, 0.0);
    cairo_pattern_set_filter(cairo_get_source(context), CAIRO_FILTER_GOOD);
    cairo_paint(context);
    cairo_restore(context);
}

void fillRect(cairo_t* context, NSRect rect, const NSColor& color) {
    setColor(context, color);
    cairo_rectangle(context, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
    cairo_fill(context);
}

void drawLayer(cairo_t* context, const CALayer& layer, bool flipped) {
    const NSRect b = layer.bounds();
    const auto& m = layer.transform().m;
    cairo_save(context);
    cairo_translate(context, layer.position().x, layer.position().y);
    cairo_matrix_t transform;
    cairo_matrix_init(&transform, m[0][0], m[0][1], m[1][0], m[1][1], m[3][0], m[3][1]);
    // A transform that flattens the layer to nothing draws nothing.
    if (cairo_matrix_invert(&transform) == CAIRO_STATUS_SUCCESS) {
        cairo_matrix_invert(&transform);
        cairo_transform(context, &transform);
        cairo_translate(context, -b.midX(), -b.midY());
        if (layer.backgroundColor()) fillRect(context, b, *layer.backgroundColor());
        if (layer.contents()) paintUpright(context, *layer.contents(), b, flipped);
        for (const auto& sublayer : layer.sublayers()) drawLayer(context, *sublayer, flipped);
    }
    cairo_restore(context);
}

void drawView(cairo_t* context, NSView& view, const cairo_matrix_t& windowMatrix, const NSRect* clip) {
    const NSRect rect = view.rectInWindow();
    const auto subviews = view.subviews();
    if (clip && !NSIntersectsRect(rect, *clip)) {
        // Subviews may reach outside their parent.
        for (const auto& subview : subviews) drawView(context, *subview, windowMatrix, clip);
        return;
    }
    const bool flipped = view.isFlipped();
    cairo_save(context);
    cairo_set_matrix(context, &windowMatrix);
    cairo_translate(context, rect.origin.x, rect.origin.y);
    if (!flipped) {
        cairo_translate(context, 0.0, rect.size.height);
        cairo_scale(context, 1.0, -1.0);
    }
    const NSRect bounds = view.bounds();
    const CALayer* layer = view.wantsLayer() ? view.layer() : nullptr;
    if (layer && layer->backgroundColor()) fillRect(context, bounds, *layer->backgroundColor());
    if (layer && layer->contents()) paintUpright(context, *layer->contents(), bounds, flipped);
    {
        cairo_save(context);
        const NSGraphicsContext::Scope scope(context, flipped);
        view.drawRect(bounds);
        cairo_restore(context);
    }
    if (layer) {
        for (const auto& sublayer : layer->sublayers()) drawLayer(context, *sublayer, flipped);
    }
    cairo_restore(context);
    for (const auto& subview : subviews) drawView(context, *subview, windowMatrix, clip);
}

void drawTree(NSView& root, cairo_t* context, const NSRect* clip) {
    root.layoutSubtreeIfNeeded();
    cairo_save(context);
    cairo_matrix_t windowMatrix;
    cairo_get_matrix(context, &windowMatrix);
    NSRect pixels{};
    if (clip) {
        // Out to whole device pixels: a clip with soft edges costs more and
        // leaves its edge pixels half drawn.
        double x0 = clip->minX(), y0 = clip->minY(), x1 = clip->maxX(), y1 = clip->maxY();
        cairo_user_to_device(context, &x0, &y0);
        cairo_user_to_device(context, &x1, &y1);
        const double left = std::floor(std::min(x0, x1)), top = std::floor(std::min(y0, y1));
        const double right = std::ceil(std::max(x0, x1)), bottom = std::ceil(std::max(y0, y1));
        cairo_identity_matrix(context);
        cairo_rectangle(context, left, top, right - left, bottom - top);
        cairo_clip(context);
        cairo_set_matrix(context, &windowMatrix);
        double ux0 = left, uy0 = top, ux1 = right, uy1 = bottom;
        cairo_device_to_user(context, &ux0, &uy0);
        cairo_device_to_user(context, &ux1, &uy1);
        pixels = {{std::min(ux0, ux1), std::min(uy0, uy1)}, {std::fabs(ux1 - ux0), std::fabs(uy1 - uy0)}};
        clip = &pixels;
    }
    drawView(context, root, windowMatrix, clip);
    cairo_restore(context);
    root.clearNeedsDisplay();
}

} // namespace

void drawViewTree(NSView& root, cairo_t* context) { drawTree(root, context, nullptr); }

void drawViewTree(NSView& root, cairo_t* context, NSRect clip) { drawTree(root, context, &clip); }

CGImageRef snapshotViewTree(NSView& root, NSSize size, double scale) {
    if (!(size.width >= 1.0) || !(size.height >= 1.0) || !(scale > 0.0)) return nullptr;
    root.setFrame({{0.0, 0.0}, size});
    root.setBackingScaleFactor(scale);
    auto image = NSImage::imageWithSize(size, true, [&root](NSRect) {
        drawViewTree(root, NSGraphicsContext::currentContext()->CGContext());
        return true;
    });
    return image->CGImageForProposedRect(scale);
}

std::expected<void, Error> writePNG(const CGImage& image, const std::filesystem::path& file) {
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return std::unexpected(Error{std::string(kUIErrorDomain), ENOENT,
                                     "cannot write " + file.string() + ": the folder " + folder.string() +
                                         " does not exist"});
    }
    std::random_device random;
    const auto temporary =
        folder / ("." + file.filename().string() + "." + std::to_string(random()) + ".tmp");
    const cairo_status_t status = cairo_surface_write_to_png(image.surface(), temporary.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        std::filesystem::remove(temporary, error);
        return std::unexpected(Error{std::string(kUIErrorDomain), status,
                                     "cannot write " + file.string() + ": " + cairo_status_to_string(status)});
    }
    std::filesystem::rename(temporary, file, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return std::unexpected(Error{std::string(kUIErrorDomain), error.value(),
                                     "cannot write " + file.string() + ": " + error.message()});
    }
    return {};
}

void NSEventRouter::hover(const NSEvent& event, NSView* view) {
    auto before = hovered_.lock();
    if (before.get() == view) return;
    hovered_ = view ? view->weak_from_this() : std::weak_ptr<NSView>();
    if (before) before->mouseExited(event);
    if (view) view->mouseEntered(event);
}

void NSEventRouter::dispatch(const NSEvent& event) {
    switch (event.type) {
    case NSEvent::Type::mouseExited:
        hover(event, nullptr);
        return;
    case NSEvent::Type::mouseMoved:
        hover(event, root_->hitTest(event.locationInWindow));
        return;
    case NSEvent::Type::scrollWheel: {
        NSView* view = root_->hitTest(event.locationInWindow);
        hover(event, view);
        if (view) view->scrollWheel(event);
        return;
    }
    case NSEvent::Type::mouseDragged:
        // A drag keeps the pointer with the view it began on; where it ends
        // counts again at the release, before the release itself.
        break;
    default:
        hover(event, root_->hitTest(event.locationInWindow));
        break;
    }
    if (event.type == NSEvent::Type::mouseDown) {
        for (NSView* view = root_->hitTest(event.locationInWindow); view; view = view->superview()) {
            if (view->acceptsFirstResponder()) {
                root_->makeFirstResponder(view);
                break;
            }
        }
        if (tracking_.empty()) {
            for (NSView* view = root_->hitTest(event.locationInWindow); view; view = view->superview()) {
                for (const auto& recognizer : view->gestureRecognizers()) tracking_.push_back(recognizer);
            }
        }
    }
    // Copies: an action may remove views and with them their recognizers.
    const auto targets = tracking_;
    for (const auto& weak : targets) {
        if (auto recognizer = weak.lock()) recognizer->handleEvent(event);
    }
    if (event.type == NSEvent::Type::mouseUp) tracking_.clear();
}

bool NSEventRouter::dispatchKey(const NSKeyEvent& event) {
    // Held: a key may close the view it went to.
    std::shared_ptr<NSView> target = root_;
    if (NSView* responder = root_->firstResponder()) target = responder->shared_from_this();
    return target->keyDown(event);
}

void NSEventRouter::dispatchKeyUp(const NSKeyEvent& event) {
    std::shared_ptr<NSView> target = root_;
    if (NSView* responder = root_->firstResponder()) target = responder->shared_from_this();
    target->keyUp(event);
}

void NSEventRouter::cancel() {
    const auto targets = std::move(tracking_);
    tracking_.clear();
    for (const auto& weak : targets) {
        if (auto recognizer = weak.lock()) recognizer->cancel();
    }
}

} // namespace platform
