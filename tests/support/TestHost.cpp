#include "tests/support/TestHost.h"

#include "platform/audiounit/AVAudioFormat.h"

namespace testhost {

using namespace platform;

std::expected<void, Error> TestHost::start(const HostConfig& config) {
    if (allocatedByHost_) stop(); // formats are locked while allocated
    renderBlock_ = nullptr;
    auto format = AVAudioFormat::standardFormat(config.sampleRate, config.channels);
    if (!format)
        return std::unexpected(audioUnitError(kAudioUnitErr_FormatNotSupported, "the test host was given an invalid format"));
    for (const auto& busses : {unit_->inputBusses(), unit_->outputBusses()})
        for (std::size_t i = 0; busses && i < busses->count(); ++i)
            if (auto ok = (*busses)[i]->setFormat(format); !ok) return ok;
    if (auto ok = unit_->setMaximumFramesToRender(config.maximumFramesToRender); !ok) return ok;
    if (auto ok = unit_->allocateRenderResources(); !ok) return ok;
    allocatedByHost_ = true;
    renderBlock_ = unit_->internalRenderBlock();
    return {};
}

RenderResult TestHost::render(std::span<const float> left, std::span<const float> right, const RenderOptions& options) {
    if (!renderBlock_) renderBlock_ = unit_->internalRenderBlock();
    const std::size_t total = std::max(left.size(), right.size());
    const std::size_t blockSize = std::max<std::size_t>(options.blockSize, 1);
    // Buffer b's slot c carries channel b + c: separate buffers give left and
    // right by buffer, one interleaved buffer by slot.
    const std::uint32_t bufferCount = options.layout == BufferLayout::separate ? 2 : 1;
    const std::uint32_t width = options.layout == BufferLayout::interleaved ? 2 : 1;
    const std::span<const float> inputs[] = {left, right};
    RenderResult result{std::vector<float>(total), std::vector<float>(options.layout == BufferLayout::mono ? 0 : total), {}};
    std::vector<float>* outputs[] = {&result.left, &result.right};

    // Everything the calls touch is made here, so that neither the unit's
    // call nor the pull allocates.
    std::vector<std::vector<float>> hostBuffers(bufferCount, std::vector<float>(blockSize * width));
    AudioBufferListStorage list(bufferCount);
    std::vector<AURenderEvent> events(options.events.size());
    AURenderPullInputBlock pull = [&](AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp,
                                      AUAudioFrameCount frames, NSInteger bus, AudioBufferList* into) {
        if (options.pullStatus != noErr) return options.pullStatus;
        if (bus != 0) return kAudioUnitErr_InvalidElement;
        const auto first = static_cast<std::size_t>(timestamp->mSampleTime - sampleTime_);
        for (std::uint32_t b = 0; b < into->mNumberBuffers; ++b) {
            AudioBuffer& buffer = into->mBuffers[b];
            const std::size_t channels = buffer.mNumberChannels;
            if (!buffer.mData) return kAudioUnitErr_TooManyFramesToProcess;
            for (std::size_t j = 0, k = 0; j < frames; ++j)
                for (std::size_t ch = b; ch < b + channels; ++ch, ++k)
                    static_cast<float*>(buffer.mData)[k] =
                        ch < 2 && first + j < inputs[ch].size() ? inputs[ch][first + j] : 0.0f;
            buffer.mDataByteSize = static_cast<std::uint32_t>(frames * channels * sizeof(float));
        }
        return noErr;
    };

    for (std::size_t start = 0, block = 0; start < total; start += blockSize, ++block) {
        const auto frames = static_cast<AUAudioFrameCount>(std::min(blockSize, total - start));
        const double blockTime = sampleTime_ + static_cast<double>(start);
        for (std::uint32_t b = 0; b < bufferCount; ++b) {
            std::ranges::fill(hostBuffers[b], options.prefill);
            list.buffer(b) = {width, static_cast<std::uint32_t>(frames * width * sizeof(float)),
                              hostBuffers[b].data()};
        }
        // Built back to front, so that each event is written once, whole,
        // with its successor already known; the list keeps the given order.
        AURenderEvent* head = nullptr;
        for (std::size_t e = options.events.size(); e-- > 0;) {
            const ScheduledEvent& s = options.events[e];
            if (s.blockIndex != block) continue;
            const auto time = static_cast<AUEventSampleTime>(blockTime) + s.offsetInBlock;
            events[e].parameter = {head, time, s.type, {}, s.rampDurationSampleFrames, s.address, s.value};
            head = &events[e];
        }
        AudioUnitRenderActionFlags flags = 0;
        const AudioTimeStamp timestamp{.mSampleTime = blockTime, .mFlags = kAudioTimeStampSampleTimeValid};
        result.statuses.push_back(
            renderBlock_(&flags, &timestamp, frames, 0, list.get(), head, options.withPullBlock ? &pull : nullptr));
        // Read what the list points at now: the pull may have supplied buffers.
        for (std::uint32_t b = 0; b < bufferCount; ++b)
            for (std::size_t j = 0, k = 0; list.buffer(b).mData && j < frames; ++j)
                for (std::uint32_t ch = b; ch < b + width; ++ch, ++k)
                    (*outputs[ch])[start + j] = static_cast<const float*>(list.buffer(b).mData)[k];
    }
    sampleTime_ += static_cast<double>(total);
    return result;
}

} // namespace testhost
