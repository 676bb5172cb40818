#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace testsignals {

/// Uniform noise in [-level, level] from a fixed seed: the same signal on
/// every run and machine.
inline std::vector<float> noise(std::size_t n, unsigned seed, float level = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-level, level);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(rng);
    return v;
}

} // namespace testsignals
