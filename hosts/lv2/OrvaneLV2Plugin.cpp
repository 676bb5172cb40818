// The LV2 plug-in: a thin adapter that loads the unit's bundle, makes the
// unit through its principal object and drives it through the host contract,
// like every host. The only exported symbol is lv2_descriptor.

#include "hosts/lv2/OrvaneLV2.h"
#include "platform/audiounit/AUPlugInBundle.h"
#include "platform/audiounit/AVAudioFormat.h"
#include "platform/audiounit/AudioTypes.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

using namespace orvane::lv2;

/// One plug-in instance. Instantiate, activate and deactivate run on the
/// host's main thread; run on its audio thread, where nothing allocates,
/// locks or makes a system call.
struct Instance {
    platform::LoadedPlugIn loaded;
    std::shared_ptr<platform::AUAudioUnit> unit;
    platform::AUInternalRenderBlock render;
    platform::AURenderPullInputBlock pull;
    platform::AudioBufferListStorage buffers{2};
    std::uint32_t maximumFrames = kDefaultMaximumFrames;

    std::array<const float*, 2> input{};
    std::array<float*, 2> output{};
    std::array<const float*, kParameterCount> parameters{};
    const float* enabled = nullptr;
    float* latency = nullptr;

    /// The parameter values last handed to the unit, as bit patterns so a
    /// NaN from the host counts as unchanged once sent.
    std::array<std::uint32_t, kParameterCount> sent{};
    std::array<bool, kParameterCount> everSent{};
    bool bypassed = false;
    std::array<platform::AURenderEvent, kParameterCount> events{};
    /// Where the pull block reads the input of the piece being rendered.
    std::array<const float*, 2> pieceInput{};
    double sampleTime = 0.0;
};

std::uint32_t maximumBlockLength(const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    const LV2_Options_Option* options = nullptr;
    for (auto f = features; f && *f; ++f) {
        if (!std::strcmp((*f)->URI, LV2_URID__map)) map = static_cast<const LV2_URID_Map*>((*f)->data);
        if (!std::strcmp((*f)->URI, LV2_OPTIONS__options)) options = static_cast<const LV2_Options_Option*>((*f)->data);
    }
    if (!map || !options) return kDefaultMaximumFrames;
    const LV2_URID maxBlock = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID atomInt = map->map(map->handle, LV2_ATOM__Int);
    for (auto o = options; o->key; ++o) {
        if (o->key == maxBlock && o->type == atomInt && o->size == sizeof(std::int32_t)) {
            const std::int32_t frames = *static_cast<const std::int32_t*>(o->value);
            if (frames > 0) return static_cast<std::uint32_t>(frames);
        }
    }
    return kDefaultMaximumFrames;
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char* bundlePath, const LV2_Feature* const* features) {
    try {
        auto instance = std::make_unique<Instance>();
        auto loaded = loadUnitBundle(bundlePath);
        if (!loaded) return nullptr;
        instance->loaded = std::move(*loaded);
        auto unit = instance->loaded.principal->createAudioUnit(instance->loaded.component.description);
        if (!unit) return nullptr;
        instance->unit = std::move(*unit);
        auto format = platform::AVAudioFormat::standardFormat(rate, 2);
        if (!format) return nullptr;
        for (const auto& buses : {instance->unit->inputBusses(), instance->unit->outputBusses()}) {
            if (!buses || buses->count() == 0 || !buses->at(0)->setFormat(format)) return nullptr;
        }
        instance->maximumFrames = maximumBlockLength(features);
        if (!instance->unit->setMaximumFramesToRender(instance->maximumFrames)) return nullptr;
        if (!instance->unit->allocateRenderResources()) return nullptr;
        instance->render = instance->unit->internalRenderBlock();
        instance->buffers->mNumberBuffers = 2;
        // The unit renders in place in the output ports: pulling its input
        // copies the input ports there (nothing to do when they are the same).
        Instance* self = instance.get();
        instance->pull = [self](platform::AudioUnitRenderActionFlags*, const platform::AudioTimeStamp*,
                                platform::AUAudioFrameCount frames, platform::NSInteger, platform::AudioBufferList* data) {
            for (std::uint32_t c = 0; c < 2 && c < data->mNumberBuffers; ++c) {
                auto* target = static_cast<float*>(data->mBuffers[c].mData);
                if (target && self->pieceInput[c] && target != self->pieceInput[c])
                    std::memmove(target, self->pieceInput[c], frames * sizeof(float));
            }
            return platform::noErr;
        };
        return instance.release();
    } catch (...) {
        return nullptr;
    }
}

