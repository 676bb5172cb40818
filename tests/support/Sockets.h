#pragma once

// A listening Unix socket at a path, the way audio and display servers show
// that they run, for tests of programs that look for one.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace testsocket {

/// Listens at `path` while alive; the socket file goes with it.
class Listening {
public:
    explicit Listening(const std::filesystem::path& path) : path_(path) {
        descriptor_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(descriptor_, 1);
    }
    ~Listening() {
        ::close(descriptor_);
        ::unlink(path_.c_str());
    }
    Listening(const Listening&) = delete;
    Listening& operator=(const Listening&) = delete;

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
};

} // namespace testsocket
