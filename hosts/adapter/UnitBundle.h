#pragma once

#include "platform/audiounit/AUPlugInBundle.h"

#include <expected>
#include <filesystem>
#include <memory>

namespace orvane::adapter {

/// The unit's bundle folder's name inside every plug-in bundle we ship.
inline constexpr const char* kUnitBundleName = "OrvaneAUMac.appex";

/// The effect the adapters ask the unit's bundle for.
inline constexpr platform::AudioComponentDescription kOrvaneDescription{
    platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0};

/// Where the unit's bundle sits inside a plug-in bundle folder: directly in
/// it (an LV2 bundle, or the unit's bundle itself), or under
/// Contents/Resources (a VST3 bundle). Null when none of them exists.
std::optional<std::filesystem::path> unitBundleInside(const std::filesystem::path& pluginFolder);

/// The folder of the shared module that holds `address` (a function or
/// object of that module), canonical; empty when it cannot be told.
std::filesystem::path moduleFolder(const void* address);

/// A loaded unit bundle with the units an adapter makes from it. Main or
/// host thread; never on the render thread.
class UnitBundle {
public:
    /// Loads the unit's bundle inside `pluginFolder` and makes its principal
    /// object. The error names the folder.
    static std::expected<UnitBundle, platform::Error> load(const std::filesystem::path& pluginFolder);

    /// A new unit from the principal object. The principal keeps the last
    /// unit it made for its editor, so the unit an editor binds to is made
    /// last.
    std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> createUnit() const;

    const platform::LoadedPlugIn& plugIn() const { return loaded_; }
    const std::shared_ptr<platform::AUAudioUnitFactory>& principal() const { return loaded_.principal; }

private:
    explicit UnitBundle(platform::LoadedPlugIn loaded) : loaded_(std::move(loaded)) {}
    platform::LoadedPlugIn loaded_;
};

} // namespace orvane::adapter
