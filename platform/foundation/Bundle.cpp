#include "platform/foundation/Bundle.h"

#include <dlfcn.h>
#include <link.h>

#include <system_error>

namespace platform {
namespace {

constexpr const char* kInfoFileName = "Info.plist";

std::optional<std::filesystem::path> executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return path;
}

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

} // namespace

std::optional<Bundle> Bundle::forAddress(const void* codeAddress) {
    if (!codeAddress) return std::nullopt;
    Dl_info info{};
    link_map* object = nullptr;
    if (::dladdr1(codeAddress, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0) {
        return std::nullopt;
    }
    // The executable's own entry has an empty name, and dladdr then reports
    // argv[0], which may be relative or a bare name found on PATH.
    if (!object || !object->l_name || object->l_name[0] == '\0') {
        auto executable = executablePath();
        if (!executable) return std::nullopt;
        return enclosing(*executable);
    }
    std::filesystem::path file(object->l_name);
    std::error_code error;
    auto canonical = std::filesystem::canonical(file, error);
    return enclosing(error ? file : canonical);
}

std::optional<Bundle> Bundle::mainBundle() {
    auto executable = executablePath();
    if (!executable) return std::nullopt;
    return enclosing(*executable);
}

Bundle Bundle::enclosing(const std::filesystem::path& file) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(file, error);
    const auto folder = (error ? file : absolute).lexically_normal().parent_path();
    for (auto candidate = folder; !candidate.empty();) {
        if (std::filesystem::is_regular_file(candidate / kInfoFileName, error)) return Bundle(candidate);
        auto parent = candidate.parent_path();
        if (parent == candidate) break;
        candidate = std::move(parent);
    }
    return Bundle(folder);
}

Bundle Bundle::atPath(std::filesystem::path folder) { return Bundle(std::move(folder)); }

std::optional<Bundle> Bundle::open(const std::filesystem::path& folder) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) return std::nullopt;
    auto canonical = std::filesystem::canonical(folder, error);
    if (error) return std::nullopt;
    return Bundle(std::move(canonical));
}

std::filesystem::path Bundle::builtInPlugInsPath() const { return path_ / "PlugIns"; }

std::optional<std::filesystem::path> Bundle::urlForResource(
    std::string_view name, std::string_view extension, std::optional<std::string_view> subdirectory) const {
    if (name.empty() || holdsNul(name) || holdsNul(extension)) return std::nullopt;
    if (extension.find('/') != std::string_view::npos) return std::nullopt;

    std::string fileName(name);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    std::filesystem::path relative;
    if (subdirectory && !subdirectory->empty()) {
        if (holdsNul(*subdirectory)) return std::nullopt;
        relative = std::filesystem::path(*subdirectory);
        if (relative.is_absolute()) return std::nullopt;
    }
    // Appending an absolute name would replace the bundle path altogether.
    const std::filesystem::path namePath(fileName);
    if (namePath.is_absolute()) return std::nullopt;
    relative = (relative / namePath).lexically_normal();

    // After normalisation any way out of the bundle starts with "..", and
    // "." or an empty path would name the bundle itself.
    if (relative.empty() || relative == ".") return std::nullopt;
    if (*relative.begin() == "..") return std::nullopt;
    if (!relative.has_filename()) relative = relative.parent_path();

    auto candidate = path_ / relative;
    std::error_code error;
    if (!std::filesystem::exists(candidate, error)) return std::nullopt;
    return candidate;
}

PropertyList Bundle::infoDictionary() const {
    auto info = readPropertyListFile(path_ / kInfoFileName);
    if (!info || !info->isDictionary()) return PropertyList{};
    return std::move(*info);
}

std::optional<std::string> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    const auto info = infoDictionary();
    const auto* value = info.find(std::string(key));
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

} // namespace platform
