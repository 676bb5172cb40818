#pragma once

#include "engine/OrvaneDSPKernel.h"
#include "tests/support/Signals.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace orvane::testing {

/// A stereo signal, one vector per channel.
struct Stereo {
    std::vector<float> left, right;
    std::size_t size() const { return left.size(); }
};

inline Stereo stereoNoise(std::size_t n, unsigned seed, float level = 0.5f) {
    return Stereo{testsignals::noise(n, seed, level), testsignals::noise(n, seed + 1000u, level)};
}

struct Settings {
    float premix = 0.5f, granularity = 0.5f, incoherence = 0.5f, impatience = 0.5f, nausea = 0.5f, gravitas = 0.5f;
};

/// Sets the six parameters.
inline void set(OrvaneDSPKernel& k, const Settings& s) {
    k.premix = s.premix;
    k.granularity = s.granularity;
    k.incoherence = s.incoherence;
    k.impatience = s.impatience;
    k.nausea = s.nausea;
    k.gravitas = s.gravitas;
}

/// A kernel with fixed echo seeds, allocated and set.
inline std::unique_ptr<OrvaneDSPKernel> makeKernel(std::int64_t maxFrames, double rate, Settings s,
                                                   std::uint32_t seed = 1234u) {
    auto k = std::make_unique<OrvaneDSPKernel>();
    k->velvetEchoes.rngL = seed;
    k->velvetEchoes.rngR = seed + 1;
    k->allocate(maxFrames, rate);
    set(*k, s);
    return k;
}

/// Renders a whole signal in blocks of the given size, out of place, calling
/// `beforeBlock` with each block's first frame.
template <class Engine, class BeforeBlock = void (*)(std::int64_t)>
Stereo render(Engine& k, const Stereo& in, std::int64_t block, BeforeBlock beforeBlock = [](std::int64_t) {}) {
    Stereo out{std::vector<float>(in.size()), std::vector<float>(in.size())};
    const auto total = static_cast<std::int64_t>(in.size());
    for (std::int64_t at = 0; at < total; at += block) {
        beforeBlock(at);
        const std::int64_t n = std::min(block, total - at);
        k.process(in.left.data() + at, in.right.data() + at, out.left.data() + at, out.right.data() + at, n);
    }
    return out;
}

} // namespace orvane::testing
