#pragma once

// What the LV2 side of Orvane shares between its plug-in binary, its UI
// binary and the tool that writes its Turtle description: the URIs and the
// port layout. The unit's bundle sits inside the LV2 bundle, where the
// adapter core finds it.

#include <cstdint>

namespace orvane::lv2 {

inline constexpr const char* kPluginURI = "urn:orvane:lv2:orvane";
inline constexpr const char* kUIURI = "urn:orvane:lv2:orvane#ui";
inline constexpr const char* kPresetURIPrefix = "urn:orvane:lv2:orvane#preset-";

/// Ports in index order. The six parameters follow their addresses, so a
/// parameter's port is kFirstParameterPort + its address.
enum Port : std::uint32_t {
    kInputLeft = 0,
    kInputRight = 1,
    kOutputLeft = 2,
    kOutputRight = 3,
    kFirstParameterPort = 4,
    kParameterCount = 6,
    kEnabledPort = kFirstParameterPort + kParameterCount, // 10
    kLatencyPort = 11,
    kPortCount = 12,
};

/// Frames per render call when the host does not say how long its blocks
/// may be; longer blocks are rendered in pieces of this size.
inline constexpr std::uint32_t kDefaultMaximumFrames = 1024;

} // namespace orvane::lv2
