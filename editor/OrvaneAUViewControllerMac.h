#pragma once

#include "editor/AURotaryControl.h"
#include "platform/audiounit/AUAudioUnitFactory.h"
#include "platform/audiounit/AUParameterText.h"
#include "platform/ui/AUViewController.h"
#include "plugin/OrvaneAudioUnit.h"

#include <array>
#include <expected>
#include <memory>
#include <mutex>

namespace orvane {

/// The plug-in's principal object, the one the host creates when it loads the
/// bundle. It makes the audio unit for the host and keeps it, and it is the
/// editor whose view the host embeds: a purple panel with six knobs in a grid
/// that scales with the panel (three by two, two by three when tall), each
/// bound both ways to one parameter of the unit's tree. Tab and Shift+Tab
/// move the keyboard focus through the knobs in reading order, Escape clears
/// it, and V shows every knob's readout at once, or their names again.
///
/// Held by std::shared_ptr: the knobs' callbacks, the parameter observer and
/// the tasks it hands to the main queue refer to it weakly and do nothing
/// once it is gone.
///
/// Threads: createAudioUnit on any host thread; everything else on the main
/// thread.
class OrvaneAUViewControllerMac : public platform::AUViewController,
                                  public platform::AUAudioUnitFactory,
                                  public platform::AUParameterTextProvider,
                                  public std::enable_shared_from_this<OrvaneAUViewControllerMac> {
public:
    /// The editor's size before the host gives it another, in points.
    static constexpr platform::NSSize kPreferredSize{420.0, 280.0};
    /// The panel's colour, opaque.
    static constexpr platform::NSColor kPanelColor{0.4, 0.2, 0.6, 1.0};

    OrvaneAUViewControllerMac() = default;
    ~OrvaneAUViewControllerMac() override;

    /// Makes an OrvaneAudioUnit for the description, passed on unchanged. On
    /// success the unit replaces the one held before and a connection of the
    /// view to it is queued for the main thread; on failure the error is
    /// returned and nothing changes.
    std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> createAudioUnit(
        const platform::AudioComponentDescription& description) override;

    /// The knob's readout for a value, as hosts show it in their own
    /// parameter lists (without the filter corner the larger plaques add).
    std::string displayTextForValue(platform::AUParameterAddress address, platform::AUValue value) const override;
    /// A value typed into a host's field, read as the knob's text field reads it.
    std::optional<platform::AUValue> valueForDisplayText(platform::AUParameterAddress address,
                                                         std::string_view text) const override;

    void loadView() override;
    void viewDidLoad() override;
    void viewDidLayout() override;

    /// Builds the six knobs and adds them to the view.
    void createKnobs();
    /// The knobs in grid order: granularity, incoherence, impatience,
    /// gravitas, premix, nausea.
    std::array<std::shared_ptr<AURotaryControl>, 6> knobsInLayoutOrder() const;
    /// Sizes and places the knobs for the view's bounds.
    void layoutKnobs();
    /// Binds the view to the audio unit's parameter tree: the knobs take the
    /// parameters' values and an observer moves them on every change. Does
    /// nothing unless the view is loaded and an audio unit is held.
    virtual void connectViewToAudioUnit();
    /// Moves the knob bound to `address` (0 to 5) to `value`; other addresses
    /// are ignored.
    void applyParameterValue(platform::AUParameterAddress address, platform::AUValue value);

    /// Whether every knob shows its readout instead of its name; kept for the
    /// editor's life, and given to knobs made later.
    bool showsValues() const { return showsValues_; }
    void setShowsValues(bool shows);
    /// The panel's own keys: Tab, Shift+Tab, Escape and V. False for any
    /// other.
    bool handlePanelKey(const platform::NSKeyEvent& event);

    /// The unit made by the last successful factory call, null before one.
    /// Any thread: the factory stores it on a host thread while the main
    /// thread reads it.
    std::shared_ptr<OrvaneAudioUnit> audioUnit() const;

    /// The token of the last parameter-observer registration; stored only.
    void* paramObserverToken = nullptr;
    std::shared_ptr<AURotaryControl> premixKnob;
    std::shared_ptr<AURotaryControl> granularityKnob;
    std::shared_ptr<AURotaryControl> incoherenceKnob;
    std::shared_ptr<AURotaryControl> impatienceKnob;
    std::shared_ptr<AURotaryControl> nauseaKnob;
    std::shared_ptr<AURotaryControl> gravitasKnob;
    /// Side length of every knob, in points.
    double knobSize = 90.0;

    /// The dial pictures the knobs show, kept per name and size: made once
    /// for a size and reused, so a resize back to a size seen before, and six
    /// knobs sharing one pointer picture, cost no new rendering.
    class DialPictures;

private:
    std::shared_ptr<AURotaryControl>* knobForAddress(platform::AUParameterAddress address);
    /// Tells the host that a gesture on the knob bound to `tag` begins or
    /// ends.
    void announceGesture(std::int64_t tag, platform::AUParameterAutomationEventType eventType);

    std::shared_ptr<DialPictures> dialPictures_;
    bool showsValues_ = false;

    mutable std::mutex audioUnitMutex_;
    std::shared_ptr<OrvaneAudioUnit> _audioUnit;
};

} // namespace orvane
