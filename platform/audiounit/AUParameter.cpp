#include "platform/audiounit/AUParameter.h"
#include "platform/audiounit/AUParameterText.h"

#include "platform/audiounit/AUParameterTree.h"

#include <charconv>
#include <cmath>

namespace platform {

AUParameter::AUParameter(Private, std::string identifier, std::string displayName,
                         AUParameterAddress address, AUValue minValue, AUValue maxValue,
                         AudioUnitParameterUnit unit, std::optional<std::string> unitName,
                         AudioUnitParameterOptions flags, std::vector<std::string> valueStrings,
                         std::vector<AUParameterAddress> dependentParameters)
    : identifier_(std::move(identifier)), displayName_(std::move(displayName)), address_(address),
      minValue_(minValue), maxValue_(maxValue), unit_(unit), unitName_(std::move(unitName)),
      flags_(flags), valueStrings_(std::move(valueStrings)),
      dependentParameters_(std::move(dependentParameters)) {}

AUValue AUParameter::value() const {
    if (auto tree = tree_.lock(); tree && tree->implementorValueProvider)
        // The provider's signature takes a mutable parameter, as the
        // platform's does; reading through it does not change the parameter.
        return tree->implementorValueProvider(const_cast<AUParameter&>(*this));
    return storedValue();
}

void AUParameter::setValue(AUValue value) { setValue(value, nullptr); }

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator) {
    setValue(value, originator, 0, AUParameterAutomationEventTypeValue);
}

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator, std::uint64_t hostTime,
                           AUParameterAutomationEventType eventType) {
    const bool isValue = eventType == AUParameterAutomationEventTypeValue;
    if (isValue) value_.store(value, std::memory_order_relaxed);
    auto tree = tree_.lock();
    if (!tree) return;
    if (isValue && tree->implementorValueObserver) tree->implementorValueObserver(*this, value);
    tree->notifyObservers({hostTime, address_, value, eventType, 0}, originator);
}

std::string AUParameter::stringFromValue(const AUValue* valueOrNull) const {
    if (auto tree = tree_.lock(); tree && tree->implementorStringFromValueCallback)
        return tree->implementorStringFromValueCallback(const_cast<AUParameter&>(*this),
                                                        valueOrNull);
    const AUValue v = valueOrNull ? *valueOrNull : value();
    if ((flags_ & kAudioUnitParameterFlag_ValuesHaveStrings) != 0) {
        const double index = static_cast<double>(v) - static_cast<double>(minValue_);
        if (index >= 0.0 && index == std::floor(index) &&
            index < static_cast<double>(valueStrings_.size()))
            return valueStrings_[static_cast<std::size_t>(index)];
    }
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc{} ? std::string(text, end) : std::string{};
}

} // namespace platform

namespace platform {

// The provider's type lives here, once, so hosts and plug-ins loaded apart
// agree on it.
AUParameterTextProvider::~AUParameterTextProvider() = default;

} // namespace platform
