#pragma once

#include "platform/foundation/Bundle.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/Image.h"

#include <cairo.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

/// An empty marker: its only use is to find the bundle that holds the artwork
/// code itself.
class BundleToken {
public:
    /// An address inside the artwork code.
    static const void* codeAddress();
};

/// The knobs' pictures: a static dial face (underlay) per knob, the pointer
/// (overlay) that a knob turns with its value, and the large face the
/// application window shows. Each is an image resource of the product's
/// bundles, found by name and fitted to the frame asked for (only the frame's
/// width and height count); a picture no bundle has comes back transparent at
/// the frame's size. No instances, no state. Main thread only.
class KnobsStyleKit {
public:
    static constexpr double underlayScale = 1.0;

    static std::shared_ptr<platform::NSImage> imageOfKnobOverlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfOrvaneUnderlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfPremixUnderlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfGranularityUnderlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfIncoherenceUnderlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfImpatienceUnderlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfNauseaUnderlay(platform::NSRect frame);
    static std::shared_ptr<platform::NSImage> imageOfGravitasUnderlay(platform::NSRect frame);

    /// A transparent picture of the frame's size holding only a plaque over
    /// the one a dial face (the underlay called `underlay`) carries under its
    /// scale with the knob's name: as wide as the face allows, edged in the
    /// face's colour, with `text` on it, followed by `detail` when both fit,
    /// squeezed when `text` alone does not. Drawn on demand, so it is sharp
    /// at any scale.
    static std::shared_ptr<platform::NSImage> imageOfPlaque(platform::NSRect frame, std::string_view underlay,
                                                            const std::string& text, const std::string& detail);
};

/// The bundles to search, in order, built anew on every call: the bundle of
/// the artwork code, the process's main bundle when it is another, then every
/// entry of the main bundle's built-in plug-ins folder named "*.appex" (exact
/// case) in listing order, skipping any that cannot be opened or is already
/// listed. A plug-ins folder that cannot be listed ends the list there.
std::vector<platform::Bundle> artworkBundles();

/// The same search for a given code bundle and main bundle.
std::vector<platform::Bundle> artworkBundles(const platform::Bundle& codeBundle,
                                             const std::optional<platform::Bundle>& mainBundle);

/// The resource `name` from the first of artworkBundles() that has it, fitted
/// into width x height: with scale 1 the found image itself, resized to fit
/// (aspect kept, so it may come out smaller in one dimension); with another
/// scale a new width x height image drawing it scaled and centred; a found
/// image with no size is resized to width x height. Nothing found: a
/// transparent width x height image.
std::shared_ptr<platform::NSImage> artworkImage(std::string_view name, double width, double height, double scale);

/// The same lookup over the given bundles.
std::shared_ptr<platform::NSImage> artworkImage(const std::vector<platform::Bundle>& bundles, std::string_view name,
                                                double width, double height, double scale);

/// An image whose content `draw` produces on demand, each time it is drawn,
/// into the current graphics context's Cairo context. With no current context
/// the drawing fails and `draw` is not called. `flipped`: origin top-left.
std::shared_ptr<platform::NSImage> renderPlatformImage(platform::NSSize size, bool flipped,
                                                       std::function<void(cairo_t*)> draw);

} // namespace orvane
