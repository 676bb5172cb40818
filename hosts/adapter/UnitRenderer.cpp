#include "hosts/adapter/UnitRenderer.h"

#include "platform/audiounit/AVAudioFormat.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace orvane::adapter {

UnitRenderer::UnitRenderer(std::shared_ptr<platform::AUAudioUnit> unit) : unit_(std::move(unit)) {
    buffers_->mNumberBuffers = 2;
    // The unit renders in place in the output buffers: pulling its input
    // copies the slice's input there (nothing to do when they are the same).
    pull_ = [this](platform::AudioUnitRenderActionFlags*, const platform::AudioTimeStamp*,
                   platform::AUAudioFrameCount frames, platform::NSInteger, platform::AudioBufferList* data) {
        auto* buffers = data->mBuffers;
        for (std::uint32_t c = 0; c < 2 && c < data->mNumberBuffers; ++c) {
            auto* target = static_cast<float*>(buffers[c].mData);
            if (frames > 0 && target && sliceInput_[c] && target != sliceInput_[c])
                std::memmove(target, sliceInput_[c], frames * sizeof(float));
        }
        return platform::noErr;
    };
}

UnitRenderer::~UnitRenderer() { release(); }

std::expected<void, platform::Error> UnitRenderer::prepare(double sampleRate, std::uint32_t maximumFrames) {
    release();
    auto format = platform::AVAudioFormat::standardFormat(sampleRate, 2);
    if (!format) {
        return std::unexpected(platform::Error{"Orvane", 1, "a sample rate of " + std::to_string(sampleRate) +
                                                                " Hz is not usable"});
    }
    for (const auto& buses : {unit_->inputBusses(), unit_->outputBusses()}) {
        if (!buses || buses->count() == 0) return std::unexpected(platform::Error{"Orvane", 1, "the unit has no audio bus"});
        if (auto set = buses->at(0)->setFormat(format); !set) return std::unexpected(set.error());
    }
    if (auto set = unit_->setMaximumFramesToRender(std::max<std::uint32_t>(maximumFrames, 1)); !set)
        return std::unexpected(set.error());
    if (auto allocated = unit_->allocateRenderResources(); !allocated) return std::unexpected(allocated.error());
    render_ = unit_->internalRenderBlock();
    maximumFrames_ = std::max<std::uint32_t>(maximumFrames, 1);
    prepared_ = true;
    sampleTime_ = 0.0;
    scheduledCount_ = 0;
    return {};
}

void UnitRenderer::release() {
    if (!prepared_) return;
    prepared_ = false;
    unit_->deallocateRenderResources();
}

void UnitRenderer::reset() {
    unit_->reset();
    scheduledCount_ = 0;
    sampleTime_ = 0.0;
}

void UnitRenderer::schedule(platform::AUParameterAddress address, float value, std::uint32_t offset) noexcept {
    if (scheduledCount_ < scheduled_.size()) {
        scheduled_[scheduledCount_++] = {address, value, offset};
        return;
    }
    for (std::size_t i = scheduledCount_; i-- > 0;) {
        if (scheduled_[i].address == address) {
            scheduled_[i].value = value;
            return;
        }
    }
    scheduled_.back() = {address, value, offset};
}

void UnitRenderer::setBypass(bool bypass) noexcept {
    // Stored every time: the host's thread may have set the unit's bypass
    // in between (a state restored).
    unit_->setShouldBypassEffect(bypass);
}

void UnitRenderer::render(const float* const input[2], float* const output[2], std::uint32_t frames) noexcept {
    if (!prepared_) {
        for (std::uint32_t c = 0; c < 2; ++c) {
            if (frames > 0 && output[c] != input[c]) std::memmove(output[c], input[c], frames * sizeof(float));
        }
        scheduledCount_ = 0;
        return;
    }
    // In the order they fall due; values due at the same frame keep the
    // order they came in, so the last one given wins.
    const std::size_t count = scheduledCount_;
    for (std::size_t i = 1; i < count; ++i) {
        const Scheduled moving = scheduled_[i];
        std::size_t j = i;
        for (; j > 0 && scheduled_[j - 1].offset > moving.offset; --j) scheduled_[j] = scheduled_[j - 1];
        scheduled_[j] = moving;
    }
    scheduledCount_ = 0;

    if (frames == 0) {
        renderSlice(input, output, 0, 0, 0, count);
        return;
    }
    std::size_t next = 0;
    for (std::uint32_t start = 0; start < frames;) {
        // Values due within the shortest slice of its start join this slice.
        std::size_t last = next;
        while (last < count && scheduled_[last].offset < start + kShortestSlice) ++last;
        std::uint32_t end = frames;
        if (last < count && frames >= kShortestSlice && scheduled_[last].offset <= frames - kShortestSlice) {
            end = scheduled_[last].offset;
        } else {
            last = count;
        }
        renderSlice(input, output, start, end - start, next, last);
        next = last;
        start = end;
    }
}

void UnitRenderer::renderSlice(const float* const input[2], float* const output[2], std::uint32_t start,
                               std::uint32_t frames, std::size_t first, std::size_t last) noexcept {
    platform::AURenderEvent* head = nullptr;
    for (std::size_t i = last; i-- > first;) {
        auto& event = events_[i].parameter;
        event = {};
        event.next = head;
        event.eventSampleTime = static_cast<platform::AUEventSampleTime>(sampleTime_);
        event.eventType = platform::AURenderEventParameter;
        event.parameterAddress = scheduled_[i].address;
        event.value = scheduled_[i].value;
        head = &events_[i];
    }
    std::uint32_t done = 0;
    do {
        const std::uint32_t piece = std::min(maximumFrames_, frames - done);
        for (std::uint32_t c = 0; c < 2; ++c) {
            sliceInput_[c] = input[c] ? input[c] + start + done : nullptr;
            buffers_.buffer(c) = {1, static_cast<std::uint32_t>(piece * sizeof(float)),
                                  output[c] ? output[c] + start + done : nullptr};
        }
        platform::AudioTimeStamp stamp{};
        stamp.mSampleTime = sampleTime_;
        stamp.mFlags = platform::kAudioTimeStampSampleTimeValid;
        platform::AudioUnitRenderActionFlags flags = 0;
        if (render_(&flags, &stamp, piece, 0, buffers_.get(), head, &pull_) != platform::noErr && piece > 0) {
            // A unit that fails a call leaves its input, never stale samples.
            for (std::uint32_t c = 0; c < 2; ++c) {
                if (output[c] && input[c] && output[c] != input[c])
                    std::memmove(output[c] + start + done, input[c] + start + done, piece * sizeof(float));
            }
        }
        head = nullptr;
        sampleTime_ += piece;
        done += piece;
    } while (done < frames);
}

} // namespace orvane::adapter
