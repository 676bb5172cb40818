#pragma once

#include "blocks/IIRKernel.h"
#include "blocks/SimpleDelayKernel.h"
#include "blocks/VelvetEchoes.h"
#include "blocks/VelvetReverberator.h"
#include "engine/GrainScheduler.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace orvane {

/// The whole stereo effect: six parameter fields, the grain scheduler state of
/// both channels, three gliding stream delays per channel, the shared echo
/// pattern, two reverberators, two filters, two output delays, the LFO
/// phases and the scratch areas that let rendering run without allocating.
///
/// Threads: allocate, reset and destruction run while the host is not
/// rendering; process and processInterleaved run on the render thread; the
/// parameter fields and bypass may be written from any thread at any time
/// (relaxed atomics: one aligned store each), and each block reads a field
/// once, at the step that uses it.
class OrvaneDSPKernel {
public:
    OrvaneDSPKernel();
    OrvaneDSPKernel(const OrvaneDSPKernel&) = delete;
    OrvaneDSPKernel& operator=(const OrvaneDSPKernel&) = delete;

    /// Sizes everything for blocks of up to maximumFrames at sampleRate, then
    /// resets. With 0 frames every area is empty and process passes through.
    void allocate(std::int64_t maximumFrames, double sampleRate);
    /// Clears all signal state; sizes, parameters and echo pattern stay.
    void reset();
    /// Renders the first min(maxFrames, frameCount) frames; input and output
    /// may be the same buffers. Never allocates, locks or throws.
    void process(const float* inL, const float* inR, float* outL, float* outR, std::int64_t frameCount) noexcept;
    /// The same for one interleaved stereo buffer, in place.
    void processInterleaved(float* buffer, std::int64_t frameCount) noexcept;
    /// How long, in seconds, the effect rings on after its input stops, for
    /// the current parameter values.
    double tailTime() const noexcept;

    std::atomic<float> premix{0.5f};
    std::atomic<float> granularity{0.0f};
    std::atomic<float> incoherence{0.0f};
    std::atomic<float> impatience{0.5f};
    std::atomic<float> nausea{0.0f};
    std::atomic<float> gravitas{0.0f};
    std::atomic<bool> bypass{false};
    /// The longest delay a stream line and an output line held at the end of
    /// the last block (or after the last reset), in seconds: a line gliding
    /// down from a longer setting still holds that much sound. Written by the
    /// render thread, read by tailTime on any thread.
    std::atomic<float> heldStreamDelaySeconds{0.0f};
    std::atomic<float> heldOutputDelaySeconds{0.0f};

    ChannelState stateL;
    ChannelState stateR;
    std::array<SimpleDelayKernel, 3> streamDelaysL;
    std::array<SimpleDelayKernel, 3> streamDelaysR;
    std::array<double, 3> lfoPhases;
    VelvetEchoes velvetEchoes;
    VelvetReverberator reverbL;
    VelvetReverberator reverbR;
    IIRKernel filterL;
    IIRKernel filterR;
    SimpleDelayKernel outDelayL;
    SimpleDelayKernel outDelayR;
    double outLFOPhaseL = 0.0;
    double outLFOPhaseR = 0.0;
    double sampleRate = 44100.0;
    std::int64_t maxFrames = 0;
    /// Six streams: left 0..2, right 0..2, maxFrames samples each.
    std::vector<float> streamBase;
    /// Wet left, wet right, reverberation left, reverberation right.
    std::vector<float> wetBase;
    /// Left and right halves of an interleaved block.
    std::vector<float> deinterleaveBase;

private:
    void render(const float* inL, const float* inR, float* outL, float* outR, std::int64_t n) noexcept;
    void publishHeldDelays() noexcept;
};

} // namespace orvane
