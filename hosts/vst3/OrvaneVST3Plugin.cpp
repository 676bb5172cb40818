#include "hosts/vst3/OrvaneVST3Plugin.h"

#include "hosts/adapter/StateData.h"
#include "hosts/vst3/OrvaneVST3.h"
#include "hosts/vst3/OrvaneVST3View.h"
#include "hosts/vst3/VST3Strings.h"

#include <pluginterfaces/base/ibstream.h>
#include <pluginterfaces/vst/ivstparameterchanges.h>
#include <pluginterfaces/vst/vstspeaker.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <vector>

namespace orvane::vst3 {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

/// Between two automation points a knob moves in steps this many frames
/// apart, as the host's line between them asks.
constexpr int32 kRampStepFrames = 32;

/// A saved state is a few hundred bytes; anything far past that is not ours.
constexpr std::size_t kLongestState = 1 << 20;

std::optional<std::vector<std::uint8_t>> readAll(IBStream* stream) {
    if (!stream) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    for (;;) {
        int32 read = 0;
        if (stream->read(chunk, sizeof chunk, &read) != kResultOk || read <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + read);
        if (bytes.size() > kLongestState) return std::nullopt;
    }
    return bytes;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    return text;
}

bool sameIID(const TUID a, const TUID b) { return std::memcmp(a, b, sizeof(TUID)) == 0; }

/// The host's bypass, kept in the saved state beside the unit's own keys.
constexpr const char* kBypassStateKey = "vst3_bypass";

} // namespace

Plugin::Plugin(std::filesystem::path bundleFolder) : bundleFolder_(std::move(bundleFolder)) {}

Plugin::~Plugin() { terminate(); }

tresult PLUGIN_API Plugin::queryInterface(const TUID iid, void** object) {
    if (!object) return kInvalidArgument;
    void* found = nullptr;
    if (sameIID(iid, FUnknown::iid) || sameIID(iid, IPluginBase::iid) || sameIID(iid, IComponent::iid))
        found = static_cast<IComponent*>(this);
    else if (sameIID(iid, IAudioProcessor::iid)) found = static_cast<IAudioProcessor*>(this);
    else if (sameIID(iid, IEditController::iid)) found = static_cast<IEditController*>(this);
    else if (sameIID(iid, IUnitInfo::iid)) found = static_cast<IUnitInfo*>(this);
    else if (sameIID(iid, IProcessContextRequirements::iid)) found = static_cast<IProcessContextRequirements*>(this);
    *object = found;
    if (!found) return kNoInterface;
    addRef();
    return kResultOk;
}

uint32 PLUGIN_API Plugin::addRef() { return ++references_; }

uint32 PLUGIN_API Plugin::release() {
    const uint32 left = --references_;
    if (left == 0) delete this;
    return left;
}

tresult PLUGIN_API Plugin::initialize(FUnknown*) {
    // The host initialises the processor and, being the same object, may
    // initialise the controller too.
    if (initialized_) return kResultOk;
    try {
        adapter::ParameterMirror::Callbacks callbacks;
        callbacks.edited = [this](platform::AUParameterAddress address, float value) {
            controllerChanged();
            if (handler_) handler_->performEdit(static_cast<ParamID>(address), value);
        };
        callbacks.gesture = [this](platform::AUParameterAddress address, bool begins) {
            if (!handler_) return;
            if (begins) handler_->beginEdit(static_cast<ParamID>(address));
            else handler_->endEdit(static_cast<ParamID>(address));
        };
        auto units = adapter::PluginUnits::load(bundleFolder_, std::move(callbacks));
        if (!units) return kResultFalse;
        units_ = std::move(*units);
        renderingUnit_ = units_->rendering;
        controllerUnit_ = units_->controller;
        renderer_ = units_->renderer.get();
        mirror_ = units_->mirror.get();
        table_ = units_->table;
        initialized_ = true;
        return kResultOk;
    } catch (...) {
        return kResultFalse;
    }
}

