#include "plugin/OrvaneAudioUnit.h"

#include "plugin/FactoryPresets.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <new>
#include <string_view>

namespace orvane {

using platform::AUParameterAddress;
using platform::AUValue;
using platform::PropertyList;

namespace {

constexpr double kDefaultSampleRate = 44100.0;
constexpr platform::AUAudioChannelCount kChannels = 2;
constexpr std::string_view kTailTimeKey = "tailTime";
constexpr std::string_view kParamsKey = "orvane_params";
constexpr std::string_view kStateVersionKey = "orvane_state_version";
constexpr std::int64_t kStateVersion = 1;
constexpr std::string_view kUntitled = "Untitled";

struct ParameterInfo {
    const char* identifier;
    const char* name;
    AUValue initial;
};

/// The six parameters, in address order.
constexpr std::array<ParameterInfo, 6> kParameters{{
    {"premix", "Premix", 0.5f},
    {"granularity", "Granularity", 0.0f},
    {"incoherence", "Incoherence", 0.0f},
    {"impatience", "Impatience", 0.5f},
    {"nausea", "Nausea", 0.0f},
    {"gravitas", "Gravitas", 0.0f},
}};

/// "%.3f": three digits after a point, whatever the user's locale
/// (to_chars never consults it, unlike printf).
std::string formatValue(AUValue value) {
    char text[400];
    const auto done = std::to_chars(text, text + sizeof text, static_cast<double>(value), std::chars_format::fixed, 3);
    return std::string(text, done.ptr);
}

/// Buffers of a list laid out as the platform's C struct, read through their
/// real address rather than through the one-element array of the declaration.
platform::AudioBuffer* buffersOf(platform::AudioBufferList* list) noexcept {
    return reinterpret_cast<platform::AudioBuffer*>(reinterpret_cast<std::byte*>(list) +
                                                    offsetof(platform::AudioBufferList, mBuffers));
}

} // namespace

std::atomic<float>* kernelField(OrvaneDSPKernel& kernel, AUParameterAddress address) noexcept {
    switch (address) {
    case 0: return &kernel.premix;
    case 1: return &kernel.granularity;
    case 2: return &kernel.incoherence;
    case 3: return &kernel.impatience;
    case 4: return &kernel.nausea;
    case 5: return &kernel.gravitas;
    default: return nullptr;
    }
}

OrvaneAudioUnit::OrvaneAudioUnit(Private) : dspKernel(std::make_shared<OrvaneDSPKernel>()) {}

OrvaneAudioUnit::~OrvaneAudioUnit() = default;

std::expected<std::shared_ptr<OrvaneAudioUnit>, platform::Error> OrvaneAudioUnit::create(
    const platform::AudioComponentDescription& description, platform::AudioComponentInstantiationOptions options) {
    auto unit = std::make_shared<OrvaneAudioUnit>(Private{});
    if (auto made = unit->init(description, options); !made) return std::unexpected(made.error());
    return unit;
}

std::expected<void, platform::Error> OrvaneAudioUnit::init(const platform::AudioComponentDescription& description,
                                                           platform::AudioComponentInstantiationOptions options) {
    if (auto base = initWithComponentDescription(description, options); !base) return std::unexpected(base.error());

    // Both buses share one format object.
    auto format = platform::AVAudioFormat::standardFormat(kDefaultSampleRate, kChannels);
    auto input = platform::AUAudioUnitBus::create(format);
    if (!input) return std::unexpected(input.error());
    _inputBusArray = std::make_shared<platform::AUAudioUnitBusArray>(this, platform::AUAudioUnitBusType::input,
                                                                    std::vector{*input});
    auto output = platform::AUAudioUnitBus::create(format);
    if (!output) return std::unexpected(output.error());
    _outputBusArray = std::make_shared<platform::AUAudioUnitBusArray>(this, platform::AUAudioUnitBusType::output,
                                                                     std::vector{*output});

    setupParameterTree();

    auto presets = factoryPresets();
    if (!presets.empty()) setCurrentPreset(presets.front());
    return {};
}

// MARK: parameters

void OrvaneAudioUnit::setupParameterTree() {
    std::vector<std::shared_ptr<platform::AUParameter>> parameters;
    for (AUParameterAddress address = 0; address < kParameters.size(); ++address) {
        const auto& info = kParameters[address];
        auto parameter = platform::AUParameterTree::createParameter(
            info.identifier, info.name, address, 0.0f, 1.0f, platform::kAudioUnitParameterUnit_Generic, std::nullopt,
            platform::kAudioUnitParameterFlag_IsReadable | platform::kAudioUnitParameterFlag_IsWritable, {}, {});
        parameter->setValue(info.initial);
        parameters.push_back(std::move(parameter));
    }
    auto tree = platform::AUParameterTree::createTree(std::move(parameters));

    defaultParameterValues.clear();
    for (const auto& parameter : tree->allParameters()) defaultParameterValues[parameter->identifier()] = parameter->value();

    std::weak_ptr<OrvaneAudioUnit> weakSelf = std::static_pointer_cast<OrvaneAudioUnit>(shared_from_this());
    tree->implementorValueObserver = [weakSelf](platform::AUParameter& parameter, AUValue value) {
        if (auto self = weakSelf.lock()) self->setKernelParameter(parameter.address(), value);
    };
    tree->implementorValueProvider = [weakSelf](platform::AUParameter& parameter) {
        if (auto self = weakSelf.lock()) return self->kernelParameter(parameter.address());
        return parameter.storedValue();
    };
    tree->implementorStringFromValueCallback = [](platform::AUParameter& parameter, const AUValue* value) {
        return formatValue(value ? *value : parameter.value());
    };
    {
        std::lock_guard lock(stateMutex_);
        _parameterTree = tree;
    }
    syncKernelFromTree();
}

void OrvaneAudioUnit::setKernelParameter(AUParameterAddress address, AUValue value) {
    auto* field = kernelField(*dspKernel, address);
    if (!field) return;
    // The tail time is computed from these fields: a host that observes it
    // learns of every parameter change.
    willChangeValueForKey(kTailTimeKey);
    field->store(value, std::memory_order_relaxed);
    didChangeValueForKey(kTailTimeKey);
}

AUValue OrvaneAudioUnit::kernelParameter(AUParameterAddress address) const {
    auto* field = kernelField(*dspKernel, address);
    return field ? field->load(std::memory_order_relaxed) : 0.0f;
}

void OrvaneAudioUnit::syncKernelFromTree() {
    auto tree = parameterTree();
    if (!tree) return;
    for (const auto& parameter : tree->allParameters()) setKernelParameter(parameter->address(), parameter->value());
}

std::shared_ptr<platform::AUAudioUnitBusArray> OrvaneAudioUnit::inputBusses() { return _inputBusArray; }
std::shared_ptr<platform::AUAudioUnitBusArray> OrvaneAudioUnit::outputBusses() { return _outputBusArray; }

std::shared_ptr<platform::AUParameterTree> OrvaneAudioUnit::parameterTree() {
    std::lock_guard lock(stateMutex_);
    return _parameterTree;
}

void OrvaneAudioUnit::setParameterTree(std::shared_ptr<platform::AUParameterTree> tree) {
    if (!tree) return; // the unit requires a tree
    std::lock_guard lock(stateMutex_);
    _parameterTree = std::move(tree);
}

// MARK: rendering

platform::AUInternalRenderBlock OrvaneAudioUnit::internalRenderBlock() {
    // The block holds the kernel, not the unit: it stays valid if it outlives
    // the unit.
    std::shared_ptr<OrvaneDSPKernel> kernel = dspKernel;
    return [kernel](platform::AudioUnitRenderActionFlags*, const platform::AudioTimeStamp* timestamp,
                    platform::AUAudioFrameCount frameCount, platform::NSInteger, platform::AudioBufferList* outputData,
                    const platform::AURenderEvent* events,
                    const platform::AURenderPullInputBlock* pullInput) -> platform::OSStatus {
        if (pullInput == nullptr || !*pullInput) return platform::kAudioUnitErr_NoConnection;
        platform::AudioUnitRenderActionFlags pullFlags = 0;
        if (auto status = (*pullInput)(&pullFlags, timestamp, frameCount, 0, outputData); status != platform::noErr) {
            return status;
        }

        for (auto* event = events; event != nullptr; event = event->head.next) {
            if (event->head.eventType != platform::AURenderEventParameter) continue;
            if (auto* field = kernelField(*kernel, event->parameter.parameterAddress)) {
                field->store(event->parameter.value, std::memory_order_relaxed);
            }
        }

        if (outputData == nullptr) return platform::noErr;
        auto* buffers = buffersOf(outputData);
        const auto frames = static_cast<std::int64_t>(frameCount);
        if (outputData->mNumberBuffers >= 2) {
            auto* left = static_cast<float*>(buffers[0].mData);
            auto* right = static_cast<float*>(buffers[1].mData);
            if (left == nullptr || right == nullptr) return platform::noErr;
            // Never past the end of what the host's buffers hold.
            const auto held = static_cast<std::int64_t>(std::min(buffers[0].mDataByteSize, buffers[1].mDataByteSize) / sizeof(float));
            kernel->process(left, right, left, right, std::min(frames, held));
        } else if (outputData->mNumberBuffers == 1 && buffers[0].mNumberChannels == 2) {
            auto* samples = static_cast<float*>(buffers[0].mData);
            if (samples == nullptr) return platform::noErr;
            const auto held = static_cast<std::int64_t>(buffers[0].mDataByteSize / (2 * sizeof(float)));
            kernel->processInterleaved(samples, std::min(frames, held));
        }
        return platform::noErr;
    };
}

std::expected<void, platform::Error> OrvaneAudioUnit::allocateRenderResources() {
    auto input = _inputBusArray->at(0);
    auto output = _outputBusArray->at(0);
    const auto inFormat = input->format();
    const auto outFormat = output->format();
    if (inFormat->channelCount() != outFormat->channelCount() || inFormat->sampleRate() != outFormat->sampleRate()) {
        if (auto set = output->setFormat(inFormat); !set) return std::unexpected(set.error());
    }
    if (auto base = AUAudioUnit::allocateRenderResources(); !base) return std::unexpected(base.error());
    const auto frames = static_cast<std::int64_t>(maximumFramesToRender());
    try {
        dspKernel->allocate(frames, inFormat->sampleRate());
    } catch (const std::bad_alloc&) {
        // A host may ask for more frames per call than memory holds: report
        // it and leave a kernel that passes audio through, not a half-sized one.
        dspKernel->allocate(0, inFormat->sampleRate());
        AUAudioUnit::deallocateRenderResources();
        return std::unexpected(platform::Error{platform::kAudioUnitErrorDomain, platform::kAudioUnitErr_InvalidPropertyValue,
                                               "not enough memory to render " + std::to_string(frames) +
                                                   " frames per call"});
    }
    syncKernelFromTree();
    return {};
}

void OrvaneAudioUnit::deallocateRenderResources() {
    AUAudioUnit::deallocateRenderResources();
    dspKernel->reset();
}

void OrvaneAudioUnit::reset() {
    AUAudioUnit::reset();
    dspKernel->reset();
}

std::vector<int> OrvaneAudioUnit::channelCapabilities() { return {2, 2}; }
double OrvaneAudioUnit::latency() { return 0.0; }
double OrvaneAudioUnit::tailTime() { return dspKernel->tailTime(); }
bool OrvaneAudioUnit::shouldBypassEffect() { return dspKernel->bypass.load(std::memory_order_relaxed); }
void OrvaneAudioUnit::setShouldBypassEffect(bool bypass) { dspKernel->bypass.store(bypass, std::memory_order_relaxed); }

std::expected<void, platform::Error> OrvaneAudioUnit::setRandomSeed(std::uint32_t seed) {
    // Neither generator may start at 0, so the largest seed is one below the
    // top of the range.
    if (seed == 0 || seed == 0xFFFFFFFFu) {
        return std::unexpected(platform::Error{"Orvane", 1, "seed " + std::to_string(seed) +
                                                              " is outside 1 to 4294967294"});
    }
    dspKernel->velvetEchoes.rngL = seed;
    dspKernel->velvetEchoes.rngR = seed + 1;
    return {};
}

// MARK: presets and state

std::vector<std::shared_ptr<platform::AUAudioUnitPreset>> OrvaneAudioUnit::factoryPresets() {
    const auto& files = factoryPresetFiles();
    std::vector<std::shared_ptr<platform::AUAudioUnitPreset>> presets;
    presets.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        presets.push_back(std::make_shared<platform::AUAudioUnitPreset>(
            platform::AUAudioUnitPreset{static_cast<platform::NSInteger>(i), files[i].name}));
    }
    return presets;
}

