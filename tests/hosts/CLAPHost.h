#pragma once

// Orvane.clap as the tests host it: the built module loaded as hosts load it
// (clap_entry, its factory), instances driven through the plug-in and its
// extensions with event lists of our own, and the host's side of the
// extensions the plug-in asks for: parameter rescans and flush requests,
// timers served by a loop of ours, and resize requests.

#include "hosts/clap/OrvaneCLAP.h"

#include <clap/entry.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace claphost {

inline const std::filesystem::path kModule = std::filesystem::path(ORVANE_CLAP_PATH) / "Orvane.clap";
inline const std::filesystem::path kUnitBundle = std::filesystem::path(ORVANE_CLAP_PATH) / "Orvane" / "OrvaneAUMac.appex";

/// The module, loaded once for the test process as a host loads it.
class Module {
public:
    static Module& shared() {
        static Module module;
        return module;
    }
    const clap_plugin_entry_t& entry() const { return *entry_; }
    const clap_plugin_factory_t& factory() const { return *factory_; }

private:
    Module() {
        void* handle = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(::dlerror());
        entry_ = static_cast<const clap_plugin_entry_t*>(::dlsym(handle, "clap_entry"));
        if (!entry_ || !entry_->init(kModule.c_str())) throw std::runtime_error("clap_entry failed");
        factory_ = static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
        if (!factory_) throw std::runtime_error("no plug-in factory");
    }
    const clap_plugin_entry_t* entry_ = nullptr;
    const clap_plugin_factory_t* factory_ = nullptr;
};

/// Parameter values due in one block, in the order of their frames.
class InputEvents {
public:
    void add(clap_id id, std::uint32_t frame, double value) {
        clap_event_param_value_t event{};
        event.header = {sizeof event, frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        event.param_id = id;
        event.note_id = -1;
        event.port_index = event.channel = event.key = -1;
        event.value = value;
        auto at = events_.begin();
        while (at != events_.end() && at->header.time <= frame) ++at;
        events_.insert(at, event);
    }
    void clear() { events_.clear(); }
    const clap_input_events_t* list() {
        list_.ctx = this;
        list_.size = [](const clap_input_events_t* l) {
            return static_cast<std::uint32_t>(static_cast<InputEvents*>(l->ctx)->events_.size());
        };
        list_.get = [](const clap_input_events_t* l, std::uint32_t index) -> const clap_event_header_t* {
            auto& events = static_cast<InputEvents*>(l->ctx)->events_;
            return index < events.size() ? &events[index].header : nullptr;
        };
        return &list_;
    }

private:
    std::vector<clap_event_param_value_t> events_;
    clap_input_events_t list_{};
};

/// What a plug-in hands its host: parameter values and gestures, in order.
class OutputEvents {
public:
    struct Event {
        std::uint16_t type;
        clap_id id;
        double value;
    };
    const clap_output_events_t* list() {
        list_.ctx = this;
        list_.try_push = [](const clap_output_events_t* l, const clap_event_header_t* header) {
            auto& events = static_cast<OutputEvents*>(l->ctx)->events;
            if (header->type == CLAP_EVENT_PARAM_VALUE) {
                const auto* e = reinterpret_cast<const clap_event_param_value_t*>(header);
                events.push_back({header->type, e->param_id, e->value});
            } else {
                const auto* e = reinterpret_cast<const clap_event_param_gesture_t*>(header);
                events.push_back({header->type, e->param_id, 0.0});
            }
            return true;
        };
        return &list_;
    }
    std::vector<Event> events;

private:
    clap_output_events_t list_{};
};

/// The host's side: what the plug-in asked of it, and the timers it keeps.
class Host {
public:
    Host() {
        host_.clap_version = CLAP_VERSION_INIT;
        host_.host_data = this;
        host_.name = "Orvane tests";
        host_.vendor = "The Orvane developers";
        host_.url = "";
        host_.version = "1";
        host_.get_extension = [](const clap_host_t* h, const char* id) -> const void* {
            auto& self = *static_cast<Host*>(h->host_data);
            if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &self.params_;
            if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0 && self.offersTimers) return &self.timers_;
            if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &self.gui_;
            return nullptr;
        };
        host_.request_restart = host_.request_process = host_.request_callback = [](const clap_host_t*) {};
        params_.rescan = [](const clap_host_t* h, clap_param_rescan_flags flags) { self(h).rescans.push_back(flags); };
        params_.clear = [](const clap_host_t*, clap_id, clap_param_clear_flags) {};
        params_.request_flush = [](const clap_host_t* h) { ++self(h).flushRequests; };
        timers_.register_timer = [](const clap_host_t* h, std::uint32_t period, clap_id* id) {
            *id = self(h).nextTimer++;
            self(h).timers[*id] = period;
            return true;
        };
        timers_.unregister_timer = [](const clap_host_t* h, clap_id id) { return self(h).timers.erase(id) == 1; };
        gui_.resize_hints_changed = [](const clap_host_t*) {};
        gui_.request_resize = [](const clap_host_t* h, std::uint32_t w, std::uint32_t height) {
            self(h).resizes.emplace_back(w, height);
            return true;
        };
        gui_.request_show = gui_.request_hide = [](const clap_host_t*) { return true; };
        gui_.closed = [](const clap_host_t*, bool) {};
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    const clap_host_t* clapHost() const { return &host_; }

