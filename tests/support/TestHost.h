#pragma once

#include "platform/audiounit/AUAudioUnit.h"

#include <algorithm>
#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <vector>

namespace testhost {

/// The stream format and block limit the host negotiates.
struct HostConfig {
    double sampleRate = 44100.0;
    platform::AUAudioChannelCount channels = 2;
    platform::AUAudioFrameCount maximumFramesToRender = 4096;
};

/// How the host lays out the buffers of each render call.
enum class BufferLayout {
    separate,    ///< two buffers of one channel each: left, right
    interleaved, ///< one buffer of two channels, frames as left/right pairs
    mono,        ///< one buffer of one channel, carrying the left input only
};

/// An event the host puts in the event list of one render call.
struct ScheduledEvent {
    std::size_t blockIndex = 0;
    platform::AUParameterAddress address = 0;
    platform::AUValue value = 0.0f;
    platform::AURenderEventType type = platform::AURenderEventParameter;
    /// Frames after the start of the block (the event's time is absolute).
    platform::AUEventSampleTime offsetInBlock = 0;
    platform::AUAudioFrameCount rampDurationSampleFrames = 0;
};

/// How to drive one render() pass.
struct RenderOptions {
    platform::AUAudioFrameCount blockSize = 512;
    BufferLayout layout = BufferLayout::separate;
    /// False: the render block gets a null pull-input block.
    bool withPullBlock = true;
    /// What the host writes into its output buffers before every call, so a
    /// test can see which samples the unit left untouched.
    float prefill = 0.0f;
    /// Not noErr: the pull block returns this status and touches nothing.
    platform::OSStatus pullStatus = platform::noErr;
    std::vector<ScheduledEvent> events{};
};

/// What came out of a render() pass.
struct RenderResult {
    std::vector<float> left;
    /// Empty for the mono layout.
    std::vector<float> right;
    /// The render block's status for every call, in order.
    std::vector<platform::OSStatus> statuses;

    bool allSucceeded() const { return std::ranges::all_of(statuses, [](auto s) { return s == platform::noErr; }); }
};

/// A minimal host for tests: it drives any AUAudioUnit through the host's
/// calls in their usual order (set formats and block limit,
/// allocate, take the render block once, render, reset, deallocate) and
/// renders whole signals block by block. Single-threaded; not real-time.
class TestHost {
public:
    explicit TestHost(std::shared_ptr<platform::AUAudioUnit> unit) : unit_(std::move(unit)) {}
    /// Deallocates the unit's render resources if this host allocated them.
    ~TestHost() {
        if (allocatedByHost_) stop();
    }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    /// The standard format at the configured rate and channel
    /// count on every bus, maximumFramesToRender, allocateRenderResources and
    /// the render block. Stops at the first failure and returns its error.
    /// Starting again first deallocates what an earlier start allocated.
    std::expected<void, platform::Error> start(const HostConfig& config = {});

    /// Renders the stereo signal (left, right; a shorter channel is padded
    /// with zeros) in blocks of options.blockSize frames, the last one
    /// shorter. Sample time runs on across calls. Without start(), the render
    /// block is taken now, with the unit not allocated.
    RenderResult render(std::span<const float> left, std::span<const float> right, const RenderOptions& options = {});

    void reset() { unit_->reset(); }
    /// deallocateRenderResources.
    void stop() {
        unit_->deallocateRenderResources();
        allocatedByHost_ = false;
    }

    platform::AUAudioUnit& unit() { return *unit_; }

private:
    std::shared_ptr<platform::AUAudioUnit> unit_;
    platform::AUInternalRenderBlock renderBlock_;
    bool allocatedByHost_ = false;
    double sampleTime_ = 0.0;
};

} // namespace testhost
