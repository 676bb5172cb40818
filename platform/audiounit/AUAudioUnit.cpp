#include "platform/audiounit/AUAudioUnit.h"

#include <algorithm>
#include <atomic>
#include <string>

namespace platform {

namespace {
std::atomic<std::size_t> registeredObservers{0};
} // namespace

std::size_t AUAudioUnit::registeredObserverCount() { return registeredObservers.load(); }

AUAudioUnit::AUAudioUnit() : ownerLink_(std::make_shared<detail::AudioUnitOwnerLink>()) {
    ownerLink_->unit.store(this, std::memory_order_relaxed);
    emptyInputBusses_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusType::input);
    emptyOutputBusses_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusType::output);
}

AUAudioUnit::~AUAudioUnit() {
    // Buses and arrays the host still holds must stop pointing here.
    ownerLink_->unit.store(nullptr, std::memory_order_relaxed);
    ownerLink_->renderResourcesAllocated.store(false, std::memory_order_relaxed);
    registeredObservers -= keyObservers_->size();
}

std::expected<void, Error> AUAudioUnit::initWithComponentDescription(
    const AudioComponentDescription& description, AudioComponentInstantiationOptions) {
    if (description.componentType == 0)
        return std::unexpected(audioUnitError(
            kAudioUnitErr_InvalidPropertyValue,
            "cannot create an audio unit: its component description has no component type"));
    description_ = description;
    return {};
}

std::shared_ptr<AUAudioUnitBusArray> AUAudioUnit::inputBusses() { return emptyInputBusses_; }

std::shared_ptr<AUAudioUnitBusArray> AUAudioUnit::outputBusses() { return emptyOutputBusses_; }

std::shared_ptr<AUParameterTree> AUAudioUnit::parameterTree() {
    std::lock_guard lock(stateMutex_);
    return parameterTree_;
}

void AUAudioUnit::setParameterTree(std::shared_ptr<AUParameterTree> tree) {
    willChangeValueForKey("parameterTree");
    {
        std::lock_guard lock(stateMutex_);
        parameterTree_ = std::move(tree);
    }
    didChangeValueForKey("parameterTree");
}

AUInternalRenderBlock AUAudioUnit::internalRenderBlock() {
    return [](AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp,
              AUAudioFrameCount frameCount, NSInteger, AudioBufferList* outputData,
              const AURenderEvent*, const AURenderPullInputBlock* pullInputBlock) -> OSStatus {
        if (!pullInputBlock || !*pullInputBlock) return kAudioUnitErr_NoConnection;
        AudioUnitRenderActionFlags pullFlags = 0;
        return (*pullInputBlock)(&pullFlags, timestamp, frameCount, 0, outputData);
    };
}

std::expected<void, Error> AUAudioUnit::allocateRenderResources() {
    if (maximumFramesToRender() == 0)
        return std::unexpected(audioUnitError(
            kAudioUnitErr_InvalidPropertyValue,
            "cannot allocate render resources: maximumFramesToRender is 0"));
    for (auto [busses, kind] : {std::pair{inputBusses(), "input"}, {outputBusses(), "output"}}) {
        if (!busses) continue;
        for (std::size_t i = 0; i < busses->count(); ++i)
            if (!(*busses)[i] || !(*busses)[i]->format())
                return std::unexpected(audioUnitError(
                    kAudioUnitErr_InvalidPropertyValue,
                    std::string("cannot allocate render resources: ") + kind + " bus " +
                        std::to_string(i) + " has no format"));
    }
    ownerLink_->renderResourcesAllocated.store(true, std::memory_order_relaxed);
    return {};
}

bool AUAudioUnit::allocateRenderResourcesAndReturnError(Error* outErrorOrNull) {
    auto result = allocateRenderResources();
    if (result) return true;
    if (outErrorOrNull) *outErrorOrNull = std::move(result.error());
    return false;
}

void AUAudioUnit::deallocateRenderResources() {
    ownerLink_->renderResourcesAllocated.store(false, std::memory_order_relaxed);
}

bool AUAudioUnit::renderResourcesAllocated() const {
    return ownerLink_->renderResourcesAllocated.load(std::memory_order_relaxed);
}

void AUAudioUnit::reset() {}

std::vector<std::shared_ptr<AUAudioUnitPreset>> AUAudioUnit::factoryPresets() { return {}; }

std::shared_ptr<AUAudioUnitPreset> AUAudioUnit::currentPreset() {
    std::lock_guard lock(stateMutex_);
    return currentPreset_;
}

