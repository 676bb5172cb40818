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
    /// allocates. Render thread. patternVersion is the echoes' version
    /// (VelvetEchoes::version): while it stays the same, short blocks are
    /// gathered into longer windows before most taps are added; 0 says the
    /// pattern may have changed, and every tap is added at once.
    void process(const std::vector<VelvetEcho>& echoes, float* samples, std::int64_t frameCount,
                 std::uint64_t patternVersion = 0) noexcept;

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
    /// The tiled loop's entries for one list of echoes, as of a pattern
    /// version, block length and tile (lanes times vectors; a tile's lanes
    /// are a path's).
    struct TapTable {
        std::vector<TiledTap> taps;
        std::uint64_t version = 0;
        const VelvetEcho* echoes = nullptr;
        std::size_t count = 0;
        std::int64_t frames = 0;
        std::int64_t tile = 0;
        bool usable = false;
    };
    std::vector<float> scratch;
    TapTable tiledTaps;
    /// Input of short blocks not yet added at the taps that lie a window or
    /// more ahead (gatheredCount samples, ending where the read position is
    /// or, within a block, at its end), with the pattern it is added with:
    /// a copy of the echoes of patternVersion gatheredVersion, nearTaps of
    /// them (those less than a window ahead) added block by block.
    std::vector<float> gathered;
    std::int64_t gatheredCount = 0;
    std::vector<VelvetEcho> gatheredEchoes;
    std::uint64_t gatheredVersion = 0;
    std::size_t nearTaps = 0;
    /// Whether gatheredEchoes can be split into near and far taps (in order
    /// of position, and no more of them than there is room for).
    bool gatherable = false;

private:
    void processBlock(const std::vector<VelvetEcho>& echoes, float* samples, std::int64_t frameCount,
                      std::uint64_t patternVersion) noexcept;
    /// Adds the gathered input at the far taps; its last sample lies end
    /// samples past the read position.
    void spreadGathered(std::int64_t end) noexcept;
};

} // namespace orvane
