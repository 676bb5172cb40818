#pragma once

#include "platform/ui/Color.h"
#include "platform/ui/Image.h"
#include "platform/ui/View.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// A font: a fontconfig family, a size in points and a weight.
struct NSFont {
    std::string family = "Sans";
    double pointSize = 13.0;
    bool bold = false;

    /// The system font: fontconfig's "Sans" at `size` points.
    static NSFont systemFontOfSize(double size) { return {"Sans", size}; }
    static NSFont boldSystemFontOfSize(double size) { return {"Sans", size, true}; }
};

/// The extent of one line of text in a font, in points (the platform's
/// sizeWithAttributes:).
NSSize NSStringSize(std::string_view text, const NSFont& font);
/// Draws one line of text, upright, its top-left corner at `point` of the
/// current context (the platform's drawAtPoint:withAttributes:). Nothing
/// without a current context.
void NSStringDrawAtPoint(std::string_view text, NSPoint point, const NSFont& font, const NSColor& color);

enum class NSTextAlignment { left, center, right };

/// A line of text that is not edited: a label. Drawn with Pango; its
/// intrinsic size is the text's extent in its font.
class NSTextField : public NSView {
public:
    static std::shared_ptr<NSTextField> labelWithString(std::string text);

    const std::string& stringValue() const { return text_; }
    void setStringValue(std::string text);
    const NSFont& font() const { return font_; }
    void setFont(NSFont font);
    const NSColor& textColor() const { return color_; }
    void setTextColor(NSColor color);
    NSTextAlignment alignment() const { return alignment_; }
    void setAlignment(NSTextAlignment alignment);

    bool isFlipped() const override { return true; }
    NSSize intrinsicContentSize() const override;
    void drawRect(NSRect dirtyRect) override;

private:
    std::string text_;
    NSFont font_ = NSFont::systemFontOfSize(13.0);
    NSColor color_ = NSColor::blackColor();
    NSTextAlignment alignment_ = NSTextAlignment::left;
};

enum class NSImageScaling { proportionallyDown, axesIndependently, none, proportionallyUpOrDown };

/// Shows an image in its bounds; with proportional up-or-down scaling the
/// whole picture fits, centred, its aspect kept.
class NSImageView : public NSView {
public:
    static std::shared_ptr<NSImageView> imageViewWithImage(std::shared_ptr<NSImage> image);

    const std::shared_ptr<NSImage>& image() const { return image_; }
    void setImage(std::shared_ptr<NSImage> image);
    NSImageScaling imageScaling() const { return scaling_; }
    void setImageScaling(NSImageScaling scaling);

    NSSize intrinsicContentSize() const override;
    void drawRect(NSRect dirtyRect) override;

private:
    std::shared_ptr<NSImage> image_;
    NSImageScaling scaling_ = NSImageScaling::proportionallyDown;
};

enum class NSUserInterfaceLayoutOrientation { horizontal, vertical };

/// Arranges views in one column (vertical) or row, each at its natural size,
/// `spacing` apart, centred across the stack. Its own intrinsic size is what
/// the arranged views need. Origin top-left.
class NSStackView : public NSView {
public:
    using NSView::NSView;

    void setOrientation(NSUserInterfaceLayoutOrientation orientation);
    void setSpacing(double spacing);
    double spacing() const { return spacing_; }
    void addArrangedSubview(std::shared_ptr<NSView> view);
    const std::vector<std::shared_ptr<NSView>>& arrangedSubviews() const { return arranged_; }

    bool isFlipped() const override { return true; }
    NSSize intrinsicContentSize() const override;
    void layout() override;

private:
    NSUserInterfaceLayoutOrientation orientation_ = NSUserInterfaceLayoutOrientation::horizontal;
    double spacing_ = 8.0;
    std::vector<std::shared_ptr<NSView>> arranged_;
};

} // namespace platform
