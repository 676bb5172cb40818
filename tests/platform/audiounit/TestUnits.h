#pragma once

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AUAudioUnitBus.h"
#include "platform/audiounit/AUParameterTree.h"
#include "platform/audiounit/AVAudioFormat.h"
#include "platform/audiounit/AudioTypes.h"

#include <atomic>
#include <expected>
#include <memory>
#include <string_view>
#include <vector>

namespace audiounit_test {

using namespace platform;

inline constexpr AudioComponentDescription kTestDescription{
    fourCharCode("aufx"), fourCharCode("gain"), fourCharCode("Test"), 0, 0};

/// A unit that overrides nothing: the base class's defaults throughout.
class PlainUnit : public AUAudioUnit {
public:
    static std::expected<std::shared_ptr<PlainUnit>, Error> create(
        const AudioComponentDescription& description = kTestDescription) {
        std::shared_ptr<PlainUnit> unit(new PlainUnit());
        if (auto ok = unit->initWithComponentDescription(description); !ok)
            return std::unexpected(ok.error());
        return unit;
    }
    void announce(std::string_view key) {
        willChangeValueForKey(key);
        didChangeValueForKey(key);
    }

private:
    PlainUnit() = default;
};

/// One event as the gain unit saw it in a render call.
struct SeenEvent {
    AUEventSampleTime time;
    AURenderEventType type;
    AUParameterAddress address;
    AUValue value;
};

/// A stereo unit with one parameter, "gain" (address 0, 0 to 4, initially
/// 1), that multiplies every pulled sample by the gain. Parameter events of
/// type 1 for address 0 set the gain from the block they arrive in.
class GainUnit : public AUAudioUnit {
public:
    static std::expected<std::shared_ptr<GainUnit>, Error> create(
        const AudioComponentDescription& description = kTestDescription) {
        std::shared_ptr<GainUnit> unit(new GainUnit());
        if (auto ok = unit->initWithComponentDescription(description); !ok)
            return std::unexpected(ok.error());
        auto format = AVAudioFormat::standardFormat(44100.0, 2);
        auto input = AUAudioUnitBus::create(format);
        if (!input) return std::unexpected(input.error());
        auto output = AUAudioUnitBus::create(format);
        if (!output) return std::unexpected(output.error());
        unit->inputs_ = std::make_shared<AUAudioUnitBusArray>(
            unit.get(), AUAudioUnitBusType::input, std::vector{*input});
        unit->outputs_ = std::make_shared<AUAudioUnitBusArray>(
            unit.get(), AUAudioUnitBusType::output, std::vector{*output});

        auto gain = AUParameterTree::createParameter(
            "gain", "Gain", 0, 0.0f, 4.0f, kAudioUnitParameterUnit_Generic, std::nullopt,
            kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable, {}, {});
        gain->setValue(1.0f);
        auto tree = AUParameterTree::createTree({gain});
        std::weak_ptr<State> state = unit->state_;
        tree->implementorValueObserver = [state](AUParameter& p, AUValue v) {
            if (auto s = state.lock(); s && p.address() == 0)
                s->gain.store(v, std::memory_order_relaxed);
        };
        tree->implementorValueProvider = [state](AUParameter& p) {
            auto s = state.lock();
            return s ? s->gain.load(std::memory_order_relaxed) : p.storedValue();
        };
        unit->setParameterTree(tree);
        return unit;
    }

    std::shared_ptr<AUAudioUnitBusArray> inputBusses() override { return inputs_; }
    std::shared_ptr<AUAudioUnitBusArray> outputBusses() override { return outputs_; }
    std::vector<int> channelCapabilities() override { return {2, 2}; }

    AUInternalRenderBlock internalRenderBlock() override {
        return [state = state_](AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp,
                                AUAudioFrameCount frames, NSInteger, AudioBufferList* out,
                                const AURenderEvent* events,
                                const AURenderPullInputBlock* pull) -> OSStatus {
            if (!pull || !*pull) return kAudioUnitErr_NoConnection;
            AudioUnitRenderActionFlags pullFlags = 0;
            if (OSStatus s = (*pull)(&pullFlags, timestamp, frames, 0, out); s != noErr) return s;
            for (const AURenderEvent* e = events; e; e = e->head.next) {
                const bool isParameter = e->head.eventType == AURenderEventParameter ||
                                         e->head.eventType == AURenderEventParameterRamp;
                if (state->seen.size() < state->seen.capacity())
                    state->seen.push_back(
                        {e->head.eventSampleTime, e->head.eventType,
                         isParameter ? e->parameter.parameterAddress : AUParameterAddress{0},
                         isParameter ? e->parameter.value : 0.0f});
                if (e->head.eventType == AURenderEventParameter &&
                    e->parameter.parameterAddress == 0)
                    state->gain.store(e->parameter.value, std::memory_order_relaxed);
            }
            const float gain = state->gain.load(std::memory_order_relaxed);
            for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b) {
                auto* data = static_cast<float*>(out->mBuffers[b].mData);
                if (!data) continue;
                const std::size_t n = std::size_t{frames} * out->mBuffers[b].mNumberChannels;
                for (std::size_t i = 0; i < n; ++i) data[i] *= gain;
            }
            return noErr;
        };
    }

    /// Events seen by render calls so far (room for 64, kept so that the
    /// render block does not allocate).
    const std::vector<SeenEvent>& seenEvents() const { return state_->seen; }

private:
    struct State {
        std::atomic<float> gain{1.0f};
        std::vector<SeenEvent> seen;
    };
    GainUnit() : state_(std::make_shared<State>()) { state_->seen.reserve(64); }

    std::shared_ptr<State> state_;
    std::shared_ptr<AUAudioUnitBusArray> inputs_;
    std::shared_ptr<AUAudioUnitBusArray> outputs_;
};

} // namespace audiounit_test
