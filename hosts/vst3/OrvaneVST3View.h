#pragma once

#include "hosts/adapter/EditorEmbedding.h"

#include <pluginterfaces/gui/iplugview.h>
#include <pluginterfaces/gui/iplugviewcontentscalesupport.h>

#include <atomic>
#include <memory>

namespace orvane::vst3 {

/// The editor as a VST3 host embeds it: the unit's own editor view in an X11
/// child of the host's window, driven from the host's run loop (the X
/// connection's descriptor and a timer for the main queue), resized with the
/// host and drawn at its scale. The knobs are bound to the plug-in's
/// controller unit, so a gesture on one reaches the host as beginEdit,
/// performEdit and endEdit. UI thread only.
class View final : public Steinberg::IPlugView,
                   public Steinberg::IPlugViewContentScaleSupport,
                   public Steinberg::Linux::IEventHandler,
                   public Steinberg::Linux::ITimerHandler {
public:
    /// How often the timer runs the main queue and the editor's own timing.
    static constexpr Steinberg::Linux::TimerInterval kTimerMilliseconds = 16;

    /// `owner` is kept alive for as long as the view lives.
    View(std::shared_ptr<platform::AUViewController> controller, Steinberg::FUnknown* owner);

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** object) override;
    Steinberg::uint32 PLUGIN_API addRef() override;
    Steinberg::uint32 PLUGIN_API release() override;

    // IPlugView
    Steinberg::tresult PLUGIN_API isPlatformTypeSupported(Steinberg::FIDString type) override;
    Steinberg::tresult PLUGIN_API attached(void* parent, Steinberg::FIDString type) override;
    Steinberg::tresult PLUGIN_API removed() override;
    Steinberg::tresult PLUGIN_API onWheel(float) override { return Steinberg::kResultFalse; }
    Steinberg::tresult PLUGIN_API onKeyDown(Steinberg::char16, Steinberg::int16, Steinberg::int16) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::tresult PLUGIN_API onKeyUp(Steinberg::char16, Steinberg::int16, Steinberg::int16) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::tresult PLUGIN_API getSize(Steinberg::ViewRect* size) override;
    Steinberg::tresult PLUGIN_API onSize(Steinberg::ViewRect* newSize) override;
    Steinberg::tresult PLUGIN_API onFocus(Steinberg::TBool) override { return Steinberg::kResultOk; }
    Steinberg::tresult PLUGIN_API setFrame(Steinberg::IPlugFrame* frame) override;
    Steinberg::tresult PLUGIN_API canResize() override { return Steinberg::kResultTrue; }
    Steinberg::tresult PLUGIN_API checkSizeConstraint(Steinberg::ViewRect* rect) override;

    // IPlugViewContentScaleSupport
    Steinberg::tresult PLUGIN_API setContentScaleFactor(ScaleFactor factor) override;

    // Linux::IEventHandler, Linux::ITimerHandler
    void PLUGIN_API onFDIsSet(Steinberg::Linux::FileDescriptor fd) override;
    void PLUGIN_API onTimer() override;

private:
    ~View();
    /// The scale to draw at: the host's, else the display's own.
    double scale() const;
    Steinberg::tresult open();
    void close();

    std::atomic<Steinberg::uint32> references_{1};
    std::shared_ptr<platform::AUViewController> controller_;
    Steinberg::FUnknown* owner_;
    Steinberg::IPlugFrame* frame_ = nullptr;
    Steinberg::Linux::IRunLoop* runLoop_ = nullptr;
    unsigned long parent_ = 0;
    double hostScale_ = 0.0;
    /// The size in pixels the host last gave, 0 before it gave one.
    Steinberg::ViewRect hostSize_{};
    std::unique_ptr<adapter::EmbeddedEditor> editor_;
};

} // namespace orvane::vst3
