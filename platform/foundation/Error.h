#pragma once

#include <cstdint>
#include <string>

namespace platform {

/// An error as a value: which layer reported it (domain), its code in that
/// domain, and a message a person can read. Returned through std::expected at
/// the boundaries (construction, render resources, files, bundles).
struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string message;
};

} // namespace platform
