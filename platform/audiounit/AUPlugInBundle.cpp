#include "platform/audiounit/AUPlugInBundle.h"

#include "platform/audiounit/AUExtensionEntryPoint.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"

#include <dlfcn.h>

#include <cstdio>
#include <limits>
#include <system_error>

namespace platform {
namespace {

constexpr const char* kInfoFileName = "Info.plist";

Error plugInError(AUPlugInErrorCode code, std::string message) {
    return Error{kAUPlugInErrorDomain, code, std::move(message)};
}

std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

bool isPrintableAscii(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

/// The dictionary under `key` of `dictionary`, or null.
const PropertyList* dictionaryAt(const PropertyList& dictionary, const char* key) {
    const auto* value = dictionary.find(key);
    return value && value->isDictionary() ? value : nullptr;
}

std::expected<AudioComponentInfo, Error> readComponent(const PropertyList& entry, std::size_t index,
                                                       const std::filesystem::path& infoFile) {
    const auto malformed = [&](const std::string& what) {
        return std::unexpected(plugInError(kAUPlugInErr_MalformedComponent,
                                           quoted(infoFile) + ": AudioComponents item " +
                                               std::to_string(index) + ": " + what));
    };
    if (!entry.isDictionary()) return malformed("not a dictionary");

    AudioComponentInfo info;
    const struct {
        const char* key;
        std::uint32_t* field;
    } codes[] = {
        {"type", &info.description.componentType},
        {"subtype", &info.description.componentSubType},
        {"manufacturer", &info.description.componentManufacturer},
    };
    for (const auto& code : codes) {
        const auto* value = entry.find(code.key);
        const auto parsed = value && value->string() ? fourCharCodeFromString(*value->string())
                                                     : std::nullopt;
        if (!parsed)
            return malformed("\"" + std::string(code.key) +
                             "\" must be a string of four printable ASCII characters");
        *code.field = *parsed;
    }
    if (const auto* name = entry.find("name")) {
        if (!name->string()) return malformed("\"name\" must be a string");
        info.name = *name->string();
    }
    if (const auto* version = entry.find("version")) {
        const auto* number = version->integer();
        if (!number || *number < 0 || *number > std::numeric_limits<std::uint32_t>::max())
            return malformed("\"version\" must be an integer from 0 to 4294967295");
        info.version = static_cast<std::uint32_t>(*number);
    }
    return info;
}

bool matches(const AudioComponentDescription& declared, const AudioComponentDescription& wanted) {
    const auto fieldMatches = [](std::uint32_t have, std::uint32_t want) { return want == 0 || have == want; };
    return fieldMatches(declared.componentType, wanted.componentType) &&
           fieldMatches(declared.componentSubType, wanted.componentSubType) &&
           fieldMatches(declared.componentManufacturer, wanted.componentManufacturer);
}

} // namespace

std::optional<std::uint32_t> fourCharCodeFromString(std::string_view text) {
    if (text.size() != 4) return std::nullopt;
    std::uint32_t code = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!isPrintableAscii(byte)) return std::nullopt;
        code = (code << 8) | byte;
    }
    return code;
}

std::string fourCharCodeString(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((code >> shift) & 0xffu);
        if (!isPrintableAscii(byte)) {
            char hex[11];
            std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(code));
            return hex;
        }
        text += static_cast<char>(byte);
    }
    return text;
}

std::string describeComponent(const AudioComponentDescription& description) {
    const auto field = [](std::uint32_t code) { return code == 0 ? std::string("*") : fourCharCodeString(code); };
    return field(description.componentType) + "/" + field(description.componentSubType) + "/" +
           field(description.componentManufacturer);
}