void AUAudioUnit::setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset) {
    willChangeValueForKey("currentPreset");
    {
        std::lock_guard lock(stateMutex_);
        currentPreset_ = std::move(preset);
    }
    didChangeValueForKey("currentPreset");
}

std::optional<PropertyList::Dictionary> AUAudioUnit::fullState() {
    PropertyList::Dictionary state;
    state["version"] = PropertyList(std::int64_t{0});
    state["type"] = PropertyList(std::int64_t{description_.componentType});
    state["subtype"] = PropertyList(std::int64_t{description_.componentSubType});
    state["manufacturer"] = PropertyList(std::int64_t{description_.componentManufacturer});
    auto preset = currentPreset();
    state["name"] = PropertyList(preset ? preset->name : std::string("Untitled"));
    if (auto tree = parameterTree()) {
        PropertyList::Dictionary values;
        for (const auto& parameter : tree->allParameters())
            values[parameter->identifier()] = PropertyList(static_cast<double>(parameter->value()));
        state["parameters"] = PropertyList(std::move(values));
    }
    return state;
}

void AUAudioUnit::setFullState(std::optional<PropertyList::Dictionary> state) {
    auto tree = parameterTree();
    if (!state || !tree) return;
    auto found = state->find("parameters");
    if (found == state->end()) return;
    for (const auto& parameter : tree->allParameters()) {
        const PropertyList* entry = found->second.find(parameter->identifier());
        if (auto number = entry ? entry->number() : std::nullopt)
            parameter->setValue(static_cast<AUValue>(*number));
    }
}

std::optional<PropertyList::Dictionary> AUAudioUnit::fullStateForDocument() { return fullState(); }

void AUAudioUnit::setFullStateForDocument(std::optional<PropertyList::Dictionary> state) {
    setFullState(std::move(state));
}

std::vector<int> AUAudioUnit::channelCapabilities() { return {}; }

double AUAudioUnit::latency() { return 0.0; }

double AUAudioUnit::tailTime() { return 0.0; }

bool AUAudioUnit::shouldBypassEffect() {
    return shouldBypassEffect_.load(std::memory_order_relaxed);
}

void AUAudioUnit::setShouldBypassEffect(bool bypass) {
    willChangeValueForKey("shouldBypassEffect");
    shouldBypassEffect_.store(bypass, std::memory_order_relaxed);
    didChangeValueForKey("shouldBypassEffect");
}

AUAudioFrameCount AUAudioUnit::maximumFramesToRender() const {
    return maximumFramesToRender_.load(std::memory_order_relaxed);
}

std::expected<void, Error> AUAudioUnit::setMaximumFramesToRender(AUAudioFrameCount frames) {
    if (renderResourcesAllocated())
        return std::unexpected(audioUnitError(
            kAudioUnitErr_Initialized,
            "maximumFramesToRender cannot change while render resources are allocated"));
    willChangeValueForKey("maximumFramesToRender");
    maximumFramesToRender_.store(frames, std::memory_order_relaxed);
    didChangeValueForKey("maximumFramesToRender");
    return {};
}

std::uint64_t AUAudioUnit::addObserverForKey(std::string key, KeyValueObserver observer) {
    auto shared = std::make_shared<const KeyValueObserver>(std::move(observer));
    std::lock_guard lock(observersMutex_);
    const std::uint64_t id = nextObserverId_++;
    auto list = std::make_shared<KeyObserverList>(*keyObservers_);
    list->push_back({id, std::move(key), std::move(shared)});
    keyObservers_ = std::move(list);
    ++registeredObservers;
    return id;
}

void AUAudioUnit::removeObserver(std::uint64_t id) {
    std::lock_guard lock(observersMutex_);
    auto found = std::ranges::find(*keyObservers_, id, &KeyObserverEntry::id);
    if (found == keyObservers_->end()) return;
    auto list = std::make_shared<KeyObserverList>(*keyObservers_);
    list->erase(list->begin() + (found - keyObservers_->begin()));
    keyObservers_ = std::move(list);
    --registeredObservers;
}

void AUAudioUnit::willChangeValueForKey(std::string_view key) {
    notifyKey(key, KeyValueChange::willChange);
}

void AUAudioUnit::didChangeValueForKey(std::string_view key) {
    notifyKey(key, KeyValueChange::didChange);
}

void AUAudioUnit::notifyKey(std::string_view key, KeyValueChange change) {
    std::shared_ptr<const KeyObserverList> list;
    {
        std::lock_guard lock(observersMutex_);
        list = keyObservers_;
    }
    for (const auto& entry : *list)
        if (entry.key == key && *entry.observer) (*entry.observer)(key, change);
}

} // namespace platform