    std::vector<clap_param_rescan_flags> rescans;
    int flushRequests = 0;
    bool offersTimers = true;
    std::map<clap_id, std::uint32_t> timers;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> resizes;

private:
    static Host& self(const clap_host_t* h) { return *static_cast<Host*>(h->host_data); }
    clap_host_t host_{};
    clap_host_params_t params_{};
    clap_host_timer_support_t timers_{};
    clap_host_gui_t gui_{};
    clap_id nextTimer = 1;
};

/// One instance, initialised; active at a rate and longest block unless
/// made with a rate of 0.
class Instance {
public:
    explicit Instance(double rate = 48000.0, std::uint32_t maxBlock = 4096) {
        plugin = Module::shared().factory().create_plugin(&Module::shared().factory(), host.clapHost(),
                                                          orvane::clap::kPluginID);
        if (!plugin || !plugin->init(plugin)) throw std::runtime_error("the plug-in did not start");
        params = extension<clap_plugin_params_t>(CLAP_EXT_PARAMS);
        state = extension<clap_plugin_state_t>(CLAP_EXT_STATE);
        gui = extension<clap_plugin_gui_t>(CLAP_EXT_GUI);
        timer = extension<clap_plugin_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
        if (!params || !state || !gui || !timer) throw std::runtime_error("an extension is missing");
        if (rate > 0.0) activate(rate, maxBlock);
    }
    ~Instance() {
        deactivate();
        plugin->destroy(plugin);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    template <class T> const T* extension(const char* id) const {
        return static_cast<const T*>(plugin->get_extension(plugin, id));
    }
    void activate(double rate, std::uint32_t maxBlock) {
        deactivate();
        if (!plugin->activate(plugin, rate, 1, maxBlock) || !plugin->start_processing(plugin))
            throw std::runtime_error("activate failed");
        active_ = true;
    }
    void deactivate() {
        if (!active_) return;
        plugin->stop_processing(plugin);
        plugin->deactivate(plugin);
        active_ = false;
    }

    /// One process call in place over the buffers; returns its status.
    clap_process_status process(float* left, float* right, std::uint32_t frames, InputEvents* in = nullptr,
                                OutputEvents* out = nullptr) {
        float* channels[2] = {left, right};
        clap_audio_buffer_t input{channels, nullptr, 2, 0, 0}, output{channels, nullptr, 2, 0, 0};
        InputEvents none;
        OutputEvents ignored;
        clap_process_t data{};
        data.steady_time = -1;
        data.frames_count = frames;
        data.audio_inputs = &input;
        data.audio_outputs = &output;
        data.audio_inputs_count = data.audio_outputs_count = 1;
        data.in_events = (in ? in : &none)->list();
        data.out_events = (out ? out : &ignored)->list();
        return plugin->process(plugin, &data);
    }

    /// The whole signal in place in host blocks of `block` frames; `events`
    /// (when given) fills each block's events from its first frame.
    void render(std::vector<float>& left, std::vector<float>& right, std::uint32_t block,
                const std::function<void(std::size_t first, std::uint32_t frames, InputEvents&)>& events = {}) {
        InputEvents in;
        for (std::size_t at = 0; at < left.size(); at += block) {
            const auto frames = static_cast<std::uint32_t>(std::min<std::size_t>(block, left.size() - at));
            in.clear();
            if (events) events(at, frames, in);
            process(left.data() + at, right.data() + at, frames, &in);
        }
    }

    /// The host's flush: `in` applied, what the plug-in sends returned.
    std::vector<OutputEvents::Event> flush(InputEvents* in = nullptr) {
        InputEvents none;
        OutputEvents out;
        params->flush(plugin, (in ? in : &none)->list(), out.list());
        return out.events;
    }

    double value(clap_id id) const {
        double v = -1.0;
        if (!params->get_value(plugin, id, &v)) throw std::runtime_error("no value");
        return v;
    }

    std::vector<std::uint8_t> saved() const {
        std::vector<std::uint8_t> bytes;
        clap_ostream_t stream{&bytes, [](const clap_ostream_t* s, const void* data, std::uint64_t size) -> std::int64_t {
                                  auto* out = static_cast<std::vector<std::uint8_t>*>(s->ctx);
                                  // Seven bytes at a time, as a host's stream may take them.
                                  const auto n = std::min<std::uint64_t>(size, 7);
                                  out->insert(out->end(), static_cast<const std::uint8_t*>(data),
                                              static_cast<const std::uint8_t*>(data) + n);
                                  return static_cast<std::int64_t>(n);
                              }};
        if (!state->save(plugin, &stream)) throw std::runtime_error("save failed");
        return bytes;
    }
    bool load(const std::vector<std::uint8_t>& bytes) {
        struct Reader {
            const std::vector<std::uint8_t>* bytes;
            std::size_t at;
        } reader{&bytes, 0};
        clap_istream_t stream{&reader, [](const clap_istream_t* s, void* data, std::uint64_t size) -> std::int64_t {
                                  auto& r = *static_cast<Reader*>(s->ctx);
                                  const auto n = std::min<std::uint64_t>({size, r.bytes->size() - r.at, 5});
                                  if (n > 0) std::memcpy(data, r.bytes->data() + r.at, n);
                                  r.at += n;
                                  return static_cast<std::int64_t>(n);
                              }};
        return state->load(plugin, &stream);
    }

    /// Serves the timers the plug-in registered for `milliseconds`.
    void runTimers(int milliseconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        do {
            std::vector<clap_id> ids;
            for (const auto& [id, period] : host.timers) ids.push_back(id);
            for (clap_id id : ids) timer->on_timer(plugin, id);
            std::this_thread::sleep_for(std::chrono::milliseconds(8));
        } while (std::chrono::steady_clock::now() < end);
    }

    Host host;
    const clap_plugin_t* plugin = nullptr;
    const clap_plugin_params_t* params = nullptr;
    const clap_plugin_state_t* state = nullptr;
    const clap_plugin_gui_t* gui = nullptr;
    const clap_plugin_timer_support_t* timer = nullptr;

private:
    bool active_ = false;
};

} // namespace claphost
