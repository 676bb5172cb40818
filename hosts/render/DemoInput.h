#pragma once

#include "platform/foundation/Error.h"

#include <expected>
#include <filesystem>

namespace orvane::render {

/// Where the built-in demo clip lives: the copy the build stages at
/// <build>/share/orvane/demo.flac, or, when that is gone, the one committed
/// in the source tree at hosts/render/demo/demo.flac. Both paths are fixed
/// when the library is compiled.
std::expected<std::filesystem::path, platform::Error> demoInputPath();

} // namespace orvane::render
