#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// Domain of errors that the operating system reported; the code is the
/// errno value (ENOENT, EACCES, EISDIR...).
inline constexpr std::string_view kPosixErrorDomain = "POSIX";

/// An error in kPosixErrorDomain: "<context>: <the system's text for code>".
Error posixError(int code, std::string_view context);

/// The direct contents of one folder, files and folders alike, without
/// recursion, as full paths (folder / name). With skipHiddenFiles, names that
/// start with "." are left out. The order is whatever the file system returns:
/// callers that show or number the entries sort them. Fails (POSIX domain)
/// when the folder is missing, is not a folder or cannot be read.
std::expected<std::vector<std::filesystem::path>, Error> contentsOfDirectory(
    const std::filesystem::path& folder, bool skipHiddenFiles);

/// The whole content of a file. Fails (POSIX domain, message naming the file)
/// when it is missing, is a folder or cannot be read.
std::expected<std::vector<std::uint8_t>, Error> readWholeFile(const std::filesystem::path& path);

} // namespace platform
