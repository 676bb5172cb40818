#pragma once

#include "platform/audiounit/AUParameter.h"
#include "platform/audiounit/AudioTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

/// Hears every value set through a tree: (address, new value).
using AUParameterObserver = std::function<void(AUParameterAddress, AUValue)>;
/// Hears every event of a tree, gestures included: a count and the events.
using AUParameterAutomationObserver = std::function<void(NSInteger numberEvents, const AUParameterAutomationEvent* events)>;
/// Called with the parameter and its new value whenever a value is set.
using AUImplementorValueObserver = std::function<void(AUParameter&, AUValue)>;
/// Called whenever a parameter's value is read; returns the value to report.
using AUImplementorValueProvider = std::function<AUValue(AUParameter&)>;
/// Formats a parameter's value (the pointed one, or the current one when null).
using AUImplementorStringFromValueCallback =
    std::function<std::string(AUParameter&, const AUValue*)>;

/// A unit's parameters as the host, the editor and the unit itself see them:
/// a flat, ordered list of parameters plus the callbacks that connect them to
/// the unit's own storage. The tree holds its parameters; they refer back to
/// it weakly.
///
/// Threads: values are set and read from any thread at once; observers may
/// be added and removed while other threads set values. The tree is never
/// used on the render thread. The three implementor callbacks are installed
/// before the tree is shared and not changed while it is in use; they run on
/// the thread that sets or reads a value and must be safe there.
class AUParameterTree : public std::enable_shared_from_this<AUParameterTree> {
    struct Private {};

public:
    /// A parameter from its ten attributes, belonging to no tree yet, with
    /// stored value 0.
    static std::shared_ptr<AUParameter> createParameter(
        std::string identifier, std::string name, AUParameterAddress address, AUValue min,
        AUValue max, AudioUnitParameterUnit unit, std::optional<std::string> unitName,
        AudioUnitParameterOptions flags, std::vector<std::string> valueStrings,
        std::vector<AUParameterAddress> dependentParameters);

    /// A tree whose children are the given parameters, in that order. Null
    /// entries are dropped. Each parameter now belongs to this tree.
    static std::shared_ptr<AUParameterTree> createTree(
        std::vector<std::shared_ptr<AUParameter>> children);

    explicit AUParameterTree(Private) {}
    ~AUParameterTree();
    AUParameterTree(const AUParameterTree&) = delete;
    AUParameterTree& operator=(const AUParameterTree&) = delete;

    /// Every parameter, in child order.
    const std::vector<std::shared_ptr<AUParameter>>& allParameters() const { return parameters_; }
    /// The first parameter with this address, or null.
    std::shared_ptr<AUParameter> parameterWithAddress(AUParameterAddress address) const;

    /// Registers an observer of every value set through the tree; the token
    /// removes it again. Called on the setting thread, outside any lock.
    AUParameterObserverToken tokenByAddingParameterObserver(AUParameterObserver observer);
    /// Registers an observer of every event: values, and the touch and
    /// release that bracket a gesture. Removed like any observer.
    AUParameterObserverToken tokenByAddingParameterAutomationObserver(AUParameterAutomationObserver observer);
    /// Removes an observer; unknown or null tokens are ignored. A notification
    /// already under way on another thread may still reach it once, so what
    /// it captures must stay valid (capture weakly).
    void removeParameterObserverWithToken(AUParameterObserverToken token);
    /// How many observers are registered on the trees alive in this process:
    /// whoever adds one and goes away without removing it shows up here.
    static std::size_t registeredObserverCount();

    AUImplementorValueObserver implementorValueObserver;
    AUImplementorValueProvider implementorValueProvider;
    AUImplementorStringFromValueCallback implementorStringFromValueCallback;

private:
    friend class AUParameter;

    struct ObserverEntry {
        std::uint64_t id;
        std::shared_ptr<const AUParameterObserver> observer;
        std::shared_ptr<const AUParameterAutomationObserver> automationObserver;
    };
    using ObserverList = std::vector<ObserverEntry>;

    AUParameterObserverToken addObserver(ObserverEntry entry);
    void notifyObservers(const AUParameterAutomationEvent& event, AUParameterObserverToken originator) const;

    std::vector<std::shared_ptr<AUParameter>> parameters_;
    std::unordered_map<AUParameterAddress, std::shared_ptr<AUParameter>> byAddress_;

    // Copy on write: a notification takes the current list under the lock
    // and calls it after releasing the lock, so an observer may add or
    // remove observers, or set values, without deadlock.
    mutable std::mutex observersMutex_;
    std::shared_ptr<const ObserverList> observers_ = std::make_shared<const ObserverList>();
    std::uint64_t nextObserverId_ = 1;
};

} // namespace platform
