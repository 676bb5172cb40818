// The LV2 plug-in: a thin adapter that loads the unit's bundle, makes the
// unit through its principal object and drives it through the host contract,
// like every host. The only exported symbol is lv2_descriptor.

#include "hosts/adapter/UnitBundle.h"
#include "hosts/adapter/UnitRenderer.h"
#include "hosts/lv2/OrvaneLV2.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>

namespace {

using namespace orvane::lv2;

/// One plug-in instance. Instantiate, activate and deactivate run on the
/// host's main thread; run on its audio thread, where nothing allocates,
/// locks or makes a system call.
struct Instance {
    std::optional<orvane::adapter::UnitBundle> bundle;
    std::unique_ptr<orvane::adapter::UnitRenderer> renderer;
    double sampleRate = 48000.0;
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
        auto bundle = orvane::adapter::UnitBundle::load(bundlePath);
        if (!bundle) return nullptr;
        instance->bundle.emplace(std::move(*bundle));
        auto unit = instance->bundle->createUnit();
        if (!unit) return nullptr;
        instance->renderer = std::make_unique<orvane::adapter::UnitRenderer>(std::move(*unit));
        instance->sampleRate = rate;
        instance->maximumFrames = maximumBlockLength(features);
        if (!instance->renderer->prepare(rate, instance->maximumFrames)) return nullptr;
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
    if (!self->renderer->isPrepared()) (void)self->renderer->prepare(self->sampleRate, self->maximumFrames);
    self->renderer->reset();
    self->everSent.fill(false);
}

void run(LV2_Handle handle, std::uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    if (self->latency) *self->latency = 0.0f;
    if (frames == 0 || !self->input[0] || !self->input[1] || !self->output[0] || !self->output[1]) return;

    // Control ports that changed since the last call take effect at the
    // start of the block.
    for (std::uint32_t i = 0; i < kParameterCount; ++i) {
        if (!self->parameters[i]) continue;
        const float value = *self->parameters[i];
        const auto bits = std::bit_cast<std::uint32_t>(value);
        if (self->everSent[i] && self->sent[i] == bits) continue;
        self->everSent[i] = true;
        self->sent[i] = bits;
        self->renderer->schedule(i, value, 0);
    }
    self->renderer->setBypass(self->enabled && !(*self->enabled > 0.5f));
    const float* input[2] = {self->input[0], self->input[1]};
    float* output[2] = {self->output[0], self->output[1]};
    self->renderer->render(input, output, frames);
}

void deactivate(LV2_Handle handle) { static_cast<Instance*>(handle)->renderer->release(); }

void cleanup(LV2_Handle handle) { delete static_cast<Instance*>(handle); }

const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptor{kPluginURI, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData};

} // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
