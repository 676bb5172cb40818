// Render calls driven by untrusted bytes: frame counts (up to past the
// maximum), buffer layouts and byte sizes, parameter events and samples with
// any value. Nothing is written past a buffer, and nothing non-finite settles
// in the effect's state: silence rendered afterwards comes out finite.

#include "plugin/OrvaneAudioUnit.h"
#include "platform/audiounit/AVAudioFormat.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint32_t kMaximumFrames = 1024;
constexpr float kCanary = 77.0f;

struct Rig {
    std::shared_ptr<orvane::OrvaneAudioUnit> unit;
    platform::AUInternalRenderBlock render;
    Rig() {
        unit = *orvane::OrvaneAudioUnit::create(
            {platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0});
        (void)unit->setRandomSeed(7);
        (void)unit->setMaximumFramesToRender(kMaximumFrames);
        (void)unit->allocateRenderResources();
        render = unit->internalRenderBlock();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig rig;
    FuzzedDataProvider in(data, size);
    platform::AURenderPullInputBlock pull = [](auto*, auto*, auto, auto, auto*) { return platform::noErr; };
    while (in.remaining_bytes() > 0) {
        const auto frames = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaximumFrames * 2);
        const auto held = in.ConsumeIntegralInRange<std::uint32_t>(0, frames);
        const bool interleaved = in.ConsumeBool();
        const std::uint32_t width = interleaved ? 2 : 1;
        std::vector<float> left(held * width + 16, kCanary), right(held + 16, kCanary);
        for (std::uint32_t i = 0; i < held * width; ++i) left[i] = in.ConsumeFloatingPoint<float>();
        for (std::uint32_t i = 0; i < held; ++i) right[i] = in.ConsumeFloatingPoint<float>();
        std::vector<platform::AURenderEvent> events(in.ConsumeIntegralInRange<std::size_t>(0, 8));
        for (std::size_t e = 0; e < events.size(); ++e) {
            auto& p = events[e].parameter;
            p = {};
            p.next = e + 1 < events.size() ? &events[e + 1] : nullptr;
            p.eventType = in.ConsumeBool() ? platform::AURenderEventParameter : platform::AURenderEventParameterRamp;
            p.parameterAddress = in.ConsumeIntegralInRange<std::uint64_t>(0, 8);
            p.value = in.ConsumeFloatingPoint<float>();
        }
        platform::AudioBufferListStorage list(2);
        list->mNumberBuffers = interleaved ? 1 : 2;
        list.buffer(0) = {width, static_cast<std::uint32_t>(held * width * sizeof(float)), left.data()};
        list.buffer(1) = {1, static_cast<std::uint32_t>(held * sizeof(float)), right.data()};
        platform::AudioTimeStamp stamp{};
        platform::AudioUnitRenderActionFlags flags = 0;
        rig.render(&flags, &stamp, frames, 0, list.get(), events.empty() ? nullptr : events.data(), &pull);
        for (std::size_t i = held * width; i < left.size(); ++i)
            if (left[i] != kCanary) std::abort();
        for (std::size_t i = held; i < right.size(); ++i)
            if (right[i] != kCanary) std::abort();
    }
    std::vector<float> left(256, 0.0f), right(256, 0.0f);
    platform::AudioBufferListStorage list(2);
    list->mNumberBuffers = 2;
    list.buffer(0) = {1, 256 * sizeof(float), left.data()};
    list.buffer(1) = {1, 256 * sizeof(float), right.data()};
    platform::AudioTimeStamp stamp{};
    platform::AudioUnitRenderActionFlags flags = 0;
    rig.render(&flags, &stamp, 256, 0, list.get(), nullptr, &pull);
    for (std::size_t i = 0; i < 256; ++i)
        if (!std::isfinite(left[i]) || !std::isfinite(right[i])) std::abort();
    rig.unit->reset();
    return 0;
}
