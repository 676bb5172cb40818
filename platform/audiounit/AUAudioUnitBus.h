#pragma once

#include "platform/audiounit/AVAudioFormat.h"
#include "platform/audiounit/AudioTypes.h"
#include "platform/foundation/Error.h"

#include <atomic>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class AUAudioUnit;

namespace detail {
/// What buses know of the unit that owns them. Shared by the unit and its
/// buses, so a bus that outlives its unit sees a null owner instead of a
/// dangling one.
struct AudioUnitOwnerLink {
    std::atomic<AUAudioUnit*> unit{nullptr};
    std::atomic<bool> renderResourcesAllocated{false};
};
} // namespace detail

/// Whether a bus array carries a unit's inputs or its outputs.
enum class AUAudioUnitBusType : NSInteger { input = 1, output = 2 };

/// One input or output connection point of a unit, carrying the format the
/// host and the unit agreed on. The format may be read from any thread and
/// changed by the host while the owning unit's render resources are not
/// allocated.
class AUAudioUnitBus {
    struct Private {};

public:
    /// The largest channel count a bus accepts.
    static constexpr AUAudioChannelCount kMaximumChannelCount = 8;

    /// A bus with the given format. Fails for a null format
    /// (kAudioUnitErr_InvalidPropertyValue) and for one a bus cannot carry
    /// (kAudioUnitErr_FormatNotSupported): not 32-bit float, or more than
    /// kMaximumChannelCount channels.
    static std::expected<std::shared_ptr<AUAudioUnitBus>, Error> create(
        std::shared_ptr<const AVAudioFormat> format);

    explicit AUAudioUnitBus(Private, std::shared_ptr<const AVAudioFormat> format);
    AUAudioUnitBus(const AUAudioUnitBus&) = delete;
    AUAudioUnitBus& operator=(const AUAudioUnitBus&) = delete;

    /// The format in force: the very object last accepted.
    std::shared_ptr<const AVAudioFormat> format() const;

    /// Replaces the format. Refused with kAudioUnitErr_Initialized while the
    /// owning unit has its render resources allocated, and for the formats
    /// create() refuses; the old format stays on failure.
    std::expected<void, Error> setFormat(std::shared_ptr<const AVAudioFormat> format);

    /// The unit whose bus array holds this bus; null before the bus joins an
    /// array and after that unit is destroyed.
    AUAudioUnit* ownerAudioUnit() const;
    /// Input or output, as set by the array holding the bus (output until then).
    AUAudioUnitBusType busType() const;
    /// Position in the array holding the bus (0 until then).
    NSInteger index() const;

private:
    friend class AUAudioUnitBusArray;
    static std::expected<void, Error> checkSupported(const AVAudioFormat* format);
    void attach(std::shared_ptr<detail::AudioUnitOwnerLink> link, AUAudioUnitBusType type,
                NSInteger index);

    mutable std::mutex mutex_;
    std::shared_ptr<const AVAudioFormat> format_;
    std::shared_ptr<detail::AudioUnitOwnerLink> owner_;
    AUAudioUnitBusType busType_ = AUAudioUnitBusType::output;
    NSInteger index_ = 0;
};

/// The fixed list of a unit's input or output buses. Creating an array makes
/// its owner the owner of every bus in it, so that the buses follow the
/// owner's render-resource state.
class AUAudioUnitBusArray {
public:
    AUAudioUnitBusArray(AUAudioUnit* owner, AUAudioUnitBusType busType,
                        std::vector<std::shared_ptr<AUAudioUnitBus>> buses = {});
    AUAudioUnitBusArray(const AUAudioUnitBusArray&) = delete;
    AUAudioUnitBusArray& operator=(const AUAudioUnitBusArray&) = delete;

    std::size_t count() const { return buses_.size(); }
    /// Bus i; i must be less than count().
    const std::shared_ptr<AUAudioUnitBus>& operator[](std::size_t i) const { return buses_[i]; }
    /// Bus i, or null when i is out of range.
    std::shared_ptr<AUAudioUnitBus> at(std::size_t i) const;
    AUAudioUnitBusType busType() const { return busType_; }
    /// The owning unit; null once it has been destroyed.
    AUAudioUnit* ownerAudioUnit() const;

    auto begin() const { return buses_.begin(); }
    auto end() const { return buses_.end(); }

private:
    std::shared_ptr<detail::AudioUnitOwnerLink> owner_;
    AUAudioUnitBusType busType_;
    std::vector<std::shared_ptr<AUAudioUnitBus>> buses_;
};

} // namespace platform
