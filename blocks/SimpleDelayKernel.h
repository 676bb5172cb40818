#pragma once

#include <cstdint>
#include <vector>

namespace orvane {

/// Mono circular delay with a linearly interpolated fractional read and
/// optional feedback. The delay time never jumps: each sample it glides
/// toward its target through a one-pole smoother, which bends the pitch of
/// what passes through instead of clicking.
class SimpleDelayKernel {
public:
    explicit SimpleDelayKernel(float maxDelaySec);

    /// Requests a delay in seconds: stores it and recomputes targetDelay,
    /// clamped from above to what the buffer holds. Render thread, between
    /// blocks.
    void setDelaySeconds(float seconds) noexcept;

    /// Sizes and clears the buffer for a sample rate; the delay becomes 0.
    void allocate(double sampleRate);
    /// Clears the signal; the next block starts at the target, without glide.
    void reset() noexcept;
    /// Delays frameCount samples in place. Never allocates.
    void process(float* samples, std::int64_t frameCount) noexcept;

    float maxDelaySec;
    /// The requested delay; assign it only through setDelaySeconds.
    float delaySeconds = 0.25f;
    /// Per-sample smoothing coefficient of the delay time (bits 0x3F7FF972).
    float smoothing = 0.9999f;
    /// Gain of the delayed output written back; active only above 0.
    float feedback = 0.0f;
    float sampleRate = 48000.0f;
    std::int64_t bufferLength = 0;
    std::vector<float> buffer;
    std::int64_t writePos = 0;
    /// Smoothed delay in seconds, carried from block to block.
    double currentDelay = 0.0;
    /// Clamped delay in seconds toward which the smoother moves.
    double targetDelay = 0.0;
};

} // namespace orvane
