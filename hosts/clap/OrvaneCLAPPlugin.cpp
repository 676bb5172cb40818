#include "hosts/clap/OrvaneCLAPPlugin.h"

#include "hosts/adapter/StateData.h"
#include "hosts/clap/OrvaneCLAP.h"

#include <clap/plugin-features.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef ORVANE_VERSION
#error "ORVANE_VERSION must name the product's version"
#endif

namespace orvane::clap {

namespace {

/// A saved state is a few hundred bytes; anything far past that is not ours.
constexpr std::size_t kLongestState = 1 << 20;

/// The host's bypass, kept in the saved state beside the unit's own keys.
constexpr const char* kBypassStateKey = "clap_bypass";

const char* const kFeatures[] = {CLAP_PLUGIN_FEATURE_AUDIO_EFFECT, CLAP_PLUGIN_FEATURE_REVERB,
                                 CLAP_PLUGIN_FEATURE_DELAY, CLAP_PLUGIN_FEATURE_STEREO, nullptr};

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    return text;
}

void copyName(std::string_view text, char* field, std::size_t capacity) {
    if (!field || capacity == 0) return;
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

template <class Event> Event parameterEvent(std::uint16_t type, clap_id id) {
    Event event{};
    event.header.size = sizeof(Event);
    event.header.time = 0;
    event.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    event.header.type = type;
    event.param_id = id;
    return event;
}

} // namespace

const clap_plugin_descriptor_t& descriptor() {
    static const clap_plugin_descriptor_t d{CLAP_VERSION_INIT,
                                            kPluginID,
                                            kPluginName,
                                            kVendor,
                                            "",
                                            "",
                                            "",
                                            ORVANE_VERSION,
                                            "Grains, gliding delays and velvet reverberation",
                                            const_cast<const char**>(kFeatures)};
    return d;
}

Plugin::Plugin(const clap_host_t* host, std::filesystem::path companion)
    : host_(host), companion_(std::move(companion)) {
    plugin_.desc = &descriptor();
    plugin_.plugin_data = this;
    plugin_.init = [](const clap_plugin_t* p) { return of(p).init(); };
    plugin_.destroy = [](const clap_plugin_t* p) { delete &of(p); };
    plugin_.activate = [](const clap_plugin_t* p, double rate, std::uint32_t, std::uint32_t maximum) {
        return of(p).activate(rate, maximum);
    };
    plugin_.deactivate = [](const clap_plugin_t* p) { of(p).deactivate(); };
    plugin_.start_processing = [](const clap_plugin_t*) { return true; };
    plugin_.stop_processing = [](const clap_plugin_t*) {};
    plugin_.reset = [](const clap_plugin_t* p) {
        if (auto& units = of(p).units_) units->renderer->reset();
    };
    plugin_.process = [](const clap_plugin_t* p, const clap_process_t* process) {
        return process ? of(p).process(*process) : CLAP_PROCESS_ERROR;
    };
    plugin_.get_extension = [](const clap_plugin_t* p, const char* id) { return of(p).extension(id); };
    plugin_.on_main_thread = [](const clap_plugin_t*) {};
    for (auto& taken : editsTaken_) taken.store(0, std::memory_order_relaxed);
}

Plugin::~Plugin() {
    guiDestroy();
    units_.reset();
}

bool Plugin::init() {
    hostParams_ = hostExtension<clap_host_params_t>(CLAP_EXT_PARAMS);
    hostGui_ = hostExtension<clap_host_gui_t>(CLAP_EXT_GUI);
    try {
        adapter::ParameterMirror::Callbacks callbacks;
        callbacks.edited = [this](platform::AUParameterAddress address, float value) {
            if (address >= kKnobs) return;
            // While nothing renders the rendering unit takes the value at
            // once, so that a host that never flushes still saves it.
            if (!units_->renderer->isPrepared()) setRenderingValue(address, value);
            if (edits_.push({adapter::EditQueue::Kind::value, static_cast<std::uint8_t>(address), value}))
                ++editsMade_[address];
            if (hostParams_) hostParams_->request_flush(host_);
        };
        callbacks.gesture = [this](platform::AUParameterAddress address, bool begins) {
            if (address >= kKnobs) return;
            gesturing_[address] = begins;
            using Kind = adapter::EditQueue::Kind;
            edits_.push({begins ? Kind::begin : Kind::end, static_cast<std::uint8_t>(address), 0.0f});
            if (hostParams_) hostParams_->request_flush(host_);
        };
        auto units = adapter::PluginUnits::load(companion_, std::move(callbacks));
        if (!units) {
            // Hosts say only that the plug-in did not start; this says why
            // (most often Orvane.clap copied without its folder).
            std::fprintf(stderr, "Orvane.clap: %s\n", units.error().message.c_str());
            return false;
        }
        units_ = std::move(*units);
        return true;
    } catch (...) {
        return false;
    }
}

bool Plugin::activate(double sampleRate, std::uint32_t maximumFrames) {
    if (!units_) return false;
    return units_->renderer->prepare(sampleRate, maximumFrames).has_value();
}

void Plugin::deactivate() {
    if (units_) units_->renderer->release();
}

clap_process_status Plugin::process(const clap_process_t& process) {
    if (!units_ || !units_->renderer->isPrepared()) return CLAP_PROCESS_ERROR;
    auto& renderer = *units_->renderer;
    sendEdits(process.out_events);
    applyHostEvents(process.in_events);

    const float* noInput[2] = {nullptr, nullptr};
    float* noOutput[2] = {nullptr, nullptr};
    const bool stereo = process.audio_inputs_count > 0 && process.audio_outputs_count > 0 && process.audio_inputs &&
                        process.audio_outputs && process.audio_inputs[0].channel_count >= 2 &&
                        process.audio_outputs[0].channel_count >= 2 && process.audio_inputs[0].data32 &&
                        process.audio_outputs[0].data32;
    if (process.frames_count == 0 || !stereo) {
        renderer.render(noInput, noOutput, 0);
        return process.frames_count == 0 ? CLAP_PROCESS_CONTINUE_IF_NOT_QUIET : CLAP_PROCESS_ERROR;
    }
    const float* input[2] = {process.audio_inputs[0].data32[0], process.audio_inputs[0].data32[1]};
    float* output[2] = {process.audio_outputs[0].data32[0], process.audio_outputs[0].data32[1]};
    if (!input[0] || !input[1] || !output[0] || !output[1]) {
        renderer.render(noInput, noOutput, 0);
        return CLAP_PROCESS_ERROR;
    }
    renderer.render(input, output, process.frames_count);
    process.audio_outputs[0].constant_mask = 0;
    // The reverberation rings on after the input stops: the host keeps
    // calling until the output is quiet.
    return CLAP_PROCESS_CONTINUE_IF_NOT_QUIET;
}

void Plugin::applyHostEvents(const clap_input_events_t* in) {
    if (!in || !in->size || !in->get) return;
    auto& renderer = *units_->renderer;
    const bool rendering = renderer.isPrepared();
    const std::uint32_t count = in->size(in);
    for (std::uint32_t i = 0; i < count; ++i) {
        const clap_event_header_t* header = in->get(in, i);
        if (!header || header->space_id != CLAP_CORE_EVENT_SPACE_ID || header->type != CLAP_EVENT_PARAM_VALUE ||
            header->size < sizeof(clap_event_param_value_t))
            continue;
        const auto& event = *reinterpret_cast<const clap_event_param_value_t*>(header);
        if (event.param_id == kBypassParameter) {
            bypassed_.store(event.value >= 0.5, std::memory_order_relaxed);
            renderer.setBypass(event.value >= 0.5);
        } else if (event.param_id < kKnobs) {
            const auto value = static_cast<float>(std::clamp(event.value, 0.0, 1.0));
            if (rendering) renderer.schedule(event.param_id, value, header->time);
            else setRenderingValue(event.param_id, value);
        }
    }
}

void Plugin::sendEdits(const clap_output_events_t* out) {
    auto& renderer = *units_->renderer;
    const bool rendering = renderer.isPrepared();
    while (const auto edit = edits_.pop()) {
        using Kind = adapter::EditQueue::Kind;
        const clap_id id = edit->address;
        if (edit->kind == Kind::value) {
            if (rendering) renderer.schedule(edit->address, edit->value, 0);
            else setRenderingValue(edit->address, edit->value);
            editsTaken_[edit->address].fetch_add(1, std::memory_order_relaxed);
            auto event = parameterEvent<clap_event_param_value_t>(CLAP_EVENT_PARAM_VALUE, id);
            event.note_id = -1;
            event.port_index = event.channel = event.key = -1;
            event.value = edit->value;
            if (out && out->try_push) out->try_push(out, &event.header);
        } else {
            auto event = parameterEvent<clap_event_param_gesture_t>(
                edit->kind == Kind::begin ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END, id);
            if (out && out->try_push) out->try_push(out, &event.header);
        }
    }
}

void Plugin::setRenderingValue(platform::AUParameterAddress address, float value) {
    auto tree = units_->rendering->parameterTree();
    if (auto parameter = tree ? tree->parameterWithAddress(address) : nullptr) parameter->setValue(value);
}

void Plugin::flush(const clap_input_events_t* in, const clap_output_events_t* out) {
    if (!units_) return;
    sendEdits(out);
    applyHostEvents(in);
    // While active, the values held take effect now, not with the next block.
    const float* noInput[2] = {nullptr, nullptr};
    float* noOutput[2] = {nullptr, nullptr};
    if (units_->renderer->isPrepared()) units_->renderer->render(noInput, noOutput, 0);
}

// MARK: parameters

bool Plugin::parameterInfo(std::uint32_t index, clap_param_info_t& info) const {
    if (!units_) return false;
    const auto& parameters = units_->table.parameters();
    info = {};
    if (index < parameters.size()) {
        const auto& parameter = parameters[index];
        info.id = static_cast<clap_id>(parameter.address);
        info.flags = CLAP_PARAM_IS_AUTOMATABLE;
        copyName(parameter.name, info.name, sizeof info.name);
        info.min_value = parameter.minValue;
        info.max_value = parameter.maxValue;
        info.default_value = parameter.defaultValue;
        return true;
    }
    if (index == parameters.size()) {
        info.id = kBypassParameter;
        info.flags = CLAP_PARAM_IS_BYPASS | CLAP_PARAM_IS_STEPPED | CLAP_PARAM_IS_AUTOMATABLE;
        copyName("Bypass", info.name, sizeof info.name);
        info.min_value = 0.0;
        info.max_value = 1.0;
        info.default_value = 0.0;
        return true;
    }
    return false;
}

bool Plugin::parameterValue(clap_id id, double& value) const {
    if (!units_) return false;
    if (id == kBypassParameter) {
        value = bypassed_.load(std::memory_order_relaxed) ? 1.0 : 0.0;
        return true;
    }
    if (id >= kKnobs || !units_->table.find(id)) return false;
    // An edit of the editor's not yet taken: the host hears it next.
    if (editsTaken_[id].load(std::memory_order_relaxed) != editsMade_[id]) {
        value = units_->mirror->value(id);
        return true;
    }
    auto tree = units_->rendering->parameterTree();
    auto parameter = tree ? tree->parameterWithAddress(id) : nullptr;
    value = parameter ? parameter->value() : 0.0;
    return true;
}

bool Plugin::valueToText(clap_id id, double value, char* display, std::uint32_t size) const {
    if (!units_ || !display || size == 0) return false;
    std::string text;
    if (id == kBypassParameter) text = value >= 0.5 ? "On" : "Off";
    else if (units_->table.find(id)) text = units_->table.text(id, static_cast<float>(value));
    else return false;
    copyName(text, display, size);
    return true;
}

bool Plugin::textToValue(clap_id id, const char* display, double& value) const {
    if (!units_ || !display) return false;
    if (id == kBypassParameter) {
        const std::string wanted = lowercase(display);
        if (wanted == "on" || wanted == "1") value = 1.0;
        else if (wanted == "off" || wanted == "0") value = 0.0;
        else return false;
        return true;
    }
    if (!units_->table.find(id)) return false;
    const auto read = units_->table.valueFromText(id, display);
    if (!read) return false;
    value = *read;
    return true;
}

// MARK: state

bool Plugin::save(const clap_ostream_t* stream) const {
    if (!units_ || !stream || !stream->write) return false;
    platform::PropertyList::Dictionary extra;
    extra.emplace(kBypassStateKey, platform::PropertyList(bypassed_.load(std::memory_order_relaxed)));
    auto bytes = adapter::saveStateData(*units_->rendering, extra);
    if (!bytes) return false;
    for (std::size_t done = 0; done < bytes->size();) {
        const auto wrote = stream->write(stream, bytes->data() + done, bytes->size() - done);
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool Plugin::load(const clap_istream_t* stream) {
    if (!units_ || !stream || !stream->read) return false;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    for (;;) {
        const auto read = stream->read(stream, chunk, sizeof chunk);
        if (read < 0) return false;
        if (read == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + read);
        if (bytes.size() > kLongestState) return false;
    }
    const auto restored = units_->restoreState(bytes);
    if (!restored) return false;
    const auto bypass = restored->find(kBypassStateKey);
    const bool bypassed = bypass != restored->end() && bypass->second.boolean() && *bypass->second.boolean();
    bypassed_.store(bypassed, std::memory_order_relaxed);
    units_->rendering->setShouldBypassEffect(bypassed);
    if (hostParams_) hostParams_->rescan(host_, CLAP_PARAM_RESCAN_VALUES);
    return true;
}

// MARK: extensions

const void* Plugin::extension(const char* id) const {
    static const clap_plugin_audio_ports_t ports{
        [](const clap_plugin_t*, bool) -> std::uint32_t { return 1; },
        [](const clap_plugin_t*, std::uint32_t index, bool input, clap_audio_port_info_t* info) {
            if (index != 0 || !info) return false;
            *info = {};
            info->id = 0;
            copyName(input ? "Stereo In" : "Stereo Out", info->name, sizeof info->name);
            info->flags = CLAP_AUDIO_PORT_IS_MAIN;
            info->channel_count = 2;
            info->port_type = CLAP_PORT_STEREO;
            info->in_place_pair = 0;
            return true;
        }};
    static const clap_plugin_latency_t latency{[](const clap_plugin_t*) -> std::uint32_t { return 0; }};
    static const clap_plugin_params_t params{
        [](const clap_plugin_t* p) -> std::uint32_t {
            return of(p).units_ ? static_cast<std::uint32_t>(of(p).units_->table.parameters().size()) + 1 : 0;
        },
        [](const clap_plugin_t* p, std::uint32_t index, clap_param_info_t* info) {
            return info && of(p).parameterInfo(index, *info);
        },
        [](const clap_plugin_t* p, clap_id id, double* value) { return value && of(p).parameterValue(id, *value); },
        [](const clap_plugin_t* p, clap_id id, double value, char* display, std::uint32_t size) {
            return of(p).valueToText(id, value, display, size);
        },
        [](const clap_plugin_t* p, clap_id id, const char* display, double* value) {
            return value && of(p).textToValue(id, display, *value);
        },
        [](const clap_plugin_t* p, const clap_input_events_t* in, const clap_output_events_t* out) {
            of(p).flush(in, out);
        }};
    static const clap_plugin_state_t state{
        [](const clap_plugin_t* p, const clap_ostream_t* stream) { return of(p).save(stream); },
        [](const clap_plugin_t* p, const clap_istream_t* stream) { return of(p).load(stream); }};
    static const clap_plugin_gui_t gui{
        [](const clap_plugin_t*, const char* api, bool floating) {
            return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0 && !floating;
        },
        [](const clap_plugin_t*, const char** api, bool* floating) {
            if (!api || !floating) return false;
            *api = CLAP_WINDOW_API_X11;
            *floating = false;
            return true;
        },
        [](const clap_plugin_t* p, const char* api, bool floating) { return of(p).guiCreate(api, floating); },
        [](const clap_plugin_t* p) { of(p).guiDestroy(); },
        [](const clap_plugin_t* p, double scale) { return of(p).guiSetScale(scale); },
        [](const clap_plugin_t* p, std::uint32_t* width, std::uint32_t* height) {
            return width && height && of(p).guiGetSize(*width, *height);
        },
        [](const clap_plugin_t*) { return true; },
        [](const clap_plugin_t*, clap_gui_resize_hints_t* hints) {
            if (!hints) return false;
            *hints = {true, true, false, 0, 0};
            return true;
        },
        [](const clap_plugin_t* p, std::uint32_t* width, std::uint32_t* height) {
            return width && height && of(p).guiAdjustSize(*width, *height);
        },
        [](const clap_plugin_t* p, std::uint32_t width, std::uint32_t height) { return of(p).guiSetSize(width, height); },
        [](const clap_plugin_t* p, const clap_window_t* window) { return of(p).guiSetParent(window); },
        [](const clap_plugin_t*, const clap_window_t*) { return false; },
        [](const clap_plugin_t*, const char*) {},
        // Embedded, the editor is shown with the host's window.
        [](const clap_plugin_t*) { return true; },
        [](const clap_plugin_t*) { return true; }};
    static const clap_plugin_timer_support_t timer{
        [](const clap_plugin_t* p, clap_id id) { of(p).onTimer(id); }};

    if (!id) return nullptr;
    if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return &ports;
    if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &latency;
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &params;
    if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &state;
    if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &gui;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &timer;
    return nullptr;
}

} // namespace orvane::clap
