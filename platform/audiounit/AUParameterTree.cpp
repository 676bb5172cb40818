#include "platform/audiounit/AUParameterTree.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace platform {

namespace {
AUParameterObserverToken tokenFromId(std::uint64_t id) {
    return reinterpret_cast<AUParameterObserverToken>(static_cast<std::uintptr_t>(id));
}
std::uint64_t idFromToken(AUParameterObserverToken token) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(token));
}
std::atomic<std::size_t> registeredObservers{0};
} // namespace

AUParameterTree::~AUParameterTree() { registeredObservers -= observers_->size(); }

std::size_t AUParameterTree::registeredObserverCount() { return registeredObservers.load(); }

std::shared_ptr<AUParameter> AUParameterTree::createParameter(
    std::string identifier, std::string name, AUParameterAddress address, AUValue min, AUValue max,
    AudioUnitParameterUnit unit, std::optional<std::string> unitName,
    AudioUnitParameterOptions flags, std::vector<std::string> valueStrings,
    std::vector<AUParameterAddress> dependentParameters) {
    return std::make_shared<AUParameter>(AUParameter::Private{}, std::move(identifier),
                                         std::move(name), address, min, max, unit,
                                         std::move(unitName), flags, std::move(valueStrings),
                                         std::move(dependentParameters));
}

std::shared_ptr<AUParameterTree> AUParameterTree::createTree(
    std::vector<std::shared_ptr<AUParameter>> children) {
    auto tree = std::make_shared<AUParameterTree>(Private{});
    std::erase(children, nullptr);
    for (const auto& parameter : children) {
        parameter->tree_ = tree;
        tree->byAddress_.try_emplace(parameter->address(), parameter);
    }
    tree->parameters_ = std::move(children);
    return tree;
}

std::shared_ptr<AUParameter> AUParameterTree::parameterWithAddress(
    AUParameterAddress address) const {
    auto it = byAddress_.find(address);
    return it == byAddress_.end() ? nullptr : it->second;
}

AUParameterObserverToken AUParameterTree::tokenByAddingParameterObserver(
    AUParameterObserver observer) {
    return addObserver({0, std::make_shared<const AUParameterObserver>(std::move(observer)), nullptr});
}

AUParameterObserverToken AUParameterTree::tokenByAddingParameterAutomationObserver(
    AUParameterAutomationObserver observer) {
    return addObserver({0, nullptr, std::make_shared<const AUParameterAutomationObserver>(std::move(observer))});
}

AUParameterObserverToken AUParameterTree::addObserver(ObserverEntry entry) {
    std::lock_guard lock(observersMutex_);
    entry.id = nextObserverId_++;
    const std::uint64_t id = entry.id;
    auto list = std::make_shared<ObserverList>(*observers_);
    list->push_back(std::move(entry));
    observers_ = std::move(list);
    ++registeredObservers;
    return tokenFromId(id);
}

void AUParameterTree::removeParameterObserverWithToken(AUParameterObserverToken token) {
    const std::uint64_t id = idFromToken(token);
    std::lock_guard lock(observersMutex_);
    auto found = std::ranges::find(*observers_, id, &ObserverEntry::id);
    if (found == observers_->end()) return;
    auto list = std::make_shared<ObserverList>(*observers_);
    list->erase(list->begin() + (found - observers_->begin()));
    observers_ = std::move(list);
    --registeredObservers;
}

void AUParameterTree::notifyObservers(const AUParameterAutomationEvent& event,
                                      AUParameterObserverToken originator) const {
    std::shared_ptr<const ObserverList> list;
    {
        std::lock_guard lock(observersMutex_);
        list = observers_;
    }
    const std::uint64_t skip = idFromToken(originator);
    const bool isValue = event.eventType == AUParameterAutomationEventTypeValue;
    for (const auto& entry : *list) {
        if (entry.id == skip) continue;
        if (entry.automationObserver && *entry.automationObserver) (*entry.automationObserver)(1, &event);
        else if (isValue && entry.observer && *entry.observer) (*entry.observer)(event.address, event.value);
    }
}

} // namespace platform
