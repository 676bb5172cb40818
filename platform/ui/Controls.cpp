#include "platform/ui/Controls.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>

namespace platform {
namespace {

/// A Pango layout of the label's text in its font, on `context`.
PangoLayout* layoutFor(cairo_t* context, std::string_view text, const NSFont& font) {
    PangoLayout* layout = pango_cairo_create_layout(context);
    PangoFontDescription* description = pango_font_description_new();
    pango_font_description_set_family(description, font.family.c_str());
    if (font.bold) pango_font_description_set_weight(description, PANGO_WEIGHT_BOLD);
    // One point is one pixel on our screens.
    pango_font_description_set_absolute_size(description, font.pointSize * PANGO_SCALE);
    pango_layout_set_font_description(layout, description);
    pango_font_description_free(description);
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    return layout;
}

} // namespace

NSSize NSStringSize(std::string_view text, const NSFont& font) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* context = cairo_create(surface);
    PangoLayout* layout = layoutFor(context, text, font);
    PangoRectangle extent;
    pango_layout_get_extents(layout, nullptr, &extent);
    g_object_unref(layout);
    cairo_destroy(context);
    cairo_surface_destroy(surface);
    return {double(extent.width) / PANGO_SCALE, double(extent.height) / PANGO_SCALE};
}

void NSStringDrawAtPoint(std::string_view text, NSPoint point, const NSFont& font, const NSColor& color) {
    auto* graphics = NSGraphicsContext::currentContext();
    if (!graphics || text.empty()) return;
    cairo_t* context = graphics->CGContext();
    cairo_save(context);
    cairo_translate(context, point.x, point.y);
    // Text stands upright whichever way the context's y axis runs.
    if (!graphics->isFlipped()) cairo_scale(context, 1.0, -1.0);
    PangoLayout* layout = layoutFor(context, text, font);
    cairo_set_source_rgba(context, color.red, color.green, color.blue, color.alpha);
    pango_cairo_show_layout(context, layout);
    g_object_unref(layout);
    cairo_restore(context);
}

std::shared_ptr<NSTextField> NSTextField::labelWithString(std::string text) {
    auto label = std::make_shared<NSTextField>();
    label->text_ = std::move(text);
    label->setFrameSize(label->intrinsicContentSize());
    return label;
}

void NSTextField::setStringValue(std::string text) {
    text_ = std::move(text);
    if (superview()) superview()->setNeedsLayout(true);
    noteUIChange();
}

void NSTextField::setFont(NSFont font) {
    font_ = std::move(font);
    if (superview()) superview()->setNeedsLayout(true);
    noteUIChange();
}

void NSTextField::setTextColor(NSColor color) {
    color_ = color;
    noteUIChange();
}

void NSTextField::setAlignment(NSTextAlignment alignment) {
    alignment_ = alignment;
    noteUIChange();
}

NSSize NSTextField::intrinsicContentSize() const {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* context = cairo_create(surface);
    PangoLayout* layout = layoutFor(context, text_, font_);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    g_object_unref(layout);
    cairo_destroy(context);
    cairo_surface_destroy(surface);
    return {double(width), double(height)};
}

void NSTextField::drawRect(NSRect) {
    auto* graphics = NSGraphicsContext::currentContext();
    if (!graphics || text_.empty()) return;
    cairo_t* context = graphics->CGContext();
    PangoLayout* layout = layoutFor(context, text_, font_);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    const double room = bounds().size.width - width;
    const double x = alignment_ == NSTextAlignment::center ? room * 0.5 : alignment_ == NSTextAlignment::right ? room : 0.0;
    cairo_save(context);
    cairo_set_source_rgba(context, color_.red, color_.green, color_.blue, color_.alpha);
    cairo_move_to(context, x, 0.0);
    pango_cairo_show_layout(context, layout);
    cairo_restore(context);
    g_object_unref(layout);
}

std::shared_ptr<NSImageView> NSImageView::imageViewWithImage(std::shared_ptr<NSImage> image) {
    auto view = std::make_shared<NSImageView>();
    view->image_ = std::move(image);
    if (view->image_) view->setFrameSize(view->image_->size());
    return view;
}

void NSImageView::setImage(std::shared_ptr<NSImage> image) {
    image_ = std::move(image);
    noteUIChange();
}

void NSImageView::setImageScaling(NSImageScaling scaling) {
    scaling_ = scaling;
    noteUIChange();
}

NSSize NSImageView::intrinsicContentSize() const { return image_ ? image_->size() : NSSize{-1.0, -1.0}; }

void NSImageView::drawRect(NSRect) {
    if (!image_) return;
    const NSRect box = bounds();
    const NSSize size = image_->size();
    if (!(size.width > 0.0 && size.height > 0.0)) return;
    double s = 1.0;
    switch (scaling_) {
    case NSImageScaling::axesIndependently: image_->drawInRect(box); return;
    case NSImageScaling::none: break;
    case NSImageScaling::proportionallyDown: s = std::min({1.0, box.size.width / size.width, box.size.height / size.height}); break;
    case NSImageScaling::proportionallyUpOrDown: s = std::min(box.size.width / size.width, box.size.height / size.height); break;
    }
    const NSSize fitted{size.width * s, size.height * s};
    image_->drawInRect({{(box.size.width - fitted.width) * 0.5, (box.size.height - fitted.height) * 0.5}, fitted});
}

void NSStackView::setOrientation(NSUserInterfaceLayoutOrientation orientation) {
    orientation_ = orientation;
    setNeedsLayout(true);
}

void NSStackView::setSpacing(double spacing) {
    spacing_ = spacing;
    setNeedsLayout(true);
}

void NSStackView::addArrangedSubview(std::shared_ptr<NSView> view) {
    if (!view) return;
    arranged_.push_back(view);
    addSubview(std::move(view));
    setNeedsLayout(true);
    if (superview()) superview()->setNeedsLayout(true);
}

NSSize NSStackView::intrinsicContentSize() const {
    const bool vertical = orientation_ == NSUserInterfaceLayoutOrientation::vertical;
    double along = 0.0, across = 0.0;
    for (const auto& view : arranged_) {
        const NSSize size = view->naturalSize();
        along += vertical ? size.height : size.width;
        across = std::max(across, vertical ? size.width : size.height);
    }
    if (arranged_.size() > 1) along += spacing_ * double(arranged_.size() - 1);
    return vertical ? NSSize{across, along} : NSSize{along, across};
}

void NSStackView::layout() {
    const bool vertical = orientation_ == NSUserInterfaceLayoutOrientation::vertical;
    const NSSize box = bounds().size;
    double offset = 0.0;
    for (const auto& view : arranged_) {
        const NSSize size = view->naturalSize();
        // Centred on whole points, like every laid-out view.
        if (vertical) {
            view->setFrame({{std::round((box.width - size.width) * 0.5), offset}, size});
            offset += size.height + spacing_;
        } else {
            view->setFrame({{offset, std::round((box.height - size.height) * 0.5)}, size});
            offset += size.width + spacing_;
        }
    }
}

} // namespace platform
