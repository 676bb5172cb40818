#pragma once

// orvane.lv2 as the tests host it: where the built bundle is, a lilv world of
// our own offering what a real-time host offers, instances with ports of
// their own, and the UI module loaded as a host loads it.

#include "hosts/lv2/OrvaneLV2.h"
#include "tests/support/Process.h"
#include "tests/support/XServer.h"

#include <dlfcn.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lv2host {

using namespace orvane::lv2;

inline const std::filesystem::path kLV2Path = ORVANE_LV2_PATH;
inline const std::filesystem::path kBundle = kLV2Path / "orvane.lv2";

// Hosts from Debian cannot load a sanitized plug-in.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

/// What a shell command printed, its errors included.
inline std::string run(const std::string& command) { return testprocess::shellOutput(command); }

/// The bundle in a lilv world, with a URID map and blocks of at most
/// `maxBlock` frames offered.
class World {
public:
    explicit World(std::int32_t maxBlock = 512) : maxBlock_(maxBlock) {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, (kBundle.string() + "/").c_str());
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world, kPluginURI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        options_[0] = {LV2_OPTIONS_INSTANCE, 0, map.map(this, LV2_BUF_SIZE__maxBlockLength), sizeof(std::int32_t),
                       map.map(this, LV2_ATOM__Int), &maxBlock_};
    }
    ~World() { lilv_world_free(world); }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    LilvInstance* instantiate(double rate) const {
        const LV2_Feature* features[] = {&mapFeature_, &optionsFeature_, nullptr};
        return plugin ? lilv_plugin_instantiate(plugin, rate, features) : nullptr;
    }

    LilvWorld* const world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
                         auto& ids = static_cast<World*>(h)->ids_;
                         return ids.emplace(uri, ids.size() + 1).first->second;
                     }};

private:
    std::map<std::string, LV2_URID> ids_;
    std::int32_t maxBlock_;
    LV2_Options_Option options_[2]{};
    const LV2_Feature mapFeature_{LV2_URID__map, &map}, optionsFeature_{LV2_OPTIONS__options, options_};
};

/// The parameters' first values, premix .. gravitas.
inline constexpr std::array<float, kParameterCount> kFirstValues{0.5f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f};

/// One instance with its own control ports, enabled and activated.
class Instance {
public:
    explicit Instance(const World& world, const std::array<float, kParameterCount>& settings = kFirstValues,
                      double rate = 48000.0)
        : lilv_(world.instantiate(rate)) {
        std::copy(settings.begin(), settings.end(), controls.begin());
        controls[kParameterCount] = 1.0f;
        for (std::uint32_t p = 0; lilv_ && p < controls.size(); ++p)
            lilv_instance_connect_port(lilv_, kFirstParameterPort + p, &controls[p]);
        if (lilv_) lilv_instance_activate(lilv_);
    }
    ~Instance() {
        if (!lilv_) return;
        lilv_instance_deactivate(lilv_);
        lilv_instance_free(lilv_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    explicit operator bool() const { return lilv_ != nullptr; }
    LilvInstance* lilv() const { return lilv_; }

    /// One call of run, from the inputs to the outputs (the same buffers in place).
    void run(float* inL, float* inR, float* outL, float* outR, std::uint32_t frames) {
        for (auto [port, data] : {std::pair{kInputLeft, inL}, {kInputRight, inR}, {kOutputLeft, outL}, {kOutputRight, outR}})
            lilv_instance_connect_port(lilv_, port, data);
        lilv_instance_run(lilv_, frames);
    }
    /// The whole signal through the instance in place, in blocks of `block()` frames.
    std::pair<std::vector<float>, std::vector<float>> render(std::vector<float> l, std::vector<float> r,
                                                             const std::function<std::uint32_t()>& block) {
        for (std::size_t done = 0; done < l.size();) {
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block(), l.size() - done));
            run(&l[done], &r[done], &l[done], &r[done], n);
            done += n;
        }
        return {l, r};
    }

    /// premix .. gravitas, enabled, latency.
    std::array<float, kParameterCount + 2> controls{};

private:
    LilvInstance* lilv_;
};

using testx::hostWindow;

/// A descriptor of the UI module, loaded as a host loads it; null when there
/// is none (or the module would not load: see dlerror).
inline const LV2UI_Descriptor* uiDescriptor(std::uint32_t index = 0) {
    void* module = ::dlopen((kBundle / "orvane_ui.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto descriptors = module ? reinterpret_cast<LV2UI_DescriptorFunction>(::dlsym(module, "lv2ui_descriptor")) : nullptr;
    return descriptors ? descriptors(index) : nullptr;
}

inline const LV2UI_Idle_Interface* idleOf(const LV2UI_Descriptor* ui) {
    return static_cast<const LV2UI_Idle_Interface*>(ui->extension_data(LV2_UI__idleInterface));
}

} // namespace lv2host