tresult PLUGIN_API Plugin::terminate() {
    if (handler_) {
        handler_->release();
        handler_ = nullptr;
    }
    mirror_ = nullptr;
    renderer_ = nullptr;
    controllerUnit_.reset();
    renderingUnit_.reset();
    units_.reset();
    initialized_ = false;
    return kResultOk;
}

// MARK: the component

tresult PLUGIN_API Plugin::getControllerClassId(TUID) { return kResultFalse; }

tresult PLUGIN_API Plugin::setIoMode(IoMode) { return kResultOk; }

int32 PLUGIN_API Plugin::getBusCount(MediaType type, BusDirection) { return type == kAudio ? 1 : 0; }

tresult PLUGIN_API Plugin::getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) {
    if (type != kAudio || index != 0) return kInvalidArgument;
    bus = {};
    bus.mediaType = kAudio;
    bus.direction = dir;
    bus.channelCount = 2;
    copyToHost(dir == kInput ? "Stereo In" : "Stereo Out", bus.name);
    bus.busType = kMain;
    bus.flags = BusInfo::kDefaultActive;
    return kResultOk;
}

tresult PLUGIN_API Plugin::getRoutingInfo(RoutingInfo&, RoutingInfo&) { return kResultFalse; }

tresult PLUGIN_API Plugin::activateBus(MediaType type, BusDirection, int32 index, TBool) {
    return type == kAudio && index == 0 ? kResultTrue : kInvalidArgument;
}

tresult PLUGIN_API Plugin::setActive(TBool state) {
    if (!renderer_) return kNotInitialized;
    if (!state) {
        renderer_->release();
        return kResultOk;
    }
    if (!renderer_->prepare(setup_.sampleRate, static_cast<std::uint32_t>(std::max<int32>(setup_.maxSamplesPerBlock, 1))))
        return kResultFalse;
    silentFrames_ = 0;
    rampKnown_.fill(false);
    return kResultOk;
}

tresult PLUGIN_API Plugin::setState(IBStream* state) {
    if (!renderingUnit_) return kNotInitialized;
    auto bytes = readAll(state);
    if (!bytes) return kResultFalse;
    auto restored = units_->restoreState(*bytes);
    if (!restored) return kResultFalse;
    forgetRamps_.store(true, std::memory_order_relaxed);
    const auto bypass = restored->find(kBypassStateKey);
    bypassed_ = bypass != restored->end() && bypass->second.boolean() && *bypass->second.boolean();
    renderingUnit_->setShouldBypassEffect(bypassed_);
    const auto preset = controllerUnit_->currentPreset();
    if (preset && preset->number >= 0) program_ = static_cast<std::size_t>(preset->number);
    tellHostValuesChanged();
    return kResultOk;
}

tresult PLUGIN_API Plugin::getState(IBStream* state) {
    if (!renderingUnit_ || !state) return kResultFalse;
    // A value the host set just now reaches the rendering side with the
    // next process call: until then the controller side holds it.
    const bool controllerNewer = controllerChangedAt_ == processCalls_.load(std::memory_order_relaxed);
    platform::PropertyList::Dictionary extra;
    extra.emplace(kBypassStateKey, platform::PropertyList(renderingUnit_->shouldBypassEffect()));
    auto bytes = adapter::saveStateData(controllerNewer ? *controllerUnit_ : *renderingUnit_, extra);
    if (!bytes) return kResultFalse;
    int32 written = 0;
    if (state->write(bytes->data(), static_cast<int32>(bytes->size()), &written) != kResultOk ||
        written != static_cast<int32>(bytes->size()))
        return kResultFalse;
    return kResultOk;
}

// MARK: the processor

tresult PLUGIN_API Plugin::setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                              int32 numOuts) {
    const bool stereo = numIns == 1 && numOuts == 1 && inputs && outputs && inputs[0] == SpeakerArr::kStereo &&
                        outputs[0] == SpeakerArr::kStereo;
    return stereo ? kResultTrue : kResultFalse;
}

