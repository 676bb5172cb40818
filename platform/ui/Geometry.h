#pragma once

namespace platform {

/// A width and a height in points, as the platform's user-interface
/// frameworks measure views and panels.
struct NSSize {
    double width = 0.0;
    double height = 0.0;

    friend bool operator==(const NSSize&, const NSSize&) = default;
};

} // namespace platform
