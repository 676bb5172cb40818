#pragma once

namespace platform {

/// A colour as RGB and alpha, each 0 to 1, not premultiplied.
struct NSColor {
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;
    double alpha = 1.0;

    static NSColor colorWithRGBA(double r, double g, double b, double a) { return {r, g, b, a}; }
    static NSColor colorWithWhite(double white, double a) { return {white, white, white, a}; }
    static NSColor whiteColor() { return {1.0, 1.0, 1.0, 1.0}; }
    static NSColor blackColor() { return {0.0, 0.0, 0.0, 1.0}; }
    /// Grey level one third, opaque.
    static NSColor darkGrayColor() { return colorWithWhite(1.0 / 3.0, 1.0); }
    static NSColor clearColor() { return {0.0, 0.0, 0.0, 0.0}; }

    friend bool operator==(const NSColor&, const NSColor&) = default;
};

} // namespace platform
