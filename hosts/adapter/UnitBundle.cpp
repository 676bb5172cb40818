#include "hosts/adapter/UnitBundle.h"

#include <dlfcn.h>

#include <system_error>

namespace orvane::adapter {

std::optional<std::filesystem::path> unitBundleInside(const std::filesystem::path& pluginFolder) {
    std::error_code error;
    for (const auto& candidate : {pluginFolder / kUnitBundleName, pluginFolder / "Contents" / "Resources" / kUnitBundleName}) {
        if (std::filesystem::is_directory(candidate, error)) return candidate;
    }
    if (std::filesystem::exists(pluginFolder / "Info.plist", error)) return pluginFolder;
    return std::nullopt;
}

std::filesystem::path moduleFolder(const void* address) {
    Dl_info info{};
    if (!::dladdr(address, &info) || !info.dli_fname) return {};
    std::error_code error;
    auto file = std::filesystem::canonical(info.dli_fname, error);
    return error ? std::filesystem::path{} : file.parent_path();
}

std::expected<UnitBundle, platform::Error> UnitBundle::load(const std::filesystem::path& pluginFolder) {
    const auto folder = unitBundleInside(pluginFolder);
    if (!folder) {
        return std::unexpected(platform::Error{platform::kAUPlugInErrorDomain, platform::kAUPlugInErr_NoSuchFolder,
                                               "'" + pluginFolder.string() + "' holds no " + kUnitBundleName});
    }
    auto loaded = platform::AUPlugInBundle::load(*folder, kOrvaneDescription);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    return UnitBundle(std::move(*loaded));
}

std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> UnitBundle::createUnit() const {
    return loaded_.principal->createAudioUnit(loaded_.component.description);
}

} // namespace orvane::adapter
