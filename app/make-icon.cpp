// Build tool: renders the application's icon, the large knob face with its
// pointer, from the artwork folder into a square PNG.
//
//   orvane-make-icon ARTWORK_FOLDER SIZE OUTPUT.png

#include "artwork/KnobsStyleKit.h"
#include "platform/ui/Compositor.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: orvane-make-icon ARTWORK_FOLDER SIZE OUTPUT.png\n");
        return 2;
    }
    const std::vector<platform::Bundle> artwork{platform::Bundle::atPath(argv[1])};
    const double side = std::stod(argv[2]);
    auto icon = platform::NSImage::imageWithSize({side, side}, true, [&](platform::NSRect box) {
        bool drawn = true;
        for (const char* name : {"OrvaneUnderlay", "KnobOverlay"})
            drawn = orvane::artworkImage(artwork, name, side, side, 1.0)->drawInRect(box) && drawn;
        return drawn;
    });
    auto bitmap = icon->CGImageForProposedRect();
    if (!bitmap) {
        std::fprintf(stderr, "orvane-make-icon: the artwork in %s could not be drawn\n", argv[1]);
        return 1;
    }
    if (auto written = platform::writePNG(*bitmap, argv[3]); !written) {
        std::fprintf(stderr, "orvane-make-icon: %s\n", written.error().message.c_str());
        return 1;
    }
    return 0;
}