tresult PLUGIN_API Plugin::getBusArrangement(BusDirection, int32 index, SpeakerArrangement& arrangement) {
    if (index != 0) return kInvalidArgument;
    arrangement = SpeakerArr::kStereo;
    return kResultOk;
}

tresult PLUGIN_API Plugin::canProcessSampleSize(int32 symbolicSampleSize) {
    return symbolicSampleSize == kSample32 ? kResultTrue : kResultFalse;
}

uint32 PLUGIN_API Plugin::getLatencySamples() { return 0; }

tresult PLUGIN_API Plugin::setupProcessing(ProcessSetup& setup) {
    if (setup.symbolicSampleSize != kSample32 || !(setup.sampleRate > 0.0) || setup.maxSamplesPerBlock < 1)
        return kResultFalse;
    setup_ = setup;
    return kResultOk;
}

tresult PLUGIN_API Plugin::setProcessing(TBool) { return kResultOk; }

uint32 PLUGIN_API Plugin::getTailSamples() {
    if (!renderingUnit_) return 0;
    return static_cast<uint32>(std::ceil(renderingUnit_->tailTime() * setup_.sampleRate));
}

tresult PLUGIN_API Plugin::process(ProcessData& data) {
    if (!renderer_) return kNotInitialized;
    const auto& presets = table_.presets();
    if (forgetRamps_.exchange(false, std::memory_order_relaxed)) rampKnown_.fill(false);
    bool parametersChanged = false;
    if (auto* changes = data.inputParameterChanges) {
        const int32 queues = changes->getParameterCount();
        for (int32 q = 0; q < queues; ++q) {
            IParamValueQueue* queue = changes->getParameterData(q);
            if (!queue) continue;
            const ParamID id = queue->getParameterId();
            const int32 points = queue->getPointCount();
            if (id < rampFrom_.size() && knobAddress(id)) {
                scheduleRamp(id, *queue);
                parametersChanged = parametersChanged || points > 0;
                continue;
            }
            for (int32 p = 0; p < points; ++p) {
                int32 offset = 0;
                ParamValue value = 0.0;
                if (queue->getPoint(p, offset, value) != kResultOk) continue;
                const auto at = static_cast<std::uint32_t>(std::max<int32>(offset, 0));
                parametersChanged = true;
                if (id == kBypassParameter) {
                    renderer_->setBypass(value >= 0.5);
                } else if (id == kProgramParameter) {
                    if (presets.empty()) continue;
                    const auto index = std::min(static_cast<std::size_t>(std::lround(value * double(presets.size() - 1))),
                                                presets.size() - 1);
                    const auto& preset = presets[index];
                    for (std::size_t a = 0; a < preset.values.size(); ++a) renderer_->schedule(a, preset.values[a], at);
                }
            }
        }
    }

    const float* noInput[2] = {nullptr, nullptr};
    float* noOutput[2] = {nullptr, nullptr};
    const bool haveBuses = data.numInputs > 0 && data.numOutputs > 0 && data.inputs && data.outputs &&
                           data.inputs[0].numChannels >= 2 && data.outputs[0].numChannels >= 2 &&
                           data.inputs[0].channelBuffers32 && data.outputs[0].channelBuffers32;
    if (data.numSamples <= 0 || !haveBuses || data.symbolicSampleSize != kSample32) {
        renderer_->render(noInput, noOutput, 0);
        processCalls_.fetch_add(1, std::memory_order_relaxed);
        return kResultOk;
    }
    const auto frames = static_cast<std::uint32_t>(data.numSamples);
    const float* input[2] = {data.inputs[0].channelBuffers32[0], data.inputs[0].channelBuffers32[1]};
    float* output[2] = {data.outputs[0].channelBuffers32[0], data.outputs[0].channelBuffers32[1]};
    if (!input[0] || !input[1] || !output[0] || !output[1]) {
        renderer_->render(noInput, noOutput, 0);
        return kResultOk;
    }

    // Silence in after the tail has rung out: nothing to render.
    const bool silentInput = (data.inputs[0].silenceFlags & 3) == 3;
    silentFrames_ = silentInput ? silentFrames_ + frames : 0;
    const double tailFrames = renderingUnit_->tailTime() * setup_.sampleRate;
    if (silentInput && !parametersChanged && static_cast<double>(silentFrames_ - frames) > tailFrames) {
        std::memset(output[0], 0, frames * sizeof(float));
        std::memset(output[1], 0, frames * sizeof(float));
        data.outputs[0].silenceFlags = 3;
        processCalls_.fetch_add(1, std::memory_order_relaxed);
        return kResultOk;
    }
    renderer_->render(input, output, frames);
    data.outputs[0].silenceFlags = 0;
    processCalls_.fetch_add(1, std::memory_order_relaxed);
    return kResultOk;
}

