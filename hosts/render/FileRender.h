#pragma once

#include "hosts/render/PluginHost.h"
#include "hosts/render/RenderOptions.h"
#include "hosts/render/Summary.h"
#include "platform/foundation/Error.h"

#include <expected>
#include <filesystem>
#include <mutex>
#include <string>

namespace orvane::render {

/// Renders one input file through a fresh unit of `host` set up from the
/// options (preset, state, --set values, seed, bypass), into options.output
/// or else "<input stem>-orvane.wav" beside the input. Input, unit and output
/// go block by block, so memory stays flat whatever the file's length. The
/// output is complete and in place when this succeeds and absent when it
/// fails; options.saveStateFile is written only after a success. A progress
/// bar shows on a terminal unless options.quiet.
///
/// Any thread, one call per file. With `setupLock`, making and configuring
/// the unit holds it: that reads preset and state files through the plug-in,
/// which promises safety per unit only, so parallel renders take turns there
/// as a host's main thread would, and render in parallel after.
/// What a unit configured from the options was set up with, as summaries
/// name it: "preset 04 Dark Wash, gravitas=0.5", "state 'my.aupreset' (My Room)".
std::string describeSettings(platform::AUAudioUnit& unit, const RenderOptions& options);

std::expected<RenderSummary, platform::Error> renderFile(const PluginHost& host, const RenderOptions& options,
    const std::filesystem::path& inputPath, std::mutex* setupLock = nullptr);

} // namespace orvane::render
