// The artwork lookup: which bundles it searches, in which order, and how a
// found picture is fitted to the frame asked for.

#include "artwork/KnobsStyleKit.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Pixels.h"

#include <gtest/gtest.h>

using namespace platform;
using orvane::artworkBundles;
using orvane::artworkImage;
using orvane::KnobsStyleKit;
using testpixels::pixelAt;

namespace {

/// Writes a PNG filled with one opaque colour.
void writePNG(const std::filesystem::path& file, int w, int h, double r, double g, double b) {
    std::filesystem::create_directories(file.parent_path());
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_write_to_png(surface, file.c_str());
    cairo_surface_destroy(surface);
}

/// An application bundle with its code bundle, built-in plug-ins and a
/// folder that is not one.
struct Product {
    platform::testing::TempFolder folder;
    Bundle code = Bundle::atPath(folder.path() / "Code.appex");
    Bundle app = Bundle::atPath(folder.path() / "App.app");

    Product() {
        writePNG(code.bundlePath() / "Shared.png", 10, 10, 1, 0, 0);
        writePNG(app.bundlePath() / "Shared.png", 10, 10, 0, 1, 0);
        writePNG(app.bundlePath() / "Wide.png", 200, 100, 0, 0, 1);
        writePNG(app.bundlePath() / "PlugIns/Effect.appex/OnlyInPlugIn.png", 100, 100, 1, 1, 1);
        writePNG(app.bundlePath() / "PlugIns/Shouting.APPEX/OnlyShouting.png", 10, 10, 1, 1, 1);
        folder.write("App.app/PlugIns/notes.txt", "not a bundle");
    }
    std::vector<Bundle> bundles() const { return artworkBundles(code, app); }
};

} // namespace

TEST(Artwork, TheSearchRunsCodeBundleMainBundleThenItsAppexPlugIns) {
    Product product;
    const auto bundles = product.bundles();
    ASSERT_EQ(bundles.size(), 3u);
    EXPECT_EQ(bundles[0], product.code);
    EXPECT_EQ(bundles[1], product.app);
    EXPECT_EQ(bundles[2].bundlePath().filename(), "Effect.appex") << "only the exact extension counts";

    EXPECT_EQ(artworkBundles(product.app, product.app).size(), 2u) << "the main bundle is not listed twice";
    EXPECT_EQ(artworkBundles(product.code, std::nullopt).size(), 1u);

    auto shared = artworkImage(bundles, "Shared", 10, 10, 1)->CGImageForProposedRect();
    EXPECT_EQ(pixelAt(*shared, 5, 5), (testpixels::Pixel{255, 0, 0, 255})) << "the earlier bundle wins";
    EXPECT_EQ(artworkImage(bundles, "OnlyInPlugIn", 50, 50, 1)->size(), (NSSize{50, 50}));
}

TEST(Artwork, FoundPicturesAreFittedAndMissingOnesAreTransparent) {
    Product product;
    const auto bundles = product.bundles();
    auto wide = artworkImage(bundles, "Wide", 100, 100, 1);
    EXPECT_EQ(wide->size(), (NSSize{100, 50})) << "scale 1: the same picture, aspect kept";
    EXPECT_EQ(artworkImage(bundles, "Wide", 0, 100, 1)->size(), (NSSize{0, 0}));

    auto missing = artworkImage(bundles, "OnlyShouting", 30, 20, 1);
    EXPECT_EQ(missing->size(), (NSSize{30, 20}));
    auto clear = missing->CGImageForProposedRect();
    ASSERT_TRUE(clear) << "a missing picture still draws";
    for (auto [x, y] : {std::pair{0, 0}, {15, 10}, {29, 19}}) EXPECT_EQ(pixelAt(*clear, x, y).a, 0);

    auto half = artworkImage(bundles, "OnlyInPlugIn", 100, 100, 0.5);
    EXPECT_EQ(half->size(), (NSSize{100, 100})) << "another scale: a new image of the frame's size";
    auto centred = half->CGImageForProposedRect();
    EXPECT_EQ(pixelAt(*centred, 24, 50).a, 0);
    EXPECT_EQ(pixelAt(*centred, 25, 25), (testpixels::Pixel{255, 255, 255, 255})) << "drawn 50 x 50 at (25, 25)";
    EXPECT_EQ(pixelAt(*centred, 74, 74), (testpixels::Pixel{255, 255, 255, 255}));
    EXPECT_EQ(pixelAt(*centred, 75, 50).a, 0);
}

TEST(Artwork, EachNamedPictureOfTheStyleKitIsDrawnFromItsOwnFile) {
    // The pictures are staged beside this program, as in the plug-in's bundle.
    const std::pair<const char*, std::shared_ptr<NSImage> (*)(NSRect)> named[] = {
        {"KnobOverlay", KnobsStyleKit::imageOfKnobOverlay},
        {"OrvaneUnderlay", KnobsStyleKit::imageOfOrvaneUnderlay},
        {"PremixUnderlay", KnobsStyleKit::imageOfPremixUnderlay},
        {"GranularityUnderlay", KnobsStyleKit::imageOfGranularityUnderlay},
        {"IncoherenceUnderlay", KnobsStyleKit::imageOfIncoherenceUnderlay},
        {"ImpatienceUnderlay", KnobsStyleKit::imageOfImpatienceUnderlay},
        {"NauseaUnderlay", KnobsStyleKit::imageOfNauseaUnderlay},
        {"GravitasUnderlay", KnobsStyleKit::imageOfGravitasUnderlay},
    };
    std::vector<CGImageRef> drawn;
    for (const auto& [name, accessor] : named) {
        auto mine = accessor({{0, 0}, {64, 64}})->CGImageForProposedRect();
        auto file = artworkImage(name, 64, 64, KnobsStyleKit::underlayScale)->CGImageForProposedRect();
        ASSERT_TRUE(mine && file) << name;
        EXPECT_EQ(testpixels::differingPixels(*mine, *file, 0, 0, 64, 64), 0) << name;
        for (std::size_t i = 0; i < drawn.size(); ++i)
            EXPECT_GT(testpixels::differingPixels(*mine, *drawn[i], 0, 0, 64, 64), 0) << name << " looks like " << named[i].first;
        drawn.push_back(mine);
    }
}
