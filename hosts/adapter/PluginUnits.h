#pragma once

#include "hosts/adapter/EditorEmbedding.h"
#include "hosts/adapter/ParameterTable.h"
#include "hosts/adapter/UnitBundle.h"
#include "hosts/adapter/UnitRenderer.h"
#include "platform/foundation/PropertyList.h"

#include <expected>
#include <filesystem>
#include <memory>
#include <span>

namespace orvane::adapter {

/// What one plug-in instance holds in every format that has an editor: the
/// unit's bundle, a unit that renders, and a unit that never renders whose
/// parameters are the host's controller side, for the editor's knobs to bind
/// to (made last, so that the principal object's editor binds to it). Host
/// or main thread, except the renderer's audio-thread calls.
struct PluginUnits {
    /// Loads the unit's bundle inside `pluginFolder` and makes both units;
    /// `callbacks` hear the editor's edits and gestures. Nothing is left
    /// behind when it fails.
    static std::expected<std::unique_ptr<PluginUnits>, platform::Error> load(const std::filesystem::path& pluginFolder,
                                                                             ParameterMirror::Callbacks callbacks);
    ~PluginUnits();

    /// Restores saved state bytes into both units; bytes that cannot be read
    /// change neither. The mirror's callbacks do not hear it. The restored
    /// dictionary, for the keys of a plug-in format's own.
    std::expected<platform::PropertyList::Dictionary, platform::Error> restoreState(std::span<const std::uint8_t> bytes);
    /// The principal object as the editor's controller.
    std::shared_ptr<platform::AUViewController> editorController() const;

    UnitBundle bundle;
    std::shared_ptr<platform::AUAudioUnit> rendering;
    std::unique_ptr<UnitRenderer> renderer;
    std::shared_ptr<platform::AUAudioUnit> controller;
    std::unique_ptr<ParameterMirror> mirror;
    ParameterTable table;

private:
    explicit PluginUnits(UnitBundle loaded) : bundle(std::move(loaded)) {}
};

} // namespace orvane::adapter
