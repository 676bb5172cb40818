#pragma once

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/foundation/Error.h"
#include "platform/ui/AUViewController.h"
#include "platform/ui/X11Window.h"

#include <expected>
#include <functional>
#include <memory>
#include <unordered_map>

namespace orvane::adapter {

/// The parameters as a plug-in format's editor side holds them: a unit that
/// never renders, whose tree the editor's knobs bind to. Values from the host
/// come in through setFromHost and are not sent back; values set on the
/// knobs, and the touch and release around a gesture on one, go out through
/// the callbacks. Main thread.
class ParameterMirror {
public:
    struct Callbacks {
        /// A knob set the parameter at this address to this value.
        std::function<void(platform::AUParameterAddress, float)> edited;
        /// A gesture on the knob of this address begins (true) or ends.
        std::function<void(platform::AUParameterAddress, bool)> gesture;
    };

    ParameterMirror(std::shared_ptr<platform::AUAudioUnit> unit, Callbacks callbacks);
    ~ParameterMirror();
    ParameterMirror(const ParameterMirror&) = delete;
    ParameterMirror& operator=(const ParameterMirror&) = delete;

    /// Sets the parameter as the host has it; the callbacks do not hear it.
    void setFromHost(platform::AUParameterAddress address, float value);
    /// Runs `apply` on the unit (a preset chosen, a state restored by the
    /// host) without the callbacks hearing the values it sets.
    void applyFromHost(const std::function<void(platform::AUAudioUnit&)>& apply);
    /// The parameter's value, 0 for an address the unit does not have.
    float value(platform::AUParameterAddress address) const;
    platform::AUAudioUnit& unit() const { return *unit_; }

private:
    std::shared_ptr<platform::AUAudioUnit> unit_;
    std::shared_ptr<platform::AUParameterTree> tree_;
    struct Listeners {
        Callbacks callbacks;
        bool muted = false;
        /// What the host holds as far as we know: a value equal to it is
        /// never sent back, so a knob that follows the host echoes nothing.
        std::unordered_map<platform::AUParameterAddress, float> known;
    };
    std::shared_ptr<Listeners> listeners_;
    platform::AUParameterObserverToken token_ = nullptr;
};

/// The editor's view shown inside a host's window: an X11 child window of
/// the host's `parent`, at the host's scale, sized in pixels as hosts size
/// their editors. The host's event loop calls step(), on its own schedule or
/// when the connection's descriptor is readable. Main thread.
class EmbeddedEditor {
public:
    /// The editor's size when the controller asks for none, in points.
    static constexpr platform::NSSize kDefaultSize{420.0, 280.0};

    /// Opens the view of `controller` in a child window of `parent`; `scale`
    /// 0 takes the display's own. Shown at once.
    static std::expected<std::unique_ptr<EmbeddedEditor>, platform::Error> open(
        std::shared_ptr<platform::AUViewController> controller, unsigned long parent, double scale);
    /// Closes the window (a drag it cancels still ends its gesture), then
    /// runs what the editor left on the main queue.
    ~EmbeddedEditor();
    EmbeddedEditor(const EmbeddedEditor&) = delete;
    EmbeddedEditor& operator=(const EmbeddedEditor&) = delete;

    /// The size the controller asks for, in points.
    static platform::NSSize preferredSize(const platform::AUViewController& controller);
    /// The scale to draw at: the host's when it gave one (above 0), else the
    /// display's own.
    static double scaleOr(double hostScale);
    /// The preferred size at `scale`, in pixels.
    static platform::NSSize preferredPixelSize(const platform::AUViewController& controller, double scale);
    /// The smallest the editor is made, in pixels at `scale`: half the size
    /// it opens at.
    static platform::NSSize smallestPixelSize(const platform::AUViewController& controller, double scale);

    void step() { window_->step(); }
    int connectionNumber() const { return window_->connectionNumber(); }
    unsigned long windowID() const { return window_->windowID(); }
    double scale() const { return window_->backingScaleFactor(); }
    platform::NSSize pixelSize() const { return window_->pixelSize(); }
    /// Resizes the window to `pixels` (a host's resize).
    void setPixelSize(platform::NSSize pixels);

private:
    EmbeddedEditor(std::shared_ptr<platform::AUViewController> controller, std::unique_ptr<platform::X11Window> window)
        : controller_(std::move(controller)), window_(std::move(window)) {}
    std::shared_ptr<platform::AUViewController> controller_;
    std::unique_ptr<platform::X11Window> window_;
};

} // namespace orvane::adapter
