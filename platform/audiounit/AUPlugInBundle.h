#pragma once

#include "platform/audiounit/AUAudioUnitFactory.h"
#include "platform/audiounit/AudioTypes.h"
#include "platform/foundation/Error.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// Domain of the errors that opening and loading a plug-in bundle report.
inline constexpr const char* kAUPlugInErrorDomain = "AUPlugIn";

/// Codes in kAUPlugInErrorDomain, one for each way a bundle can fail to load.
enum AUPlugInErrorCode : std::int64_t {
    kAUPlugInErr_NoSuchFolder = 1,
    kAUPlugInErr_NotAFolder = 2,
    kAUPlugInErr_NoInfoDictionary = 3,
    /// Info.plist cannot be read, is not a property list or not a dictionary.
    kAUPlugInErr_InfoDictionaryUnreadable = 4,
    kAUPlugInErr_NoAudioComponents = 5,
    /// An AudioComponents entry lacks a four-character code or holds a value
    /// of the wrong kind.
    kAUPlugInErr_MalformedComponent = 6,
    kAUPlugInErr_NoSuchComponent = 7,
    kAUPlugInErr_NoExecutable = 8,
    kAUPlugInErr_ExecutableNotFound = 9,
    kAUPlugInErr_ModuleNotLoadable = 10,
    kAUPlugInErr_EntryPointMissing = 11,
    kAUPlugInErr_EntryPointReturnedNothing = 12,
};

/// The four-character code a string spells: exactly four printable ASCII
/// characters, the first in the most significant byte. Null otherwise.
std::optional<std::uint32_t> fourCharCodeFromString(std::string_view text);

/// A code as text: its four characters when all are printable ASCII, else
/// "0x" and eight hexadecimal digits.
std::string fourCharCodeString(std::uint32_t code);

/// A description as "type/subtype/manufacturer", a zero field shown as "*".
std::string describeComponent(const AudioComponentDescription& description);

/// One audio component a plug-in bundle declares in its information
/// dictionary, under NSExtension / NSExtensionAttributes / AudioComponents.
struct AudioComponentInfo {
    /// Type, subtype and manufacturer from the entry; flags and mask zero.
    AudioComponentDescription description;
    /// The entry's "name"; empty when it has none.
    std::string name;
    /// The entry's "version"; 0 when it has none.
    std::uint32_t version = 0;
};

/// A plug-in bundle whose principal object has been created.
struct LoadedPlugIn {
    /// The component that matched the description asked for. Hosts pass its
    /// description to the principal object's createAudioUnit.
    AudioComponentInfo component;
    /// The bundle folder, canonical.
    std::filesystem::path bundlePath;
    /// The principal object. Releasing it destroys the object; the module it
    /// came from stays loaded for the rest of the process (see AUPlugInBundle).
    std::shared_ptr<AUAudioUnitFactory> principal;
};

/// A plug-in bundle opened for inspection and loading: a folder holding an
/// "Info.plist" that declares audio components and names the executable
/// (CFBundleExecutable), a shared module in the same folder that exports the
/// entry point of platform/audiounit/AUExtensionEntryPoint.h.
///
/// Opening reads only the information dictionary, so a host can list what a
/// bundle offers without running any of its code. Loading opens the module
/// with its symbols kept to itself, so the host and the plug-in never share
/// code by name, and creates the principal object.
///
/// Modules are never unloaded once an object has come from them: a module's
/// code must outlive every object, task and static it made (units the host
/// still holds, tasks queued for another thread, destructors of its statics
/// registered to run at exit), and nothing tells when the last of them is
/// gone. A module that fails to yield an object is closed again.
///
/// Every failure is an Error in kAUPlugInErrorDomain whose message names the
/// folder or file involved. Opening and loading may run on any thread.
class AUPlugInBundle {
public:
    /// Reads <folder>/Info.plist and the components it declares. Fails when
    /// the folder is missing or not a folder, when Info.plist is missing,
    /// unreadable or not a dictionary, when no component is declared, or when
    /// a declared component is malformed.
    static std::expected<AUPlugInBundle, Error> open(const std::filesystem::path& folder);

    /// The bundle folder, canonical.
    const std::filesystem::path& path() const { return path_; }

    /// The declared components, in the order of the information dictionary.
    const std::vector<AudioComponentInfo>& components() const { return components_; }

    /// The executable's name as declared; null when CFBundleExecutable is
    /// missing, empty or not a string.
    const std::optional<std::string>& executableName() const { return executable_; }

    /// The first declared component that matches `wanted` in type, subtype
    /// and manufacturer. A zero field in `wanted` matches any value, so an
    /// all-zero description picks the first component; flags and mask are
    /// not compared. The error names what was asked and what is declared.
    std::expected<AudioComponentInfo, Error> findComponent(const AudioComponentDescription& wanted) const;

    /// findComponent, then opens the executable (resolving every symbol now),
    /// looks up the entry point and calls it once.
    std::expected<LoadedPlugIn, Error> load(const AudioComponentDescription& wanted) const;

    /// open(folder), then load(wanted).
    static std::expected<LoadedPlugIn, Error> load(const std::filesystem::path& folder,
                                                   const AudioComponentDescription& wanted);

private:
    AUPlugInBundle() = default;

    std::filesystem::path path_;
    std::vector<AudioComponentInfo> components_;
    std::optional<std::string> executable_;
};

} // namespace platform
