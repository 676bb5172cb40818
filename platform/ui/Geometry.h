#pragma once

namespace platform {

/// A point in points; the view it belongs to says which way y grows.
struct NSPoint {
    double x = 0.0;
    double y = 0.0;

    friend bool operator==(const NSPoint&, const NSPoint&) = default;
};

/// A width and a height in points, as the platform's user-interface
/// frameworks measure views and panels. One point is one pixel on our screens.
struct NSSize {
    double width = 0.0;
    double height = 0.0;

    friend bool operator==(const NSSize&, const NSSize&) = default;
};

/// An origin and a size.
struct NSRect {
    NSPoint origin;
    NSSize size;

    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    double midX() const { return origin.x + size.width * 0.5; }
    double midY() const { return origin.y + size.height * 0.5; }
    bool contains(NSPoint p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }

    friend bool operator==(const NSRect&, const NSRect&) = default;
};

inline NSRect NSMakeRect(double x, double y, double w, double h) { return {{x, y}, {w, h}}; }

} // namespace platform