void Plugin::scheduleRamp(ParamID id, IParamValueQueue& queue) {
    // The host's points lie on a line that starts from the knob's last
    // point; the knob follows it in steps, each value at its own frame.
    bool known = rampKnown_[id];
    float from = rampFrom_[id];
    int32 fromOffset = 0;
    const int32 points = queue.getPointCount();
    for (int32 p = 0; p < points; ++p) {
        int32 offset = 0;
        ParamValue point = 0.0;
        if (queue.getPoint(p, offset, point) != kResultOk) continue;
        offset = std::max<int32>(offset, fromOffset);
        const auto value = static_cast<float>(point);
        if (known && offset > fromOffset) {
            const float span = static_cast<float>(offset - fromOffset);
            for (int32 at = fromOffset + kRampStepFrames; at < offset; at += kRampStepFrames)
                renderer_->schedule(id, from + (value - from) * (static_cast<float>(at - fromOffset) / span),
                                    static_cast<std::uint32_t>(at));
        }
        renderer_->schedule(id, value, static_cast<std::uint32_t>(offset));
        from = value;
        fromOffset = offset;
        known = true;
    }
    rampFrom_[id] = from;
    rampKnown_[id] = known;
}

// MARK: the controller

tresult PLUGIN_API Plugin::setComponentState(IBStream* state) {
    if (!controllerUnit_) return kNotInitialized;
    auto bytes = readAll(state);
    if (!bytes) return kResultFalse;
    std::optional<platform::PropertyList::Dictionary> restored;
    mirror_->applyFromHost([&](platform::AUAudioUnit& unit) {
        if (auto dictionary = adapter::restoreStateData(unit, *bytes)) restored = std::move(*dictionary);
    });
    if (!restored) return kResultFalse;
    const auto bypass = restored->find(kBypassStateKey);
    bypassed_ = bypass != restored->end() && bypass->second.boolean() && *bypass->second.boolean();
    const auto preset = controllerUnit_->currentPreset();
    if (preset && preset->number >= 0) program_ = static_cast<std::size_t>(preset->number);
    tellHostValuesChanged();
    return kResultOk;
}

int32 PLUGIN_API Plugin::getParameterCount() { return static_cast<int32>(table_.parameters().size()) + 2; }

