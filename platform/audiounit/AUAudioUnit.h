#pragma once

#include "platform/audiounit/AUAudioUnitBus.h"
#include "platform/audiounit/AUAudioUnitPreset.h"
#include "platform/audiounit/AUParameterTree.h"
#include "platform/audiounit/AudioTypes.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PropertyList.h"

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// Which half of a property change a key-value observer is told about.
enum class KeyValueChange { willChange, didChange };

/// Hears the will-change and did-change notifications of one property key.
using KeyValueObserver = std::function<void(std::string_view key, KeyValueChange change)>;

/// The base of every plug-in object a host talks to. Every public virtual has
/// the platform's default behaviour; a plug-in overrides what it provides.
///
/// Construction: a subclass has a static create() that makes the object in a
/// std::shared_ptr and then calls initWithComponentDescription(), which may
/// fail; no unit results on failure.
///
/// Threads: the host calls allocateRenderResources, deallocateRenderResources
/// and reset while it is not rendering, never concurrently with a render
/// call; the other accessors may be called from any non-real-time thread.
/// Only the block returned by internalRenderBlock runs on the render thread.
class AUAudioUnit : public std::enable_shared_from_this<AUAudioUnit> {
public:
    virtual ~AUAudioUnit();
    AUAudioUnit(const AUAudioUnit&) = delete;
    AUAudioUnit& operator=(const AUAudioUnit&) = delete;

    /// The description the unit was created with (all zero before that).
    const AudioComponentDescription& componentDescription() const { return description_; }

    /// Default: an empty array owned by this unit.
    virtual std::shared_ptr<AUAudioUnitBusArray> inputBusses();
    /// Default: an empty array owned by this unit.
    virtual std::shared_ptr<AUAudioUnitBusArray> outputBusses();

    /// Default: the tree last set, null at first.
    virtual std::shared_ptr<AUParameterTree> parameterTree();
    /// Default: stores the tree, announcing the key "parameterTree".
    virtual void setParameterTree(std::shared_ptr<AUParameterTree> tree);

    /// The block the host calls once per render cycle. Default: a pass-through
    /// that pulls input bus 0 into the output buffers, or returns
    /// kAudioUnitErr_NoConnection when there is no pull block.
    virtual AUInternalRenderBlock internalRenderBlock();

    /// Prepares for rendering. Base: fails with
    /// kAudioUnitErr_InvalidPropertyValue when maximumFramesToRender is 0 or
    /// a bus has no format, else marks the resources allocated (which locks
    /// the bus formats). A subclass calls it before sizing its own state.
    virtual std::expected<void, Error> allocateRenderResources();
    /// The error-slot form of allocateRenderResources: false on failure, with
    /// the error stored in *outErrorOrNull when a slot is given.
    bool allocateRenderResourcesAndReturnError(Error* outErrorOrNull);
    /// Base: marks the resources deallocated.
    virtual void deallocateRenderResources();
    bool renderResourcesAllocated() const;
    /// Clears signal state between renders. Base: nothing.
    virtual void reset();

    /// Default: no factory presets.
    virtual std::vector<std::shared_ptr<AUAudioUnitPreset>> factoryPresets();
    /// Default: the preset last set (the same object), null at first.
    virtual std::shared_ptr<AUAudioUnitPreset> currentPreset();
    /// Default: stores the given object, null included, announcing "currentPreset".
    virtual void setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset);

    /// Default: "version" 0, "type", "subtype" and "manufacturer" from the
    /// component description, "name" from the current preset ("Untitled"
    /// without one) and, with a tree, "parameters": identifier -> value.
    virtual std::optional<PropertyList::Dictionary> fullState();
    /// Default: sets each tree parameter named in "parameters" through the
    /// tree; anything else, and a missing state, changes nothing.
    virtual void setFullState(std::optional<PropertyList::Dictionary> state);
    /// Default: fullState().
    virtual std::optional<PropertyList::Dictionary> fullStateForDocument();
    /// Default: setFullState(state).
    virtual void setFullStateForDocument(std::optional<PropertyList::Dictionary> state);

    /// Supported (input, output) channel-count pairs, flattened; -1 means any.
    /// Default: empty, meaning any configuration.
    virtual std::vector<int> channelCapabilities();
    /// Seconds of delay the unit adds. Default 0.
    virtual double latency();
    /// Seconds the output rings on after the input stops. Default 0.
    virtual double tailTime();

    /// Default: a flag the unit keeps; the setter announces "shouldBypassEffect".
    virtual bool shouldBypassEffect();
    virtual void setShouldBypassEffect(bool bypass);

    /// The most frames the host passes in one render call. Default 512.
    AUAudioFrameCount maximumFramesToRender() const;
    /// Refused with kAudioUnitErr_Initialized while render resources are
    /// allocated; announces "maximumFramesToRender".
    std::expected<void, Error> setMaximumFramesToRender(AUAudioFrameCount frames);

    /// Registers an observer of one property key; returns its id (never 0).
    std::uint64_t addObserverForKey(std::string key, KeyValueObserver observer);
    /// Removes an observer; unknown ids are ignored. A notification already
    /// under way on another thread may still reach it once.
    void removeObserver(std::uint64_t id);
    /// How many key-value observers are registered on the units alive in this
    /// process: whoever adds one and goes away without removing it shows up here.
    static std::size_t registeredObserverCount();

protected:
    AUAudioUnit();

    /// Base construction: records the description (the options change
    /// nothing in this layer). Fails with
    /// kAudioUnitErr_InvalidPropertyValue when the component type is 0.
    /// Called once by the subclass's create(), before the unit is shared.
    std::expected<void, Error> initWithComponentDescription(
        const AudioComponentDescription& description,
        AudioComponentInstantiationOptions options = {});

    /// Tell the observers of key, on the calling thread, outside any lock.
    void willChangeValueForKey(std::string_view key);
    void didChangeValueForKey(std::string_view key);

private:
    friend class AUAudioUnitBusArray;

    struct KeyObserverEntry {
        std::uint64_t id;
        std::string key;
        std::shared_ptr<const KeyValueObserver> observer;
    };
    using KeyObserverList = std::vector<KeyObserverEntry>;

    void notifyKey(std::string_view key, KeyValueChange change);

    std::shared_ptr<detail::AudioUnitOwnerLink> ownerLink_;
    AudioComponentDescription description_{};
    std::shared_ptr<AUAudioUnitBusArray> emptyInputBusses_;
    std::shared_ptr<AUAudioUnitBusArray> emptyOutputBusses_;

    mutable std::mutex stateMutex_;
    std::shared_ptr<AUParameterTree> parameterTree_;
    std::shared_ptr<AUAudioUnitPreset> currentPreset_;
    std::atomic<AUAudioFrameCount> maximumFramesToRender_{512};
    std::atomic<bool> shouldBypassEffect_{false};

    // Copy on write, as in AUParameterTree: delivery runs outside the lock.
    std::mutex observersMutex_;
    std::shared_ptr<const KeyObserverList> keyObservers_ =
        std::make_shared<const KeyObserverList>();
    std::uint64_t nextObserverId_ = 1;
};

} // namespace platform
