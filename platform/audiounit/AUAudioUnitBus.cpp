#include "platform/audiounit/AUAudioUnitBus.h"

#include "platform/audiounit/AUAudioUnit.h"

#include <string>

namespace platform {

AUAudioUnitBus::AUAudioUnitBus(Private, std::shared_ptr<const AVAudioFormat> format)
    : format_(std::move(format)) {}

std::expected<void, Error> AUAudioUnitBus::checkSupported(const AVAudioFormat* format) {
    if (!format) return std::unexpected(audioUnitError(kAudioUnitErr_InvalidPropertyValue,
                                                       "a bus needs a format, got none"));
    if (format->commonFormat() != AVAudioCommonFormat::pcmFormatFloat32)
        return std::unexpected(audioUnitError(kAudioUnitErr_FormatNotSupported,
                                              "a bus carries 32-bit float samples only"));
    if (format->channelCount() > kMaximumChannelCount)
        return std::unexpected(audioUnitError(
            kAudioUnitErr_FormatNotSupported,
            "a bus carries at most " + std::to_string(kMaximumChannelCount) +
                " channels, the format has " + std::to_string(format->channelCount())));
    return {};
}

std::expected<std::shared_ptr<AUAudioUnitBus>, Error> AUAudioUnitBus::create(
    std::shared_ptr<const AVAudioFormat> format) {
    if (auto ok = checkSupported(format.get()); !ok) return std::unexpected(ok.error());
    return std::make_shared<AUAudioUnitBus>(Private{}, std::move(format));
}

std::shared_ptr<const AVAudioFormat> AUAudioUnitBus::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

std::expected<void, Error> AUAudioUnitBus::setFormat(std::shared_ptr<const AVAudioFormat> format) {
    std::lock_guard lock(mutex_);
    if (owner_ && owner_->renderResourcesAllocated.load(std::memory_order_relaxed))
        return std::unexpected(audioUnitError(
            kAudioUnitErr_Initialized,
            "a bus format cannot change while the unit's render resources are allocated"));
    if (auto ok = checkSupported(format.get()); !ok) return std::unexpected(ok.error());
    format_ = std::move(format);
    return {};
}

AUAudioUnit* AUAudioUnitBus::ownerAudioUnit() const {
    std::lock_guard lock(mutex_);
    return owner_ ? owner_->unit.load(std::memory_order_relaxed) : nullptr;
}

AUAudioUnitBusType AUAudioUnitBus::busType() const {
    std::lock_guard lock(mutex_);
    return busType_;
}

NSInteger AUAudioUnitBus::index() const {
    std::lock_guard lock(mutex_);
    return index_;
}

void AUAudioUnitBus::attach(std::shared_ptr<detail::AudioUnitOwnerLink> link,
                            AUAudioUnitBusType type, NSInteger index) {
    std::lock_guard lock(mutex_);
    owner_ = std::move(link);
    busType_ = type;
    index_ = index;
}

AUAudioUnitBusArray::AUAudioUnitBusArray(AUAudioUnit* owner, AUAudioUnitBusType busType,
                                         std::vector<std::shared_ptr<AUAudioUnitBus>> buses)
    : owner_(owner ? owner->ownerLink_ : nullptr), busType_(busType), buses_(std::move(buses)) {
    for (std::size_t i = 0; i < buses_.size(); ++i)
        if (buses_[i]) buses_[i]->attach(owner_, busType_, static_cast<NSInteger>(i));
}

std::shared_ptr<AUAudioUnitBus> AUAudioUnitBusArray::at(std::size_t i) const {
    return i < buses_.size() ? buses_[i] : nullptr;
}

AUAudioUnit* AUAudioUnitBusArray::ownerAudioUnit() const {
    return owner_ ? owner_->unit.load(std::memory_order_relaxed) : nullptr;
}

} // namespace platform
