#include "artwork/KnobsStyleKit.h"

#include "platform/foundation/FileManager.h"
#include "platform/ui/Controls.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orvane {

using platform::Bundle;
using platform::NSImage;
using platform::NSRect;
using platform::NSSize;

const void* BundleToken::codeAddress() { return reinterpret_cast<const void*>(&BundleToken::codeAddress); }

std::vector<Bundle> artworkBundles(const Bundle& codeBundle, const std::optional<Bundle>& mainBundle) {
    std::vector<Bundle> bundles{codeBundle};
    if (!mainBundle) return bundles;
    if (*mainBundle != codeBundle) bundles.push_back(*mainBundle);
    auto entries = platform::contentsOfDirectory(mainBundle->builtInPlugInsPath(), false);
    if (!entries) return bundles;
    for (const auto& entry : *entries) {
        if (entry.extension() != ".appex") continue;
        auto bundle = Bundle::open(entry);
        if (!bundle) continue;
        if (std::find(bundles.begin(), bundles.end(), *bundle) != bundles.end()) continue;
        bundles.push_back(std::move(*bundle));
    }
    return bundles;
}

std::vector<Bundle> artworkBundles() {
    auto code = Bundle::forAddress(BundleToken::codeAddress());
    auto main = Bundle::mainBundle();
    if (!code) {
        // Cannot happen for loaded code; the main bundle alone is the best guess.
        if (!main) return {};
        return artworkBundles(*main, main);
    }
    return artworkBundles(*code, main);
}

std::shared_ptr<NSImage> renderPlatformImage(NSSize size, bool flipped, std::function<void(cairo_t*)> draw) {
    return NSImage::imageWithSize(size, flipped, [draw = std::move(draw)](NSRect) {
        auto* graphics = platform::NSGraphicsContext::currentContext();
        if (!graphics) return false;
        draw(graphics->CGContext());
        return true;
    });
}

std::shared_ptr<NSImage> artworkImage(const std::vector<Bundle>& bundles, std::string_view name, double width,
                                      double height, double scale) {
    std::shared_ptr<NSImage> found;
    for (const auto& bundle : bundles) {
        found = NSImage::imageForResource(bundle, name);
        if (found) break;
    }
    if (!found) {
        return renderPlatformImage({width, height}, true, [width, height](cairo_t* context) {
            platform::CGContextClearRect(context, {{0.0, 0.0}, {width, height}});
        });
    }
    const NSSize size = found->size();
    if (!(size.width > 0.0 && size.height > 0.0)) {
        found->setSize({width, height});
        return found;
    }
    const double s = std::min(width / size.width, height / size.height) * scale;
    const NSSize fitted{size.width * s, size.height * s};
    if (scale == 1.0) {
        found->setSize(fitted);
        return found;
    }
    const NSRect target{{(width - fitted.width) * 0.5, (height - fitted.height) * 0.5}, fitted};
    return NSImage::imageWithSize({width, height}, false,
                                  [found, target](NSRect) { return found->drawInRect(target); });
}

std::shared_ptr<NSImage> artworkImage(std::string_view name, double width, double height, double scale) {
    return artworkImage(artworkBundles(), name, width, height, scale);
}

namespace {
std::shared_ptr<NSImage> fitted(std::string_view name, NSRect frame) {
    return artworkImage(name, frame.size.width, frame.size.height, KnobsStyleKit::underlayScale);
}
} // namespace

