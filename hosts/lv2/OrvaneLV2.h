#pragma once

// What the LV2 side of Orvane shares between its plug-in binary, its UI
// binary and the tool that writes its Turtle description: the URIs, the port
// layout and where the unit's bundle sits inside the LV2 bundle.

#include "platform/audiounit/AUPlugInBundle.h"

#include <cstdint>
#include <filesystem>

namespace orvane::lv2 {

inline constexpr const char* kPluginURI = "urn:orvane:lv2:orvane";
inline constexpr const char* kUIURI = "urn:orvane:lv2:orvane#ui";
inline constexpr const char* kPresetURIPrefix = "urn:orvane:lv2:orvane#preset-";

/// The unit's bundle, inside the LV2 bundle.
inline constexpr const char* kUnitBundleName = "OrvaneAUMac.appex";

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

/// Loads the unit's bundle that sits inside the LV2 bundle at `lv2BundlePath`
/// and makes its principal object, asking for the Orvane effect.
inline std::expected<platform::LoadedPlugIn, platform::Error> loadUnitBundle(const char* lv2BundlePath) {
    const platform::AudioComponentDescription orvane{
        platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0};
    return platform::AUPlugInBundle::load(std::filesystem::path(lv2BundlePath) / kUnitBundleName, orvane);
}

/// Frames per render call when the host does not say how long its blocks
/// may be; longer blocks are rendered in pieces of this size.
inline constexpr std::uint32_t kDefaultMaximumFrames = 1024;

} // namespace orvane::lv2