void connectPort(LV2_Handle handle, std::uint32_t port, void* data) {
    auto* self = static_cast<Instance*>(handle);
    switch (port) {
    case kInputLeft:
    case kInputRight: self->input[port - kInputLeft] = static_cast<const float*>(data); break;
    case kOutputLeft:
    case kOutputRight: self->output[port - kOutputLeft] = static_cast<float*>(data); break;
    case kEnabledPort: self->enabled = static_cast<const float*>(data); break;
    case kLatencyPort: self->latency = static_cast<float*>(data); break;
    default:
        if (port >= kFirstParameterPort && port < kFirstParameterPort + kParameterCount)
            self->parameters[port - kFirstParameterPort] = static_cast<const float*>(data);
        break;
    }
}

void activate(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    if (!self->unit->renderResourcesAllocated()) (void)self->unit->allocateRenderResources();
    self->unit->reset();
    self->sampleTime = 0.0;
    self->everSent.fill(false);
}

void run(LV2_Handle handle, std::uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    if (self->latency) *self->latency = 0.0f;
    if (frames == 0 || !self->input[0] || !self->input[1] || !self->output[0] || !self->output[1]) return;

    // Control ports that changed since the last call become parameter events
    // at the start of the block.
    platform::AURenderEvent* head = nullptr;
    for (std::uint32_t i = kParameterCount; i-- > 0;) {
        if (!self->parameters[i]) continue;
        const float value = *self->parameters[i];
        const auto bits = std::bit_cast<std::uint32_t>(value);
        if (self->everSent[i] && self->sent[i] == bits) continue;
        self->everSent[i] = true;
        self->sent[i] = bits;
        auto& event = self->events[i].parameter;
        event = {};
        event.next = head;
        event.eventSampleTime = static_cast<platform::AUEventSampleTime>(self->sampleTime);
        event.eventType = platform::AURenderEventParameter;
        event.parameterAddress = i;
        event.value = value;
        head = &self->events[i];
    }
    const bool bypass = self->enabled && !(*self->enabled > 0.5f);
    if (bypass != self->bypassed) {
        self->bypassed = bypass;
        self->unit->setShouldBypassEffect(bypass);
    }

    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t piece = std::min(self->maximumFrames, frames - done);
        for (std::uint32_t c = 0; c < 2; ++c) {
            self->pieceInput[c] = self->input[c] + done;
            self->buffers.buffer(c) = {1, static_cast<std::uint32_t>(piece * sizeof(float)), self->output[c] + done};
        }
        platform::AudioTimeStamp stamp{};
        stamp.mSampleTime = self->sampleTime;
        stamp.mFlags = platform::kAudioTimeStampSampleTimeValid;
        platform::AudioUnitRenderActionFlags flags = 0;
        self->render(&flags, &stamp, piece, 0, self->buffers.get(), head, &self->pull);
        head = nullptr;
        self->sampleTime += piece;
        done += piece;
    }
}

void deactivate(LV2_Handle handle) { static_cast<Instance*>(handle)->unit->deallocateRenderResources(); }

void cleanup(LV2_Handle handle) { delete static_cast<Instance*>(handle); }

const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptor{kPluginURI, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData};

} // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
