#pragma once

#include "hosts/render/RenderOptions.h"
#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AUPlugInBundle.h"

#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace orvane::render {

/// The plug-in as this host sees it: a bundle loaded from disk, never linked.
/// Everything goes through the host contract, as any host would drive it.
class PluginHost {
public:
    /// Loads the bundle named by `bundle` (the unit's own bundle, or an
    /// orvane.lv2 or Orvane.vst3 folder, which hold it inside), or else the
    /// first that exists of
    /// OrvaneAUMac.appex beside the program, one or two folders up (the build
    /// tree), and in ../lib/orvane/Orvane.app/PlugIns or ../lib/orvane (an
    /// installed tree).
    static std::expected<PluginHost, platform::Error> open(const std::optional<std::filesystem::path>& bundle);

    /// A new unit from the principal object.
    std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> createUnit() const;

    const platform::LoadedPlugIn& plugIn() const { return loaded_; }

private:
    explicit PluginHost(platform::LoadedPlugIn loaded) : loaded_(std::move(loaded)) {}
    platform::LoadedPlugIn loaded_;
};

/// Applies, in this order, the factory preset, the saved state, the --set
/// values (through the parameter tree), the seed and bypass. Errors name the
/// preset, parameter or file and list what exists.
std::expected<void, platform::Error> configureUnit(platform::AUAudioUnit& unit, const RenderOptions& options);

/// Refuses at once a --save-state file that could not be written when the
/// time comes: its folder missing or not writable, or the name a folder.
std::expected<void, platform::Error> checkSaveStateTarget(const std::filesystem::path& file);

/// Writes the unit's full state as an XML property list, atomically.
std::expected<void, platform::Error> saveState(platform::AUAudioUnit& unit, const std::filesystem::path& file);

/// A unit prepared for one stream: both buses at the sample rate in stereo,
/// at most blockFrames per call, render resources allocated. Renders blocks
/// in place through the unit's render block; deallocates when destroyed.
class PreparedUnit {
public:
    static std::expected<PreparedUnit, platform::Error> prepare(std::shared_ptr<platform::AUAudioUnit> unit,
                                                                double sampleRate, std::uint32_t blockFrames);
    PreparedUnit(PreparedUnit&&) noexcept;
    PreparedUnit& operator=(PreparedUnit&&) = delete;
    ~PreparedUnit();

    /// Replaces the block's input by the effect's output. Blocks longer than
    /// blockFrames are refused.
    std::expected<void, platform::Error> process(std::span<float> left, std::span<float> right);

private:
    explicit PreparedUnit(std::shared_ptr<platform::AUAudioUnit> unit);

    std::shared_ptr<platform::AUAudioUnit> unit_;
    platform::AUInternalRenderBlock render_;
    platform::AURenderPullInputBlock pull_;
    platform::AudioBufferListStorage buffers_{2};
    double sampleTime_ = 0.0;
};

} // namespace orvane::render