namespace {

// The plaque as the dial faces draw it, in their 200 x 200 units.
constexpr double kArtworkSide = 200.0;
constexpr NSRect kPlaque{{4.0, 172.0}, {192.0, 24.0}};
constexpr double kPlaqueRadius = 12.0;
constexpr double kPlaqueLine = 1.6;
constexpr double kTextMargin = 8.0;
constexpr platform::NSColor kPlaqueFill{15 / 255.0, 10 / 255.0, 23 / 255.0, 1.0};
constexpr platform::NSColor kReadoutColor{246 / 255.0, 240 / 255.0, 1.0, 1.0};

constexpr platform::NSColor rgb(unsigned hex) {
    return {(hex >> 16 & 0xff) / 255.0, (hex >> 8 & 0xff) / 255.0, (hex & 0xff) / 255.0, 1.0};
}

/// Each face's own colour, as its picture edges the plaque.
platform::NSColor plaqueEdge(std::string_view underlay) {
    struct Face { std::string_view name; unsigned colour; };
    static constexpr Face kFaces[] = {
        {"PremixUnderlay", 0x3fd6c6}, {"GranularityUnderlay", 0xffb347}, {"IncoherenceUnderlay", 0xf07cf5},
        {"ImpatienceUnderlay", 0xff6f5e}, {"NauseaUnderlay", 0xaee84a}, {"GravitasUnderlay", 0x6fb0ff},
        {"OrvaneUnderlay", 0xe9a8ff}};
    for (const auto& face : kFaces)
        if (face.name == underlay) return rgb(face.colour);
    return rgb(0xf6f0ff);
}
// Readouts in 20 units, the faces' names are 25; on a large knob they stop
// growing at 18 points, which leaves room for the detail.
constexpr double kReadoutSize = 20.0;
constexpr double kLargestReadoutPoints = 18.0;
constexpr const char* kDetailSeparator = "  \u00b7  ";

} // namespace

std::shared_ptr<NSImage> KnobsStyleKit::imageOfPlaque(NSRect frame, std::string_view underlay, const std::string& text,
                                                      const std::string& detail) {
    const double w = frame.size.width, h = frame.size.height;
    const platform::NSColor edge = plaqueEdge(underlay);
    return renderPlatformImage({w, h}, true, [w, h, edge, text, detail](cairo_t* context) {
        // Stretched with the frame, as the faces are.
        const double ux = w / kArtworkSide, uy = h / kArtworkSide, u = std::min(ux, uy);
        const NSRect plaque{{kPlaque.origin.x * ux, kPlaque.origin.y * uy}, {kPlaque.size.width * ux, kPlaque.size.height * uy}};
        const double r = std::min(kPlaqueRadius * u, plaque.size.height * 0.5);
        constexpr double pi = std::numbers::pi;
        cairo_new_path(context);
        cairo_arc(context, plaque.minX() + r, plaque.minY() + r, r, pi, 1.5 * pi);
        cairo_arc(context, plaque.maxX() - r, plaque.minY() + r, r, 1.5 * pi, 2.0 * pi);
        cairo_arc(context, plaque.maxX() - r, plaque.maxY() - r, r, 0.0, 0.5 * pi);
        cairo_arc(context, plaque.minX() + r, plaque.maxY() - r, r, 0.5 * pi, pi);
        cairo_close_path(context);
        cairo_set_source_rgba(context, kPlaqueFill.red, kPlaqueFill.green, kPlaqueFill.blue, 1.0);
        cairo_fill_preserve(context);
        cairo_set_source_rgba(context, edge.red, edge.green, edge.blue, 1.0);
        cairo_set_line_width(context, kPlaqueLine * u);
        cairo_stroke(context);

        const platform::NSFont font{"DejaVu Sans", std::min(kReadoutSize * u, kLargestReadoutPoints), true};
        const double room = plaque.size.width - 2.0 * kTextMargin * u;
        std::string shown = text + kDetailSeparator + detail;
        NSSize size = platform::NSStringSize(shown, font);
        if (detail.empty() || size.width > room) {
            shown = text;
            size = platform::NSStringSize(shown, font);
        }
        const double squeeze = size.width > room ? room / size.width : 1.0;
        cairo_save(context);
        cairo_translate(context, plaque.midX() - size.width * squeeze * 0.5, plaque.midY() - size.height * 0.5);
        cairo_scale(context, squeeze, 1.0);
        platform::NSStringDrawAtPoint(shown, {0.0, 0.0}, font, kReadoutColor);
        cairo_restore(context);
    });
}

std::shared_ptr<NSImage> KnobsStyleKit::imageOfKnobOverlay(NSRect f) { return fitted("KnobOverlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfOrvaneUnderlay(NSRect f) { return fitted("OrvaneUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfPremixUnderlay(NSRect f) { return fitted("PremixUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfGranularityUnderlay(NSRect f) { return fitted("GranularityUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfIncoherenceUnderlay(NSRect f) { return fitted("IncoherenceUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfImpatienceUnderlay(NSRect f) { return fitted("ImpatienceUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfNauseaUnderlay(NSRect f) { return fitted("NauseaUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfGravitasUnderlay(NSRect f) { return fitted("GravitasUnderlay", f); }

} // namespace orvane
