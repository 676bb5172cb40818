#include "tests/support/TestHost.h"

#include "platform/audiounit/AVAudioFormat.h"

#include <algorithm>
#include <cmath>

namespace testhost {

using namespace platform;

bool RenderResult::allSucceeded() const {
    return std::ranges::all_of(statuses, [](OSStatus s) { return s == noErr; });
}

TestHost::TestHost(std::shared_ptr<AUAudioUnit> unit) : unit_(std::move(unit)) {}

TestHost::~TestHost() {
    if (allocatedByHost_) unit_->deallocateRenderResources();
}

const UnitInspection& TestHost::inspect() {
    UnitInspection seen;
    if (auto in = unit_->inputBusses()) seen.inputBusCount = in->count();
    if (auto out = unit_->outputBusses()) seen.outputBusCount = out->count();
    seen.parameterTree = unit_->parameterTree();
    seen.factoryPresets = unit_->factoryPresets();
    seen.channelCapabilities = unit_->channelCapabilities();
    seen.latency = unit_->latency();
    seen.tailTime = unit_->tailTime();
    inspection_ = std::move(seen);
    return inspection_;
}

std::expected<void, Error> TestHost::start(const HostConfig& config) {
    if (allocatedByHost_) stop(); // formats are locked while allocated
    renderBlock_ = nullptr;
    inspect();
    auto format = AVAudioFormat::standardFormat(config.sampleRate, config.channels);
    if (!format)
        return std::unexpected(audioUnitError(kAudioUnitErr_FormatNotSupported,
                                              "the test host was given an invalid format"));
    for (auto busses : {unit_->inputBusses(), unit_->outputBusses()}) {
        if (!busses) continue;
        for (const auto& bus : *busses)
            if (auto ok = bus->setFormat(format); !ok) return std::unexpected(ok.error());
    }
    if (auto ok = unit_->setMaximumFramesToRender(config.maximumFramesToRender); !ok)
        return std::unexpected(ok.error());
    if (auto ok = unit_->allocateRenderResources(); !ok) return std::unexpected(ok.error());
    allocatedByHost_ = true;
    renderBlock_ = unit_->internalRenderBlock();
    return {};
}

namespace {

// Everything the pull-input block reads and writes, prepared before the
// render loop so that the block itself allocates nothing.
struct PullSource {
    std::span<const float> left;
    std::span<const float> right;
    double firstSampleTime = 0.0;
    std::vector<std::vector<float>> ownBuffers; // supplied where mData is null
    OSStatus status = noErr;
    std::size_t calls = 0;

    float input(std::size_t channel, std::size_t frame) const {
        std::span<const float> source = channel == 0 ? left : channel == 1 ? right
                                                                           : std::span<const float>{};
        return frame < source.size() ? source[frame] : 0.0f;
    }

