#include "platform/foundation/FileManager.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

Error posixError(int code, std::string_view context) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    std::string message(context);
    message += ": ";
    message += text;
    return Error{std::string(kPosixErrorDomain), code, std::move(message)};
}

namespace {

std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

} // namespace

std::expected<std::vector<std::filesystem::path>, Error> contentsOfDirectory(
    const std::filesystem::path& folder, bool skipHiddenFiles) {
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) return std::unexpected(posixError(errno, "cannot list folder " + quoted(folder)));

    std::vector<std::filesystem::path> entries;
    for (;;) {
        // readdir signals both the end and an error with null; only errno tells them apart.
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0) {
                return std::unexpected(posixError(errno, "cannot list folder " + quoted(folder)));
            }
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        if (skipHiddenFiles && name.front() == '.') continue;
        entries.push_back(folder / name);
    }
    return entries;
}

std::expected<std::vector<std::uint8_t>, Error> readWholeFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(posixError(errno, "cannot read " + quoted(path)));
    const FdCloser closer{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(posixError(errno, "cannot read " + quoted(path)));
    // Opening a folder read-only succeeds on Linux; reading it would fail with
    // a less helpful message, so say it here.
    if (S_ISDIR(info.st_mode)) return std::unexpected(posixError(EISDIR, "cannot read " + quoted(path)));

    std::vector<std::uint8_t> bytes;
    // The size is a hint only: files in /proc report 0 and a file may grow
    // while it is read, so read until the end whatever the size said.
    if (S_ISREG(info.st_mode) && info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(posixError(errno, "cannot read " + quoted(path)));
        }
        if (count == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
    return bytes;
}

} // namespace platform