tresult PLUGIN_API Plugin::getParameterInfo(int32 index, ParameterInfo& info) {
    const auto& parameters = table_.parameters();
    if (index < 0 || index >= getParameterCount()) return kInvalidArgument;
    info = {};
    info.unitId = kRootUnitId;
    const auto knobs = static_cast<int32>(parameters.size());
    if (index < knobs) {
        const auto& parameter = parameters[static_cast<std::size_t>(index)];
        info.id = static_cast<ParamID>(parameter.address);
        copyToHost(parameter.name, info.title);
        copyToHost(parameter.name, info.shortTitle);
        info.stepCount = 0;
        info.defaultNormalizedValue = parameter.defaultValue;
        info.flags = ParameterInfo::kCanAutomate;
    } else if (index == knobs) {
        info.id = kBypassParameter;
        copyToHost("Bypass", info.title);
        copyToHost("Bypass", info.shortTitle);
        info.stepCount = 1;
        info.flags = ParameterInfo::kCanAutomate | ParameterInfo::kIsBypass;
    } else {
        info.id = kProgramParameter;
        copyToHost("Preset", info.title);
        copyToHost("Preset", info.shortTitle);
        info.stepCount = std::max<int32>(static_cast<int32>(table_.presets().size()) - 1, 0);
        info.flags = ParameterInfo::kIsProgramChange | ParameterInfo::kIsList;
    }
    return kResultOk;
}

std::optional<platform::AUParameterAddress> Plugin::knobAddress(ParamID id) const {
    if (table_.find(id)) return platform::AUParameterAddress{id};
    return std::nullopt;
}

tresult PLUGIN_API Plugin::getParamStringByValue(ParamID id, ParamValue value, String128 string) {
    if (!string) return kInvalidArgument;
    std::string text;
    if (auto address = knobAddress(id)) {
        text = table_.text(*address, static_cast<float>(value));
    } else if (id == kBypassParameter) {
        text = value >= 0.5 ? "On" : "Off";
    } else if (id == kProgramParameter && !table_.presets().empty()) {
        const auto& presets = table_.presets();
        const auto index = std::min(static_cast<std::size_t>(std::lround(std::clamp(value, 0.0, 1.0) *
                                                                         double(presets.size() - 1))),
                                    presets.size() - 1);
        text = adapter::presetLabel(index, presets[index].name);
    } else {
        return kInvalidArgument;
    }
    copyToHost(text, string, 128);
    return kResultOk;
}

tresult PLUGIN_API Plugin::getParamValueByString(ParamID id, TChar* string, ParamValue& value) {
    const std::string text = fromHost(string);
    if (auto address = knobAddress(id)) {
        auto read = table_.valueFromText(*address, text);
        if (!read) return kResultFalse;
        value = *read;
        return kResultOk;
    }
    const std::string wanted = lowercase(text);
    if (id == kBypassParameter) {
        if (wanted == "on" || wanted == "1") value = 1.0;
        else if (wanted == "off" || wanted == "0") value = 0.0;
        else return kResultFalse;
        return kResultOk;
    }
    if (id == kProgramParameter) {
        const auto& presets = table_.presets();
        for (std::size_t i = 0; i < presets.size(); ++i) {
            if (lowercase(presets[i].name) == wanted || lowercase(adapter::presetLabel(i, presets[i].name)) == wanted) {
                value = presets.size() > 1 ? double(i) / double(presets.size() - 1) : 0.0;
                return kResultOk;
            }
        }
        return kResultFalse;
    }
    return kInvalidArgument;
}

ParamValue PLUGIN_API Plugin::normalizedParamToPlain(ParamID id, ParamValue value) {
    if (id == kProgramParameter && !table_.presets().empty()) return std::round(value * double(table_.presets().size() - 1));
    return value;
}

ParamValue PLUGIN_API Plugin::plainParamToNormalized(ParamID id, ParamValue value) {
    if (id == kProgramParameter && table_.presets().size() > 1)
        return std::clamp(value / double(table_.presets().size() - 1), 0.0, 1.0);
    return value;
}

ParamValue PLUGIN_API Plugin::getParamNormalized(ParamID id) {
    if (auto address = knobAddress(id)) return mirror_ ? std::clamp<double>(mirror_->value(*address), 0.0, 1.0) : 0.0;
    if (id == kBypassParameter) return bypassed_ ? 1.0 : 0.0;
    if (id == kProgramParameter) return plainParamToNormalized(id, double(program_));
    return 0.0;
}