    OSStatus fill(const AudioTimeStamp* timestamp, AUAudioFrameCount frames, NSInteger bus,
                  AudioBufferList* list) {
        ++calls;
        if (status != noErr) return status;
        if (bus != 0) return kAudioUnitErr_InvalidElement;
        if (!timestamp || !list) return kAudioUnitErr_InvalidParameter;
        const auto start = static_cast<std::size_t>(timestamp->mSampleTime - firstSampleTime);
        for (std::uint32_t b = 0; b < list->mNumberBuffers; ++b) {
            AudioBuffer& buffer = list->mBuffers[b];
            const std::size_t channels = buffer.mNumberChannels;
            const std::size_t samples = std::size_t{frames} * channels;
            if (!buffer.mData) {
                if (b >= ownBuffers.size() || ownBuffers[b].size() < samples)
                    return kAudioUnitErr_TooManyFramesToProcess;
                buffer.mData = ownBuffers[b].data();
            }
            auto* out = static_cast<float*>(buffer.mData);
            // Buffer b's channel c carries input channel b + c: separate
            // buffers give left/right by buffer, one interleaved buffer by slot.
            for (std::size_t j = 0; j < frames; ++j)
                for (std::size_t c = 0; c < channels; ++c)
                    out[j * channels + c] = input(b + c, start + j);
            buffer.mDataByteSize = static_cast<std::uint32_t>(samples * sizeof(float));
        }
        return noErr;
    }
};

} // namespace

RenderResult TestHost::render(std::span<const float> left, std::span<const float> right,
                              const RenderOptions& options) {
    if (!renderBlock_) renderBlock_ = unit_->internalRenderBlock();

    const std::size_t total = std::max(left.size(), right.size());
    const std::size_t blockSize = std::max<std::size_t>(options.blockSize, 1);
    const std::uint32_t bufferCount = options.layout == BufferLayout::separate ? 2 : 1;
    const std::uint32_t channelsPerBuffer = options.layout == BufferLayout::interleaved ? 2 : 1;

    RenderResult result;
    result.left.assign(total, 0.0f);
    if (options.layout != BufferLayout::mono) result.right.assign(total, 0.0f);

    PullSource source{left, right, sampleTime_, {}, options.pullStatus, 0};
    source.ownBuffers.assign(bufferCount, std::vector<float>(blockSize * channelsPerBuffer));
    AURenderPullInputBlock pull = [&source](AudioUnitRenderActionFlags*,
                                            const AudioTimeStamp* timestamp,
                                            AUAudioFrameCount frames, NSInteger bus,
                                            AudioBufferList* list) {
        return source.fill(timestamp, frames, bus, list);
    };

    std::vector<std::vector<float>> hostBuffers(bufferCount,
                                                std::vector<float>(blockSize * channelsPerBuffer));
    AudioBufferListStorage list(bufferCount);
    std::vector<AURenderEvent> events(options.events.size());

    for (std::size_t start = 0, block = 0; start < total; start += blockSize, ++block) {
        const auto frames = static_cast<AUAudioFrameCount>(std::min(blockSize, total - start));
        const double blockTime = sampleTime_ + static_cast<double>(start);

        for (std::uint32_t b = 0; b < bufferCount; ++b) {
            std::ranges::fill(hostBuffers[b], options.prefill);
            AudioBuffer& buffer = list.buffer(b);
            buffer.mNumberChannels = channelsPerBuffer;
            buffer.mDataByteSize =
                static_cast<std::uint32_t>(frames * channelsPerBuffer * sizeof(float));
            buffer.mData = options.nullOutputData ? nullptr : hostBuffers[b].data();
        }

        // Built back to front, so that each event is written once, whole,
        // with its successor already known; the list keeps the given order.
        AURenderEvent* head = nullptr;
        for (std::size_t e = options.events.size(); e-- > 0;) {
            const ScheduledEvent& scheduled = options.events[e];
            if (scheduled.blockIndex != block) continue;
            AURenderEvent& event = events[e];
            const auto time = static_cast<AUEventSampleTime>(blockTime) + scheduled.offsetInBlock;
            if (scheduled.type == AURenderEventMIDI || scheduled.type == AURenderEventMIDISysEx)
                event.MIDI = AUMIDIEvent{head, time, scheduled.type, 0, 3, 0, {0x90, 60, 100}};
            else
                event.parameter = AUParameterEvent{head, time, scheduled.type, {0, 0, 0},
                                                   scheduled.rampDurationSampleFrames,
                                                   scheduled.address, scheduled.value};
            head = &event;
        }

        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp timestamp;
        timestamp.mSampleTime = blockTime;
        timestamp.mFlags = kAudioTimeStampSampleTimeValid;
        const OSStatus status = renderBlock_(&flags, &timestamp, frames, 0, list.get(), head,
                                             options.withPullBlock ? &pull : nullptr);
        result.statuses.push_back(status);

        // Read what the list points at now: the pull may have supplied buffers.
        for (std::uint32_t b = 0; b < bufferCount; ++b) {
            const auto* data = static_cast<const float*>(list.buffer(b).mData);
            if (!data) continue;
            for (std::size_t j = 0; j < frames; ++j) {
                if (options.layout == BufferLayout::interleaved) {
                    result.left[start + j] = data[2 * j];
                    result.right[start + j] = data[2 * j + 1];
                } else {
                    (b == 0 ? result.left : result.right)[start + j] = data[j];
                }
            }
        }
    }
    sampleTime_ += static_cast<double>(total);
    result.pullCount = source.calls;
    return result;
}

void TestHost::reset() { unit_->reset(); }

void TestHost::stop() {
    unit_->deallocateRenderResources();
    allocatedByHost_ = false;
}

} // namespace testhost
