#pragma once

// Stands in for the product's header in the engine's plain build.
#include "tests/support/PlainLoops.h"

namespace orvane {
inline void softClip(float* samples, std::int64_t frameCount) noexcept { plainSoftClip(samples, frameCount); }
}
