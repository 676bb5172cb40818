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

/// Whether two rectangles share any area.
inline bool NSIntersectsRect(const NSRect& a, const NSRect& b) {
    return a.minX() < b.maxX() && b.minX() < a.maxX() && a.minY() < b.maxY() && b.minY() < a.maxY();
}

/// The smallest rectangle holding both; an empty one adds nothing.
inline NSRect NSUnionRect(const NSRect& a, const NSRect& b) {
    if (!(a.size.width > 0.0 && a.size.height > 0.0)) return b;
    if (!(b.size.width > 0.0 && b.size.height > 0.0)) return a;
    const double x0 = a.minX() < b.minX() ? a.minX() : b.minX(), y0 = a.minY() < b.minY() ? a.minY() : b.minY();
    const double x1 = a.maxX() > b.maxX() ? a.maxX() : b.maxX(), y1 = a.maxY() > b.maxY() ? a.maxY() : b.maxY();
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}

} // namespace platform
