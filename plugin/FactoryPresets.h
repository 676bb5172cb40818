#pragma once

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

/// One factory preset file of the plug-in's bundle.
struct FactoryPresetFile {
    /// The file's name without its extension; finds the file again.
    std::string filename;
    /// What the host shows: the filename without a numeric "NN-" prefix.
    std::string name;
};

/// The name shown for a preset file name: the text after the first "-" when
/// everything before it is numeric (any script's digits, fractions, Roman
/// numerals), else the whole name. "03-Glass Rain" shows as "Glass Rain";
/// "03 - Glass Rain" and "Lead-In" keep their whole names.
std::string presetDisplayName(std::string_view filename);

/// Lists the "aupreset" files (extension in any case) directly inside the
/// bundle's "presets" folder, hidden files skipped, in file-browser order of
/// their whole file names. Missing or unreadable folders give no presets.
std::vector<FactoryPresetFile> listFactoryPresetFiles(const platform::Bundle& bundle);

/// Reads a preset file "presets/<filename>.aupreset" of the bundle; nothing
/// when it is missing, unreadable, not a property list, or not a dictionary.
std::optional<platform::PropertyList::Dictionary> loadPresetFile(const platform::Bundle& bundle,
                                                                 const std::string& filename);

/// The bundle that holds the plug-in's code: wherever it is linked in.
std::optional<platform::Bundle> pluginBundle();

/// The process-wide list for the plug-in's own bundle, built on first use
/// (safe when several threads use it first at once) and never rebuilt.
const std::vector<FactoryPresetFile>& factoryPresetFiles();

} // namespace orvane
