#include "editor/OrvaneAUViewControllerMac.h"

#include "platform/foundation/MainQueue.h"

namespace orvane {

OrvaneAUViewControllerMac::~OrvaneAUViewControllerMac() = default;

std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error>
OrvaneAUViewControllerMac::createAudioUnit(const platform::AudioComponentDescription& description) {
    auto created = OrvaneAudioUnit::create(description, {});
    if (!created) return std::unexpected(std::move(created.error()));

    std::shared_ptr<OrvaneAudioUnit> unit = std::move(*created);
    auto released = unit;
    {
        const std::lock_guard lock(audioUnitMutex_);
        _audioUnit.swap(released);
    }
    // The unit held before goes here, outside the lock.
    released.reset();
    // The host may ask for the view before or after the unit: whichever comes
    // second connects the two, on the main thread.
    platform::MainQueue::shared().enqueue([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) self->connectViewToAudioUnit();
    });
    return unit;
}

std::shared_ptr<OrvaneAudioUnit> OrvaneAUViewControllerMac::audioUnit() const {
    const std::lock_guard lock(audioUnitMutex_);
    return _audioUnit;
}

void OrvaneAUViewControllerMac::connectViewToAudioUnit() {
    // No view can be loaded yet; binding the knobs to the parameter tree
    // arrives with the view.
    if (!isViewLoaded() || !audioUnit()) return;
}

} // namespace orvane
