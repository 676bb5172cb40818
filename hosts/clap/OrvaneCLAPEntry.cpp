// The CLAP module: its entry, the only symbol it exports, and a factory of
// the one plug-in it offers. Orvane.clap is one file; the unit's bundle and
// the platform libraries lie beside it in the folder Orvane.

#include "hosts/adapter/UnitBundle.h"
#include "hosts/clap/OrvaneCLAP.h"
#include "hosts/clap/OrvaneCLAPPlugin.h"

#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <cstring>
#include <filesystem>

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry;

namespace orvane::clap {

namespace {

/// Where the module was loaded from, as the host named it.
std::filesystem::path modulePath;

/// The companion folder beside the module's own file, with links followed;
/// else beside the path the host named.
std::filesystem::path companionFolder() {
    auto folder = adapter::moduleFolder(&clap_entry);
    if (folder.empty()) folder = modulePath.parent_path();
    return folder / kCompanionFolder;
}

const clap_plugin_factory_t factory{
    [](const clap_plugin_factory_t*) -> std::uint32_t { return 1; },
    [](const clap_plugin_factory_t*, std::uint32_t index) -> const clap_plugin_descriptor_t* {
        return index == 0 ? &descriptor() : nullptr;
    },
    [](const clap_plugin_factory_t*, const clap_host_t* host, const char* id) -> const clap_plugin_t* {
        if (!host || !id || std::strcmp(id, kPluginID) != 0 || !clap_version_is_compatible(host->clap_version))
            return nullptr;
        try {
            return (new Plugin(host, companionFolder()))->clapPlugin();
        } catch (...) {
            return nullptr;
        }
    }};

} // namespace

} // namespace orvane::clap

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry{
    CLAP_VERSION_INIT,
    [](const char* path) {
        orvane::clap::modulePath = path ? path : "";
        return true;
    },
    [] {},
    [](const char* id) -> const void* {
        return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &orvane::clap::factory : nullptr;
    }};
