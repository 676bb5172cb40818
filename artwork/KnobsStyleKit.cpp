#include "artwork/KnobsStyleKit.h"

#include "platform/foundation/FileManager.h"

#include <algorithm>

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

std::shared_ptr<NSImage> KnobsStyleKit::imageOfKnobOverlay(NSRect f) { return fitted("KnobOverlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfOrvaneUnderlay(NSRect f) { return fitted("OrvaneUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfPremixUnderlay(NSRect f) { return fitted("PremixUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfGranularityUnderlay(NSRect f) { return fitted("GranularityUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfIncoherenceUnderlay(NSRect f) { return fitted("IncoherenceUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfImpatienceUnderlay(NSRect f) { return fitted("ImpatienceUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfNauseaUnderlay(NSRect f) { return fitted("NauseaUnderlay", f); }
std::shared_ptr<NSImage> KnobsStyleKit::imageOfGravitasUnderlay(NSRect f) { return fitted("GravitasUnderlay", f); }

} // namespace orvane
