#pragma once

#include "platform/foundation/PropertyList.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// A bundle: a folder that holds a program or a loadable module together with
/// its resources. Our layout is flat: the folder holds "Info.plist", the
/// executable or shared module and the resource files and folders directly;
/// bundles built into an application sit in its "PlugIns" folder.
///
/// A Bundle is a plain value naming the folder; it caches nothing, so each
/// query looks at the files as they are now. Safe to use from any thread.
class Bundle {
public:
    /// The bundle that holds the code at codeAddress: the loaded executable or
    /// shared module that contains it, then the nearest folder at or above
    /// that file's folder that holds an "Info.plist" file, or that file's own
    /// folder when none does. Null when no loaded object holds the address.
    static std::optional<Bundle> forAddress(const void* codeAddress);

    /// The bundle of the running executable (same search as forAddress).
    static std::optional<Bundle> mainBundle();

    /// The bundle holding the file at `file` (an executable or a module), by
    /// the search of forAddress. Looks at the file system; `file` need not exist.
    static Bundle enclosing(const std::filesystem::path& file);

    /// A bundle for the folder at `folder`, taken as is: no check that it exists.
    static Bundle atPath(std::filesystem::path folder);

    /// A bundle for an existing folder (its canonical path); null when `folder`
    /// is missing or is not a folder.
    static std::optional<Bundle> open(const std::filesystem::path& folder);

    const std::filesystem::path& bundlePath() const { return path_; }

    /// Where bundles built into this one live: <bundle>/PlugIns. It may not exist.
    std::filesystem::path builtInPlugInsPath() const;

    /// The file or folder <bundle>/<subdirectory>/<name>[.<extension>] if it
    /// exists; an empty extension takes the name as is. Names match exactly,
    /// letter case included. A name or subdirectory that would lead outside the
    /// bundle (an absolute path, ".." components) yields null.
    std::optional<std::filesystem::path> urlForResource(
        std::string_view name, std::string_view extension,
        std::optional<std::string_view> subdirectory = std::nullopt) const;

    /// Info.plist parsed; an empty dictionary when it is missing, unreadable,
    /// not a property list or not a dictionary.
    PropertyList infoDictionary() const;

    /// A string value of the information dictionary; null when the key is
    /// absent or its value is not a string.
    std::optional<std::string> objectForInfoDictionaryKey(std::string_view key) const;

    friend bool operator==(const Bundle&, const Bundle&) = default;

private:
    explicit Bundle(std::filesystem::path folder) : path_(std::move(folder)) {}

    std::filesystem::path path_;
};

} // namespace platform