tresult PLUGIN_API Plugin::setParamNormalized(ParamID id, ParamValue value) {
    if (!mirror_) return kNotInitialized;
    value = std::clamp(value, 0.0, 1.0);
    if (auto address = knobAddress(id)) {
        mirror_->setFromHost(*address, static_cast<float>(value));
        controllerChanged();
        return kResultOk;
    }
    if (id == kBypassParameter) {
        bypassed_ = value >= 0.5;
        return kResultOk;
    }
    if (id == kProgramParameter) {
        selectProgram(static_cast<std::size_t>(normalizedParamToPlain(id, value)));
        return kResultOk;
    }
    return kInvalidArgument;
}

void Plugin::selectProgram(std::size_t index) {
    const auto presets = controllerUnit_->factoryPresets();
    if (index >= presets.size()) return;
    program_ = index;
    // The rendering side hears the choice from the host as a program change
    // at its frame; the preset's name comes along with the unit's own choice.
    renderingUnit_->setCurrentPreset(presets[index]);
    forgetRamps_.store(true, std::memory_order_relaxed);
    mirror_->applyFromHost([&](platform::AUAudioUnit& unit) { unit.setCurrentPreset(presets[index]); });
    // The host learns the preset's values as edits of each knob. Asking it
    // to read them all again (restartComponent) is no answer here: hosts
    // hold their own lock while they choose a program, and Ardour waits on
    // itself when asked from inside that call.
    if (!handler_) return;
    for (const auto& parameter : table_.parameters()) {
        const auto id = static_cast<ParamID>(parameter.address);
        handler_->beginEdit(id);
        handler_->performEdit(id, std::clamp<double>(mirror_->value(parameter.address), 0.0, 1.0));
        handler_->endEdit(id);
    }
}

void Plugin::controllerChanged() { controllerChangedAt_ = processCalls_.load(std::memory_order_relaxed); }

void Plugin::tellHostValuesChanged() {
    if (handler_) handler_->restartComponent(kParamValuesChanged);
}

tresult PLUGIN_API Plugin::setComponentHandler(IComponentHandler* handler) {
    if (handler == handler_) return kResultOk;
    if (handler_) handler_->release();
    handler_ = handler;
    if (handler_) handler_->addRef();
    return kResultOk;
}

IPlugView* PLUGIN_API Plugin::createView(FIDString name) {
    if (!name || std::strcmp(name, ViewType::kEditor) != 0 || !units_) return nullptr;
    auto controller = editorController();
    if (!controller) return nullptr;
    return new View(controller, static_cast<IComponent*>(this));
}

std::shared_ptr<platform::AUViewController> Plugin::editorController() const {
    return units_ ? units_->editorController() : nullptr;
}

// MARK: units and programs

tresult PLUGIN_API Plugin::getUnitInfo(int32 index, UnitInfo& info) {
    if (index != 0) return kInvalidArgument;
    info = {};
    info.id = kRootUnitId;
    info.parentUnitId = kNoParentUnitId;
    copyToHost("Orvane", info.name);
    info.programListId = kFactoryProgramList;
    return kResultOk;
}

tresult PLUGIN_API Plugin::getProgramListInfo(int32 index, ProgramListInfo& info) {
    if (index != 0) return kInvalidArgument;
    info = {};
    info.id = kFactoryProgramList;
    copyToHost("Factory Presets", info.name);
    info.programCount = static_cast<int32>(table_.presets().size());
    return kResultOk;
}

tresult PLUGIN_API Plugin::getProgramName(ProgramListID list, int32 index, String128 name) {
    const auto& presets = table_.presets();
    if (list != kFactoryProgramList || index < 0 || static_cast<std::size_t>(index) >= presets.size() || !name)
        return kInvalidArgument;
    copyToHost(adapter::presetLabel(static_cast<std::size_t>(index), presets[static_cast<std::size_t>(index)].name), name, 128);
    return kResultOk;
}

} // namespace orvane::vst3
