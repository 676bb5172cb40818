#include "blocks/VelvetEchoes.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace orvane {

namespace {
constexpr int kEchoCount = VelvetEchoes::kEchoCount;
constexpr float kSixtyDecibels = 0.001f;
constexpr float kShortestDecaySeconds = 0.000001f;

std::uint32_t nextState(std::uint32_t state) noexcept { return state * 1664525u + 1013904223u; }

/// A uniform draw from 1 .. 2^32-1: the generator must never start at 0.
std::uint32_t drawSeed(std::random_device& source) {
    std::uint32_t seed = 0;
    while (seed == 0) seed = static_cast<std::uint32_t>(source());
    return seed;
}

std::uint32_t fillPattern(std::vector<VelvetEcho>& echoes, std::uint32_t state, std::int64_t spacing) {
    echoes.assign(kEchoCount, VelvetEcho{});
    const float cell = static_cast<float>(spacing);
    for (int i = 0; i < kEchoCount; ++i) {
        state = nextState(state);
        // Single precision on purpose: rounding may give exactly 1, which the
        // min() below folds back into the cell.
        const float u = static_cast<float>(state) * 0x1p-32f;
        const std::int64_t j = std::min(spacing, static_cast<std::int64_t>(u * cell) + 1);
        echoes[static_cast<std::size_t>(i)].position = i * spacing + j;
        state = nextState(state);
        echoes[static_cast<std::size_t>(i)].sign = (state & 0x80000000u) != 0 ? 1.0f : -1.0f;
    }
    return state;
}

void decay(std::vector<VelvetEcho>& echoes, float scale) noexcept {
    for (auto& e : echoes) {
        e.amplitude = e.sign * std::pow(kSixtyDecibels, static_cast<float>(e.position) / scale);
    }
}
} // namespace

VelvetEchoes::VelvetEchoes() {
    std::random_device source;
    rngL = drawSeed(source);
    rngR = drawSeed(source);
}

VelvetEchoes::VelvetEchoes(std::uint32_t seedL, std::uint32_t seedR) : rngL(seedL), rngR(seedR) {}

void VelvetEchoes::configure(float rate) {
    sampleRate = rate;
    spacing = static_cast<std::int64_t>(std::round(rate / 1000.0f));
    loopLength = spacing * kEchoCount;
    rngL = fillPattern(left, rngL, spacing);
    rngR = fillPattern(right, rngR, spacing);
    lastKnownTime = -1.0f;
    ++version;
}

void VelvetEchoes::setDecay(float time) noexcept {
    if (time == lastKnownTime) return;
    lastKnownTime = time;
    ++version;
    const float scale = std::max(time, kShortestDecaySeconds) * sampleRate;
    decay(left, scale);
    decay(right, scale);
}

} // namespace orvane
