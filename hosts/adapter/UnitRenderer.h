#pragma once

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AudioTypes.h"

#include <array>
#include <cstdint>
#include <expected>
#include <memory>

namespace orvane::adapter {

/// The unit as a plug-in format's audio side drives it: prepared for a
/// sample rate and a longest block, rendering a host's stereo block from its
/// input buffers into its output buffers (the same ones or others), with
/// parameter values that take effect at the frame the host gives them.
///
/// The unit reads its parameters once per render call, so a block with
/// values due inside it is rendered in slices, one call each, that start
/// where a value is due. Slices are at least kShortestSlice frames long:
/// values due closer than that to the start of a slice take effect at its
/// start, up to kShortestSlice - 1 frames early.
///
/// prepare, release and reset run on a host thread while nothing renders;
/// schedule, setBypass and render on the audio thread, where nothing
/// allocates, locks or makes a system call.
class UnitRenderer {
public:
    static constexpr std::uint32_t kShortestSlice = 16;
    /// Values held for one block; past this a value replaces the last one
    /// held for its parameter.
    static constexpr std::size_t kScheduleCapacity = 1024;

    explicit UnitRenderer(std::shared_ptr<platform::AUAudioUnit> unit);
    ~UnitRenderer();
    UnitRenderer(const UnitRenderer&) = delete;
    UnitRenderer& operator=(const UnitRenderer&) = delete;

    /// Both buses stereo at `sampleRate`, at most `maximumFrames` per call,
    /// render resources allocated.
    std::expected<void, platform::Error> prepare(double sampleRate, std::uint32_t maximumFrames);
    /// Deallocates the render resources; prepare makes them again.
    void release();
    bool isPrepared() const { return prepared_; }
    /// Clears the unit's signal state and any value not yet applied.
    void reset();

    /// Holds a parameter value until the next render, due `offset` frames
    /// into it.
    void schedule(platform::AUParameterAddress address, float value, std::uint32_t offset) noexcept;
    void setBypass(bool bypass) noexcept;
    /// Renders `frames` frames. With no frames, only applies the values held.
    /// Passes the input through when the unit is not prepared.
    void render(const float* const input[2], float* const output[2], std::uint32_t frames) noexcept;

    platform::AUAudioUnit& unit() const { return *unit_; }
    std::uint32_t maximumFrames() const { return maximumFrames_; }

private:
    struct Scheduled {
        platform::AUParameterAddress address;
        float value;
        std::uint32_t offset;
    };
    /// One render call of the unit over [start, start + frames) with the
    /// held values [first, last).
    void renderSlice(const float* const input[2], float* const output[2], std::uint32_t start, std::uint32_t frames,
                     std::size_t first, std::size_t last) noexcept;

    std::shared_ptr<platform::AUAudioUnit> unit_;
    platform::AUInternalRenderBlock render_;
    platform::AURenderPullInputBlock pull_;
    platform::AudioBufferListStorage buffers_{2};
    std::uint32_t maximumFrames_ = 0;
    bool prepared_ = false;
    double sampleTime_ = 0.0;

    std::array<Scheduled, kScheduleCapacity> scheduled_{};
    std::size_t scheduledCount_ = 0;
    std::array<platform::AURenderEvent, kScheduleCapacity> events_{};
    /// Where the pull block reads the input of the slice being rendered.
    std::array<const float*, 2> sliceInput_{};
};

} // namespace orvane::adapter