std::shared_ptr<platform::AUAudioUnitPreset> OrvaneAudioUnit::currentPreset() {
    std::lock_guard lock(stateMutex_);
    return _currentPreset;
}

void OrvaneAudioUnit::setCurrentPreset(std::shared_ptr<platform::AUAudioUnitPreset> preset) {
    if (!preset) return;
    {
        std::lock_guard lock(stateMutex_);
        _currentPreset = preset;
    }
    if (preset->number < 0) return; // a host's own preset is only recorded
    const auto& files = factoryPresetFiles();
    if (static_cast<std::size_t>(preset->number) >= files.size()) return;
    auto bundle = pluginBundle();
    if (!bundle) return;
    if (auto state = loadPresetFile(*bundle, files[static_cast<std::size_t>(preset->number)].filename)) applyState(*state);
}

void OrvaneAudioUnit::applyState(const PropertyList::Dictionary& state) {
    auto tree = parameterTree();
    if (!tree) return;

    // Only a dictionary made wholly of numbers counts; anything else returns
    // every parameter to its default.
    const PropertyList::Dictionary* values = nullptr;
    if (auto it = state.find(std::string(kParamsKey)); it != state.end()) {
        if (auto* dictionary = it->second.dictionary()) {
            values = dictionary;
            for (const auto& [key, value] : *dictionary) {
                if (!value.isNumber()) values = nullptr;
            }
        }
    }

    for (const auto& parameter : tree->allParameters()) {
        const PropertyList* entry = nullptr;
        if (values) {
            if (auto it = values->find(parameter->identifier()); it != values->end()) entry = &it->second;
        }
        const auto fallback = defaultParameterValues.find(parameter->identifier());
        if (entry) {
            const auto x = static_cast<AUValue>(*entry->number());
            // A stored NaN would reach the sound as garbage; it counts as missing.
            if (std::isnan(x)) {
                if (fallback != defaultParameterValues.end()) parameter->setValue(fallback->second);
                continue;
            }
            const AUValue t = x <= parameter->minValue() ? parameter->minValue() : x;
            parameter->setValue(parameter->maxValue() < t ? parameter->maxValue() : t);
        } else if (fallback != defaultParameterValues.end()) {
            parameter->setValue(fallback->second);
        }
    }
}

