#pragma once

#include <cstdint>

namespace orvane {

/// The output's soft clip in place: tanh of every sample, within two units
/// in the last place, with anything infinite or not a number turned into 0
/// first. Follows the vector path the blocks' kernels chose. Render thread;
/// never allocates.
void softClip(float* samples, std::int64_t frameCount) noexcept;

} // namespace orvane