std::expected<AUPlugInBundle, Error> AUPlugInBundle::open(const std::filesystem::path& folder) {
    std::error_code error;
    const auto status = std::filesystem::status(folder, error);
    if (!std::filesystem::exists(status))
        return std::unexpected(plugInError(kAUPlugInErr_NoSuchFolder,
                                           "no plug-in bundle at " + quoted(folder) + ": no such folder"));
    if (!std::filesystem::is_directory(status))
        return std::unexpected(plugInError(kAUPlugInErr_NotAFolder,
                                           quoted(folder) + " is not a folder, so not a plug-in bundle"));
    auto canonical = std::filesystem::canonical(folder, error);
    if (error)
        return std::unexpected(plugInError(kAUPlugInErr_NoSuchFolder,
                                           "cannot resolve the plug-in bundle " + quoted(folder) + ": " +
                                               error.message()));

    AUPlugInBundle bundle;
    bundle.path_ = std::move(canonical);
    const auto infoFile = bundle.path_ / kInfoFileName;
    if (!std::filesystem::exists(std::filesystem::symlink_status(infoFile, error)))
        return std::unexpected(plugInError(kAUPlugInErr_NoInfoDictionary,
                                           "the plug-in bundle " + quoted(bundle.path_) + " has no " +
                                               kInfoFileName));

    auto info = readPropertyListFile(infoFile);
    if (!info)
        return std::unexpected(plugInError(kAUPlugInErr_InfoDictionaryUnreadable,
                                           "cannot read the plug-in's information dictionary: " +
                                               info.error().message));
    if (!info->isDictionary())
        return std::unexpected(plugInError(kAUPlugInErr_InfoDictionaryUnreadable,
                                           quoted(infoFile) + " does not hold a dictionary"));

    const auto noComponents = [&](const std::string& why) {
        return std::unexpected(plugInError(kAUPlugInErr_NoAudioComponents,
                                           quoted(infoFile) + " declares no audio components: " + why));
    };
    const auto* extension = dictionaryAt(*info, "NSExtension");
    if (!extension) return noComponents("it has no NSExtension dictionary");
    const auto* attributes = dictionaryAt(*extension, "NSExtensionAttributes");
    if (!attributes) return noComponents("NSExtension has no NSExtensionAttributes dictionary");
    const auto* components = attributes->find("AudioComponents");
    if (!components || !components->array())
        return noComponents("NSExtensionAttributes has no AudioComponents array");
    if (components->array()->empty()) return noComponents("its AudioComponents array is empty");

    const auto& entries = *components->array();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto component = readComponent(entries[i], i, infoFile);
        if (!component) return std::unexpected(std::move(component.error()));
        bundle.components_.push_back(std::move(*component));
    }

    if (const auto* executable = info->find("CFBundleExecutable");
        executable && executable->string() && !executable->string()->empty())
        bundle.executable_ = *executable->string();
    return bundle;
}

std::expected<AudioComponentInfo, Error> AUPlugInBundle::findComponent(
    const AudioComponentDescription& wanted) const {
    for (const auto& component : components_) {
        if (matches(component.description, wanted)) return component;
    }
    std::string declared;
    for (const auto& component : components_) {
        if (!declared.empty()) declared += ", ";
        declared += describeComponent(component.description) + " (\"" + component.name + "\")";
    }
    return std::unexpected(plugInError(kAUPlugInErr_NoSuchComponent,
                                       "the plug-in bundle " + quoted(path_) + " declares no component " +
                                           describeComponent(wanted) + "; it declares " + declared));
}

std::expected<LoadedPlugIn, Error> AUPlugInBundle::load(const AudioComponentDescription& wanted) const {
    auto component = findComponent(wanted);
    if (!component) return std::unexpected(std::move(component.error()));

    if (!executable_)
        return std::unexpected(plugInError(kAUPlugInErr_NoExecutable,
                                           quoted(path_ / kInfoFileName) +
                                               " names no executable (CFBundleExecutable)"));
    // Resolved through the bundle, which refuses names that lead outside it.
    const auto module = Bundle::atPath(path_).urlForResource(*executable_, "");
    std::error_code error;
    if (!module || !std::filesystem::is_regular_file(*module, error))
        return std::unexpected(plugInError(kAUPlugInErr_ExecutableNotFound,
                                           "the plug-in bundle " + quoted(path_) + " has no executable file \"" +
                                               *executable_ + "\" (named by CFBundleExecutable)"));

    // RTLD_LOCAL keeps the module's symbols out of the host's lookups, and
    // RTLD_NOW makes a missing dependency fail here rather than mid-render.
    void* handle = ::dlopen(module->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        return std::unexpected(plugInError(kAUPlugInErr_ModuleNotLoadable,
                                           "cannot load the plug-in module " + quoted(*module) + ": " +
                                               (reason ? reason : "unknown reason")));
    }
    void* symbol = ::dlsym(handle, kAUExtensionEntryPointName);
    if (!symbol) {
        ::dlclose(handle);
        return std::unexpected(plugInError(kAUPlugInErr_EntryPointMissing,
                                           "the plug-in module " + quoted(*module) +
                                               " does not export the entry point " +
                                               kAUExtensionEntryPointName));
    }
    const auto entryPoint = reinterpret_cast<AUExtensionEntryPoint>(symbol);
    std::shared_ptr<AUAudioUnitFactory> principal;
    entryPoint(&principal);
    if (!principal) {
        ::dlclose(handle);
        return std::unexpected(plugInError(kAUPlugInErr_EntryPointReturnedNothing,
                                           "the entry point " + std::string(kAUExtensionEntryPointName) +
                                               " of " + quoted(*module) + " returned no principal object"));
    }
    // The handle is deliberately kept open for good: see the class comment.
    return LoadedPlugIn{std::move(*component), path_, std::move(principal)};
}

std::expected<LoadedPlugIn, Error> AUPlugInBundle::load(const std::filesystem::path& folder,
                                                        const AudioComponentDescription& wanted) {
    auto bundle = open(folder);
    if (!bundle) return std::unexpected(std::move(bundle.error()));
    return bundle->load(wanted);
}

} // namespace platform
