#pragma once

// The reverberator's vector kernel and the choice of instruction-set path
// that every vector kernel of the effect follows. The path is chosen once,
// for the processor the program runs on, the first time a kernel runs; it
// stays the same for the life of the process, so renders on one machine and
// build are reproducible bit for bit.

#include "blocks/VelvetEchoes.h"
#include "blocks/VelvetReverberator.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

/// Adds the n samples at x into buf (a circular buffer of size samples) once
/// per echo, starting at readPos + position and with the echo's amplitude
/// times tapGain, each product with one rounding. Positions must lie in
/// 0 .. size - 1. Long blocks go through register tiles when scratch holds
/// reverberatorScratchSize(n) floats and the table has room for every echo;
/// the table is kept for the next call with the same echoes, pattern version
/// (not 0) and n. Render thread; never allocates.
void spreadOverTaps(float* buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* echoes, std::size_t count,
                    float tapGain, const float* x, std::int64_t n, std::vector<float>& scratch,
                    VelvetReverberator::TapTable& table, std::uint64_t version) noexcept;

/// Floats of scratch that spreadOverTiles needs for n samples on the widest
/// path.
std::size_t reverberatorScratchSize(std::int64_t n) noexcept;

/// The instruction-set paths of the vector kernels that this processor can
/// run, best first (opaque numbers for useVectorPath).
std::vector<std::int64_t> runnableVectorPaths();
/// Makes every vector kernel take the given path from now on, or the best
/// runnable one again for 0. For tests and measurements; never while
/// rendering.
void useVectorPath(std::int64_t path);
/// The name of a path ("AVX3", "AVX2", ...).
std::string vectorPathName(std::int64_t path);

} // namespace orvane
