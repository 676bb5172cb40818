// A plug-in module built only for the validator's tests: the real unit with
// one known fault, named by the "OrvaneFixtureFault" key of the bundle's
// Info.plist, and for faults that have one, its size in "OrvaneFixtureMagnitude",
// so one bundle sits just inside a threshold of the validator and another just
// outside it. Every call but the faulty one goes to the real unit.

#include "platform/audiounit/AUExtensionEntryPoint.h"
#include "platform/foundation/Bundle.h"
#include "plugin/OrvaneAudioUnit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace platform;

enum class Fault {
    none,
    writesPastTheEnd,
    allocates,
    locks,
    nanAfterAParameterChange,
    shortTail,
    unclampedState,
    ringsAfterReset,
    sampleValue,
    offsetAfterInput,
    residueAfterReset,
    sharesState,
    ringsFor,
};

struct FaultAndMagnitude {
    Fault fault = Fault::none;
    std::optional<double> magnitude;
};

FaultAndMagnitude faultOfThisBundle() {
    static const int anchor = 0;
    const auto bundle = Bundle::forAddress(&anchor);
    const auto name = bundle ? bundle->objectForInfoDictionaryKey("OrvaneFixtureFault") : std::nullopt;
    const auto magnitude = bundle ? bundle->objectForInfoDictionaryKey("OrvaneFixtureMagnitude") : std::nullopt;
    // In the order of Fault, after none.
    const std::string names[] = {"writes-past-the-end", "allocates", "locks", "nan-after-a-parameter-change",
                                 "short-tail", "unclamped-state", "rings-after-reset", "sample-value",
                                 "offset-after-input", "residue-after-reset", "shares-state", "rings-for"};
    const auto found = std::ranges::find(names, name.value_or(""));
    FaultAndMagnitude result;
    if (found != std::end(names)) result.fault = Fault(found - std::begin(names) + 1);
    if (magnitude && !magnitude->empty()) result.magnitude = std::strtod(magnitude->c_str(), nullptr);
    return result;
}

// Every unit of the module counts its render calls here, so units rendered in
// a different order put out different bits.
std::atomic<std::uint64_t> sharedCalls{0};

class FaultyUnit : public AUAudioUnit, public AURandomSeeding {
public:
    static std::expected<std::shared_ptr<AUAudioUnit>, Error> create(const AudioComponentDescription& description) {
        auto inner = orvane::OrvaneAudioUnit::create(description);
        if (!inner) return std::unexpected(inner.error());
        auto unit = std::shared_ptr<FaultyUnit>(new FaultyUnit(std::move(*inner)));
        if (auto done = unit->initWithComponentDescription(description); !done) return std::unexpected(done.error());
        return unit;
    }

    std::shared_ptr<AUAudioUnitBusArray> inputBusses() override { return inner_->inputBusses(); }
    std::shared_ptr<AUAudioUnitBusArray> outputBusses() override { return inner_->outputBusses(); }
    std::shared_ptr<AUParameterTree> parameterTree() override { return inner_->parameterTree(); }
    void setParameterTree(std::shared_ptr<AUParameterTree> tree) override { inner_->setParameterTree(std::move(tree)); }

