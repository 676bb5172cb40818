#pragma once

#include "platform/ui/Image.h"

#include <cairo.h>

#include <cstdint>

namespace testpixels {

/// One pixel of a bitmap as 8-bit premultiplied channels.
struct Pixel {
    int r = 0, g = 0, b = 0, a = 0;
    friend bool operator==(const Pixel&, const Pixel&) = default;
};

inline Pixel pixelAt(cairo_surface_t* surface, int x, int y) {
    cairo_surface_flush(surface);
    const auto* row = cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
    const std::uint32_t v = reinterpret_cast<const std::uint32_t*>(row)[x];
    return {int(v >> 16 & 0xff), int(v >> 8 & 0xff), int(v & 0xff), int(v >> 24)};
}

inline Pixel pixelAt(const platform::CGImage& image, int x, int y) { return pixelAt(image.surface(), x, y); }

/// How many pixels of the rectangle differ between two bitmaps of one size.
inline int differingPixels(const platform::CGImage& a, const platform::CGImage& b, int x0, int y0, int w, int h) {
    int count = 0;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) count += !(pixelAt(a, x, y) == pixelAt(b, x, y));
    return count;
}

} // namespace testpixels
