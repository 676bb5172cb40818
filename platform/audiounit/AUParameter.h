#pragma once

#include "platform/audiounit/AudioTypes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class AUParameterTree;

/// Opaque identity of an observer added to a parameter tree; never null for a
/// registered observer. Passing it as the originator of a change keeps that
/// observer from hearing its own change.
using AUParameterObserverToken = void*;

/// What a setValue announces. A value event sets the value; touch and
/// release bracket a gesture (a user's hand on a control), so that a host
/// recording automation knows when a pass begins and ends. Touch and release
/// carry the parameter's value at that moment and change nothing.
enum AUParameterAutomationEventType : std::uint32_t {
    AUParameterAutomationEventTypeValue = 0,
    AUParameterAutomationEventTypeTouch = 1,
    AUParameterAutomationEventTypeRelease = 2,
};

/// One event as an automation observer receives it.
struct AUParameterAutomationEvent {
    std::uint64_t hostTime = 0;
    AUParameterAddress address = 0;
    AUValue value = 0.0f;
    AUParameterAutomationEventType eventType = AUParameterAutomationEventTypeValue;
    std::uint64_t reserved = 0;
};

/// One automatable value of a unit, with its fixed attributes (identifier,
/// name, address, range, unit, flags) and a value that any thread may set or
/// read. Created by AUParameterTree::createParameter; belongs to the tree it
/// is given to (at most one), which it refers to weakly.
class AUParameter {
    struct Private {};

public:
    AUParameter(Private, std::string identifier, std::string displayName,
                AUParameterAddress address, AUValue minValue, AUValue maxValue,
                AudioUnitParameterUnit unit, std::optional<std::string> unitName,
                AudioUnitParameterOptions flags, std::vector<std::string> valueStrings,
                std::vector<AUParameterAddress> dependentParameters);
    AUParameter(const AUParameter&) = delete;
    AUParameter& operator=(const AUParameter&) = delete;

    const std::string& identifier() const { return identifier_; }
    const std::string& displayName() const { return displayName_; }
    AUParameterAddress address() const { return address_; }
    AUValue minValue() const { return minValue_; }
    AUValue maxValue() const { return maxValue_; }
    AudioUnitParameterUnit unit() const { return unit_; }
    const std::optional<std::string>& unitName() const { return unitName_; }
    AudioUnitParameterOptions flags() const { return flags_; }
    const std::vector<std::string>& valueStrings() const { return valueStrings_; }
    const std::vector<AUParameterAddress>& dependentParameters() const {
        return dependentParameters_;
    }

    /// The current value: what the owning tree's implementorValueProvider
    /// returns when the parameter is in a live tree that has one, else
    /// storedValue().
    AUValue value() const;

    /// Stores the value, then, when the parameter is in a live tree, calls the
    /// tree's implementorValueObserver and notifies every observer added to
    /// the tree with (address, value), all on the calling thread. The value is
    /// stored as given: no clamping.
    void setValue(AUValue value);
    /// As setValue(value), but the observer registered under originator is
    /// not notified.
    void setValue(AUValue value, AUParameterObserverToken originator);
    /// A value event as above, or a touch or release: those store nothing
    /// and reach neither the implementorValueObserver nor the plain
    /// observers, only the tree's automation observers (which hear value
    /// events too).
    void setValue(AUValue value, AUParameterObserverToken originator, std::uint64_t hostTime,
                  AUParameterAutomationEventType eventType);

    /// The value last stored by setValue (or the initial 0), never asking the
    /// provider: the fallback for a provider whose source is gone.
    AUValue storedValue() const { return value_.load(std::memory_order_relaxed); }

    /// Display text for *valueOrNull, or for value() when null: the tree's
    /// implementorStringFromValueCallback when installed; otherwise the value
    /// string at index (value - minValue) for a parameter flagged
    /// kAudioUnitParameterFlag_ValuesHaveStrings, else the shortest decimal
    /// text that reads back as the same float.
    std::string stringFromValue(const AUValue* valueOrNull) const;

private:
    friend class AUParameterTree;

    std::string identifier_;
    std::string displayName_;
    AUParameterAddress address_;
    AUValue minValue_;
    AUValue maxValue_;
    AudioUnitParameterUnit unit_;
    std::optional<std::string> unitName_;
    AudioUnitParameterOptions flags_;
    std::vector<std::string> valueStrings_;
    std::vector<AUParameterAddress> dependentParameters_;

    std::atomic<AUValue> value_{0.0f};
    // Written once by AUParameterTree::createTree before the tree is shared.
    std::weak_ptr<AUParameterTree> tree_;
};

} // namespace platform
