#pragma once

#include "hosts/adapter/EditQueue.h"
#include "hosts/adapter/PluginUnits.h"

#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>

namespace orvane::clap {

/// The descriptor hosts list.
const clap_plugin_descriptor_t& descriptor();

/// Orvane as one CLAP plug-in instance. It drives two units of the unit's
/// bundle through the host contract: one renders, the other never does and
/// holds the parameters as the host's main thread sees them, for the
/// editor's knobs to bind to.
///
/// Threads as CLAP has them: process, reset and, while active, flush on the
/// audio thread, where nothing allocates, locks or makes a system call;
/// everything else on the main thread. The editor's edits reach the audio
/// side through a queue and go out to the host with the next process or
/// flush, which the plug-in asks the host for; values the host sends are
/// read back from the rendering unit, which holds what it renders with.
class Plugin {
public:
    /// `companion` is the folder holding the unit's bundle.
    Plugin(const clap_host_t* host, std::filesystem::path companion);
    const clap_plugin_t* clapPlugin() const { return &plugin_; }

private:
    /// The host's destroy deletes it.
    ~Plugin();
    static Plugin& of(const clap_plugin_t* plugin) { return *static_cast<Plugin*>(plugin->plugin_data); }
    template <class T> const T* hostExtension(const char* id) const {
        return host_->get_extension ? static_cast<const T*>(host_->get_extension(host_, id)) : nullptr;
    }

    bool init();
    bool activate(double sampleRate, std::uint32_t maximumFrames);
    void deactivate();
    clap_process_status process(const clap_process_t& process);
    const void* extension(const char* id) const;

    // params
    bool parameterInfo(std::uint32_t index, clap_param_info_t& info) const;
    bool parameterValue(clap_id id, double& value) const;
    bool valueToText(clap_id id, double value, char* display, std::uint32_t size) const;
    bool textToValue(clap_id id, const char* display, double& value) const;
    void flush(const clap_input_events_t* in, const clap_output_events_t* out);
    /// The host's values, at their frames while rendering, else at once.
    void applyHostEvents(const clap_input_events_t* in);
    /// The editor's edits out to the host, and into the unit that renders.
    void sendEdits(const clap_output_events_t* out);
    /// A knob's value on the rendering unit, from the main thread.
    void setRenderingValue(platform::AUParameterAddress address, float value);

    // state
    bool save(const clap_ostream_t* stream) const;
    bool load(const clap_istream_t* stream);

    // gui (OrvaneCLAPEditor.cpp)
    bool guiCreate(const char* api, bool floating);
    void guiDestroy();
    bool guiSetScale(double scale);
    bool guiGetSize(std::uint32_t& width, std::uint32_t& height) const;
    bool guiAdjustSize(std::uint32_t& width, std::uint32_t& height) const;
    bool guiSetSize(std::uint32_t width, std::uint32_t height);
    bool guiSetParent(const clap_window_t* window);
    bool openEditor();
    void closeEditor();
    void onTimer(clap_id timer);
    /// Knobs follow what the host set on the rendering side, unless the
    /// editor's own edit of one is still on its way.
    void followHost();

    static constexpr std::size_t kKnobs = 6;

    clap_plugin_t plugin_;
    const clap_host_t* host_;
    std::filesystem::path companion_;
    std::unique_ptr<adapter::PluginUnits> units_;
    adapter::EditQueue edits_;
    std::atomic<bool> bypassed_{false};

    // Main thread.
    std::array<std::uint32_t, kKnobs> editsMade_{};
    std::array<bool, kKnobs> gesturing_{};
    // Written by whichever thread takes the edits, read on the main thread.
    std::array<std::atomic<std::uint32_t>, kKnobs> editsTaken_{};

    // The editor, main thread.
    bool guiCreated_ = false;
    unsigned long parent_ = 0;
    double hostScale_ = 0.0;
    /// The size in pixels the host last gave, 0 before it gave one.
    platform::NSSize hostSize_{0.0, 0.0};
    std::unique_ptr<adapter::EmbeddedEditor> editor_;
    clap_id timer_ = CLAP_INVALID_ID;
    const clap_host_timer_support_t* timers_ = nullptr;
    const clap_host_params_t* hostParams_ = nullptr;
    const clap_host_gui_t* hostGui_ = nullptr;
};

} // namespace orvane::clap