    AUInternalRenderBlock internalRenderBlock() override {
        auto kernel = inner_->dspKernel;
        // Faults that happen on some calls only take the calls from the 100th
        // on, `magnitude` of them; without a magnitude, every call.
        return [fault = fault_.fault, magnitude = fault_.magnitude.value_or(1.0), counted = fault_.magnitude.has_value(),
                calls = std::uint64_t{0}, resetPending = resetPending_, tail = inner_,
                sinceInput = std::uint64_t{1} << 60, silentFor = std::vector<std::uint64_t>{},
                kernel, render = inner_->internalRenderBlock(), last = std::array<float, 6>{}](
                   AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, AUAudioFrameCount frames,
                   NSInteger bus, AudioBufferList* out, const AURenderEvent* events,
                   const AURenderPullInputBlock* pull) mutable -> OSStatus {
            const std::uint64_t call = calls++;
            const bool thisCall = !counted || (call >= 100 && call < 100 + std::uint64_t(magnitude));
            if (fault == Fault::allocates && thisCall) {
                void* (*volatile allocate)(std::size_t) = std::malloc;
                std::free(allocate(64));
            }
            static std::mutex mutex;
            if (fault == Fault::locks && thisCall) {
                std::lock_guard lock(mutex);
            }
            if (fault == Fault::ringsFor && out && out->mNumberBuffers > 0 && out->mBuffers[0].mData) {
                // In place: the buffers hold the input until the unit renders.
                const auto* in = static_cast<const float*>(out->mBuffers[0].mData);
                const std::uint32_t step = std::max(out->mBuffers[0].mNumberChannels, 1u);
                silentFor.resize(frames);
                for (std::uint32_t i = 0; i < frames; ++i) silentFor[i] = sinceInput = in[i * step] != 0.0f ? 0 : sinceInput + 1;
            }
            const OSStatus status = render(flags, stamp, frames, bus, out, events, pull);
            if (status != noErr || !out || out->mNumberBuffers == 0 || !out->mBuffers[0].mData) return status;
            auto* samples = static_cast<float*>(out->mBuffers[0].mData);
            const std::uint32_t channels = std::max(out->mBuffers[0].mNumberChannels, 1u);
            const std::uint32_t held = out->mBuffers[0].mDataByteSize / (4 * channels);
            if (fault == Fault::writesPastTheEnd) {
                // `magnitude` frames after the last one asked or held: 0 is the last frame itself.
                const auto frame = std::int64_t(std::min(frames, held)) - 1 + std::int64_t(magnitude);
                if (frame >= 0) samples[frame * channels] = 0.5f;
            }
            if (fault == Fault::sampleValue && frames > 0) samples[0] = static_cast<float>(magnitude);
            if (fault == Fault::offsetAfterInput)
                for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b) {
                    auto* data = static_cast<float*>(out->mBuffers[b].mData);
                    const std::uint32_t count = std::min(frames * out->mBuffers[b].mNumberChannels, out->mBuffers[b].mDataByteSize / 4);
                    for (std::uint32_t i = 0; i < count; ++i) data[i] += float(magnitude);
                }
            if (fault == Fault::residueAfterReset && resetPending->exchange(false) && frames > 0)
                samples[0] = float(magnitude);
            // The lowest bit of one sample, on every other call of all units together.
            if (fault == Fault::sharesState && frames > 0 && sharedCalls.fetch_add(1) % 2 == 1 &&
                std::fpclassify(samples[0]) == FP_NORMAL)
                samples[0] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(samples[0]) ^ 1u);
            if (fault == Fault::ringsFor) {
                // A level 50 dB below full-scale noise for `magnitude` seconds
                // past the reported tail, counted from the end of the input
                // (this fault is rendered at 48 kHz only).
                const double ringing = (tail->tailTime() + magnitude) * 48000.0;
                for (std::uint32_t i = 0; i < frames && i < silentFor.size(); ++i)
                    if (silentFor[i] > 0 && double(silentFor[i]) <= ringing)
                        for (std::uint32_t b = 0; b < out->mNumberBuffers; ++b)
                            static_cast<float*>(out->mBuffers[b].mData)[i * channels] += 1.83e-3f;
            }
            const std::array<float, 6> now{kernel->premix.load(), kernel->granularity.load(), kernel->incoherence.load(),
                                           kernel->impatience.load(), kernel->nausea.load(), kernel->gravitas.load()};
            if (fault == Fault::nanAfterAParameterChange && now != last && frames > 0) samples[0] = std::nanf("");
            last = now;
            return status;
        };
    }
    std::expected<void, Error> allocateRenderResources() override {
        if (auto set = inner_->setMaximumFramesToRender(maximumFramesToRender()); !set) return set;
        return inner_->allocateRenderResources();
    }
    void deallocateRenderResources() override { inner_->deallocateRenderResources(); }
    void reset() override {
        if (fault_.fault != Fault::ringsAfterReset) inner_->reset();
        resetPending_->store(true);
    }

    std::vector<std::shared_ptr<AUAudioUnitPreset>> factoryPresets() override { return inner_->factoryPresets(); }
    std::shared_ptr<AUAudioUnitPreset> currentPreset() override { return inner_->currentPreset(); }
    void setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset) override { inner_->setCurrentPreset(std::move(preset)); }
    std::optional<PropertyList::Dictionary> fullState() override { return inner_->fullState(); }
    void setFullState(std::optional<PropertyList::Dictionary> state) override {
        inner_->setFullState(state);
        const auto values = state ? state->find("orvane_params") : PropertyList::Dictionary::const_iterator{};
        if (fault_.fault != Fault::unclampedState || !state || values == state->end() || !values->second.dictionary()) return;
        // Held within the range widened by the magnitude on each side; without one, not held at all.
        const double widen = fault_.magnitude.value_or(HUGE_VAL);
        for (const auto& [identifier, value] : *values->second.dictionary())
            for (const auto& parameter : inner_->parameterTree()->allParameters())
                if (parameter->identifier() == identifier && value.number())
                    parameter->setValue(static_cast<AUValue>(
                        std::clamp(*value.number(), parameter->minValue() - widen, parameter->maxValue() + widen)));
    }
    std::optional<PropertyList::Dictionary> fullStateForDocument() override { return inner_->fullStateForDocument(); }
    void setFullStateForDocument(std::optional<PropertyList::Dictionary> state) override { setFullState(std::move(state)); }

    std::vector<int> channelCapabilities() override { return inner_->channelCapabilities(); }
    double latency() override { return inner_->latency(); }
    double tailTime() override { return inner_->tailTime() / (fault_.fault == Fault::shortTail ? 4.0 : 1.0); }
    bool shouldBypassEffect() override { return inner_->shouldBypassEffect(); }
    void setShouldBypassEffect(bool bypass) override { inner_->setShouldBypassEffect(bypass); }
    std::expected<void, Error> setRandomSeed(std::uint32_t seed) override { return inner_->setRandomSeed(seed); }

private:
    explicit FaultyUnit(std::shared_ptr<orvane::OrvaneAudioUnit> inner) : inner_(std::move(inner)), fault_(faultOfThisBundle()) {}

    std::shared_ptr<orvane::OrvaneAudioUnit> inner_;
    FaultAndMagnitude fault_;
    std::shared_ptr<std::atomic<bool>> resetPending_ = std::make_shared<std::atomic<bool>>(false);
};

class FaultyFactory : public AUAudioUnitFactory {
public:
    std::expected<std::shared_ptr<AUAudioUnit>, Error> createAudioUnit(const AudioComponentDescription& description) override {
        return FaultyUnit::create(description);
    }
};

} // namespace

extern "C" void AUExtensionCreatePrincipalObject(std::shared_ptr<AUAudioUnitFactory>* principal) noexcept {
    try {
        *principal = std::make_shared<FaultyFactory>();
    } catch (...) {
        principal->reset();
    }
}
