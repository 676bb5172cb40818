#pragma once

#include <cstdint>
#include <vector>

namespace orvane {

/// One tap of a velvet-noise echo pattern.
struct VelvetEcho {
    /// Delay of the tap in samples, 1 .. loopLength once configured.
    std::int64_t position = 0;
    /// +1 or -1.
    float sign = 1.0f;
    /// Signed gain: sign times the decay factor at this delay.
    float amplitude = 0.0f;
};

/// Two sparse velvet-noise echo patterns, one per channel: 1000 taps, one at
/// a random place in each cell of about a millisecond, with random signs and
/// gains that fall by 60 dB over the decay time. Processes no audio itself;
/// the reverberators read the patterns.
class VelvetEchoes {
public:
    /// Taps in each pattern.
    static constexpr int kEchoCount = 1000;

    /// Seeds both pattern generators from the operating system's random
    /// source, so every instance has its own patterns.
    VelvetEchoes();
    /// Fixed seeds, for reproducible renders. A seed of 0 is legal but the
    /// generator then starts from 0.
    VelvetEchoes(std::uint32_t seedL, std::uint32_t seedR);

    /// Draws new patterns for a sample rate; amplitudes become 0. Allocates:
    /// never on the render thread.
    void configure(float sampleRate);
    /// Recomputes the amplitudes for a decay time in seconds, unless it
    /// equals the last one used. Render thread; never allocates.
    void setDecay(float time) noexcept;

    std::vector<VelvetEcho> left;
    std::vector<VelvetEcho> right;
    /// Cell length in samples (about 1 ms).
    std::int64_t spacing = 0;
    /// spacing x 1000: the span of a pattern and the reverberators' loop.
    std::int64_t loopLength = 0;
    float sampleRate = 44100.0f;
    /// Decay time the amplitudes were computed for; -1 means none yet.
    float lastKnownTime = -1.0f;
    /// Changes whenever a pattern's positions or amplitudes change (never 0
    /// once configured): what the reverberators hold their gathered input
    /// against.
    std::uint64_t version = 0;
    std::uint32_t rngL = 1;
    std::uint32_t rngR = 1;
};

} // namespace orvane