std::optional<PropertyList::Dictionary> OrvaneAudioUnit::fullState() {
    const auto& description = componentDescription();
    PropertyList::Dictionary state;
    state["version"] = std::int64_t{0};
    state["type"] = static_cast<std::int64_t>(description.componentType);
    state["subtype"] = static_cast<std::int64_t>(description.componentSubType);
    state["manufacturer"] = static_cast<std::int64_t>(description.componentManufacturer);
    auto preset = currentPreset();
    state["name"] = preset ? preset->name : std::string(kUntitled);
    if (auto tree = parameterTree()) {
        PropertyList::Dictionary values;
        for (const auto& parameter : tree->allParameters()) {
            values[parameter->identifier()] = static_cast<double>(parameter->value());
        }
        state[std::string(kParamsKey)] = std::move(values);
    }
    state[std::string(kStateVersionKey)] = kStateVersion;
    return state;
}

void OrvaneAudioUnit::setFullState(std::optional<PropertyList::Dictionary> state) {
    if (state) applyState(*state);
}

std::optional<PropertyList::Dictionary> OrvaneAudioUnit::fullStateForDocument() { return fullState(); }

void OrvaneAudioUnit::setFullStateForDocument(std::optional<PropertyList::Dictionary> state) {
    setFullState(std::move(state));
}

} // namespace orvane
