#pragma once

#include "platform/audiounit/AUAudioUnitFactory.h"
#include "platform/ui/AUViewController.h"
#include "plugin/OrvaneAudioUnit.h"

#include <expected>
#include <memory>
#include <mutex>

namespace orvane {

/// The plug-in's principal object, the one the host creates when it loads the
/// bundle. It makes the audio unit for the host and keeps it, and it is the
/// editor whose view the host embeds (the view itself is not built yet).
///
/// Held by std::shared_ptr: tasks it hands to the main queue refer to it
/// weakly and do nothing once it is gone.
///
/// Threads: createAudioUnit on any host thread; everything else on the main
/// thread.
class OrvaneAUViewControllerMac : public platform::AUViewController,
                                  public platform::AUAudioUnitFactory,
                                  public std::enable_shared_from_this<OrvaneAUViewControllerMac> {
public:
    OrvaneAUViewControllerMac() = default;
    ~OrvaneAUViewControllerMac() override;

    /// Makes an OrvaneAudioUnit for the description, passed on unchanged. On
    /// success the unit replaces the one held before and a connection of the
    /// view to it is queued for the main thread; on failure the error is
    /// returned and nothing changes.
    std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> createAudioUnit(
        const platform::AudioComponentDescription& description) override;

    /// Main thread. Binds the view to the audio unit's parameter tree; does
    /// nothing unless the view is loaded and an audio unit is held.
    virtual void connectViewToAudioUnit();

    /// The unit made by the last successful factory call, null before one.
    /// Any thread: the factory stores it on a host thread while the main
    /// thread reads it.
    std::shared_ptr<OrvaneAudioUnit> audioUnit() const;

    /// The token of the last parameter-observer registration; stored only.
    void* paramObserverToken = nullptr;
    /// Side length of every knob, in points.
    double knobSize = 90.0;

private:
    mutable std::mutex audioUnitMutex_;
    std::shared_ptr<OrvaneAudioUnit> _audioUnit;
};

} // namespace orvane
