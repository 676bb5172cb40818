#include "plugin/FactoryPresets.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/StringOrdering.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace orvane {

namespace {
constexpr std::string_view kPresetFolder = "presets";
constexpr std::string_view kPresetExtension = "aupreset";

/// Any object of this library marks where its code lives.
const char kBundleAnchor = 0;

std::string lowercaseAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
} // namespace

std::string presetDisplayName(std::string_view filename) {
    const auto dash = filename.find('-');
    if (dash == std::string_view::npos) return std::string(filename);
    if (!platform::isNumericText(filename.substr(0, dash))) return std::string(filename);
    return std::string(filename.substr(dash + 1));
}

std::vector<FactoryPresetFile> listFactoryPresetFiles(const platform::Bundle& bundle) {
    const auto folder = bundle.urlForResource(kPresetFolder, "");
    if (!folder) return {};
    auto listed = platform::contentsOfDirectory(*folder, /*skipHiddenFiles=*/true);
    if (!listed) return {};

    std::vector<std::filesystem::path> files;
    for (auto& path : *listed) {
        const std::string extension = path.extension().string();
        if (!extension.empty() && lowercaseAscii(extension.substr(1)) == kPresetExtension) files.push_back(path);
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return platform::localizedStandardCompare(a.filename().string(), b.filename().string()) < 0;
    });

    std::vector<FactoryPresetFile> entries;
    entries.reserve(files.size());
    for (const auto& path : files) {
        std::string filename = path.stem().string();
        std::string name = presetDisplayName(filename);
        entries.push_back({std::move(filename), std::move(name)});
    }
    return entries;
}

std::optional<platform::PropertyList::Dictionary> loadPresetFile(const platform::Bundle& bundle,
                                                                 const std::string& filename) {
    const auto url = bundle.urlForResource(filename, kPresetExtension, kPresetFolder);
    if (!url) return std::nullopt;
    auto plist = platform::readPropertyListFile(*url);
    if (!plist) return std::nullopt;
    auto* dictionary = plist->dictionary();
    if (!dictionary) return std::nullopt;
    return std::move(*dictionary);
}

std::optional<platform::Bundle> pluginBundle() { return platform::Bundle::forAddress(&kBundleAnchor); }

const std::vector<FactoryPresetFile>& factoryPresetFiles() {
    static std::once_flag once;
    static std::vector<FactoryPresetFile> files;
    std::call_once(once, [] {
        if (auto bundle = pluginBundle()) files = listFactoryPresetFiles(*bundle);
    });
    return files;
}

} // namespace orvane
