#pragma once

#include <algorithm>
#include <cmath>

/// The quantities the six parameters set, as the kernel works them out once
/// per block. The kernel calls these and nothing else for them, and the
/// editor's readouts call the same functions, so what a knob says is what the
/// effect does. Each takes the parameter's field as stored (unclamped) and
/// clamps it where the kernel does.
namespace orvane::curves {

inline constexpr float kMaxStreamFeedback = 0.975f;
inline constexpr double kSpreadSeconds = 0.03;
inline constexpr double kDepthSeconds = 0.05;
inline constexpr double kStreamLfoHz = 0.05;
inline constexpr float kDecayBase = 20.0f;
inline constexpr float kShortestDecaySeconds = 0.5f;
inline constexpr double kTopCutoffHz = 15000.0;
inline constexpr double kCutoffRange = 0.014666666666666666; // 220 / 15000: 15 kHz down to 220 Hz
inline constexpr float kMaxOutputDelaySeconds = 0.12f;

inline float clamp01(float x) noexcept {
    if (!(x > 0.0f)) return 0.0f;
    if (x > 1.0f) return 1.0f;
    return x;
}

/// premix: the wet signal's share of the output, used unclamped.
inline float wetShare(float premix) noexcept { return premix; }

/// granularity: how far each stream's delay swings about its middle, in
/// seconds; the delay sweeps from its offset to twice this above it.
inline double streamDepthSeconds(float granularity) noexcept {
    const double g = static_cast<double>(clamp01(granularity));
    return g * g * kDepthSeconds * 0.5;
}

/// incoherence: the step between the three streams' delay offsets, in
/// seconds (offsets 0, one and two steps).
inline double streamSpreadSeconds(float incoherence) noexcept {
    const double i = static_cast<double>(clamp01(incoherence));
    return i * i * kSpreadSeconds;
}

/// incoherence: the rate of stream k's delay LFO, in hertz.
inline double streamLfoHz(float incoherence, int k) noexcept {
    return (static_cast<double>(clamp01(incoherence)) * static_cast<double>(k) + 1.0) * kStreamLfoHz;
}

/// impatience: the feedback gain of each stream's delay, 0 to 0.975.
inline float streamFeedback(float impatience) noexcept {
    return impatience > 0.0f ? std::min(impatience, 1.0f) * kMaxStreamFeedback : 0.0f;
}

/// gravitas: the reverberation's time to fall 60 dB, in seconds.
inline float reverbDecaySeconds(float gravitas) noexcept {
    return std::pow(kDecayBase, clamp01(gravitas)) * kShortestDecaySeconds;
}

/// gravitas: the reverberation's share of the wet signal.
inline float reverbShare(float gravitas) noexcept { return std::sqrt(clamp01(gravitas)); }

/// gravitas: the corner of the low-pass filter on the wet signal, in hertz.
inline double filterCutoffHz(float gravitas) noexcept {
    return kTopCutoffHz * std::pow(kCutoffRange, static_cast<double>(clamp01(gravitas)));
}

/// nausea: how far the output delay wanders, in seconds (from 0 to this).
inline float outputWanderSeconds(float nausea) noexcept {
    return nausea > 0.0f ? std::min(nausea, 1.0f) * kMaxOutputDelaySeconds : 0.0f;
}

} // namespace orvane::curves
