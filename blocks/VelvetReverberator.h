#pragma once

#include "blocks/VelvetEchoes.h"

#include <cstdint>
#include <vector>

namespace orvane {

/// Velvet-noise reverberation of one channel. Each input block is added into
/// a circular accumulation buffer once per echo tap (a sparse impulse
/// response about one loop long); the buffer is then read out, and every
/// sample read passes a one-pole damping low-pass and returns one loop later,
/// scaled by feedback, which continues the pattern's decay around the loop.
class VelvetReverberator {
public:
    /// Sizes the buffer for a loop of loopLength samples and blocks of up to
    /// maxBlock frames: at least two loops, and a loop plus a block when
    /// blocks are longer than a loop, so taps never overwrite unread tail.
    /// A loop length of 0 leaves the reverberator unsized (pass-through).
    void allocate(std::int64_t loopLength, std::int64_t maxBlock = 0);
    /// Silences the tail; feedback and damping settings stay.
    void reset() noexcept;
    /// Replaces frameCount samples in place by the reverberation. Never
    /// allocates. Render thread.
    void process(const std::vector<VelvetEcho>& echoes, float* samples, std::int64_t frameCount) noexcept;

    /// Loop gain of the damped signal fed back one loop later.
    float feedback = 0.0f;
    /// Coefficient of the damping low-pass; 1 means no damping.
    float dampingCoef = 1.0f;
    float dampingState = 0.0f;
    std::vector<float> buffer;
    std::int64_t bufferSize = 0;
    std::int64_t loopLength = 0;
    std::int64_t readPos = 0;
    /// Always (readPos + loopLength) mod bufferSize.
    std::int64_t feedbackPos = 0;
    /// What the tiled tap loop reads per tap: its gain and where its run
    /// starts in the shifted copies of the input, relative to the tile being
    /// worked on.
    struct TiledTap {
        float gain;
        std::int64_t offset;
    };
    /// Working room of the tiled tap loop (shifted copies of a block and one
    /// entry per tap, for patterns of up to VelvetEchoes::kEchoCount taps);
    /// sized by allocate for blocks of up to maxBlock.
    std::vector<float> scratch;
    std::vector<TiledTap> tiledTaps;

private:
    void processBlock(const std::vector<VelvetEcho>& echoes, float* samples, std::int64_t frameCount) noexcept;
};

} // namespace orvane
