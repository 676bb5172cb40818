// orvane.lv2 as LV2 hosts meet it: Debian's validator and command-line hosts
// on the built bundle, and a small lilv host of our own that checks what a
// real-time host relies on.

#include <gtest/gtest.h>

#include "hosts/lv2/OrvaneLV2.h"
#include "tests/hosts/LV2Build.h"
#include "tests/engine/AllocationCounter.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/presets/presets.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <random>

namespace {

namespace fs = std::filesystem;
using namespace orvane::lv2;
using testprocess::Process;

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe) ::pclose(pipe);
    return out;
}

std::string withLV2Path(const std::string& command) { return "LV2_PATH='" + kLV2Path.string() + "' " + command; }

/// The float samples of a 32-bit float WAV file (data chunk only).
std::vector<float> wavSamples(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    for (std::size_t i = 12; i + 8 <= bytes.size();) {
        std::uint32_t size;
        std::memcpy(&size, &bytes[i + 4], 4);
        if (std::string(&bytes[i], 4) == "data") {
            std::vector<float> samples(size / 4);
            std::memcpy(samples.data(), &bytes[i + 8], samples.size() * 4);
            return samples;
        }
        i += 8 + size + (size & 1);
    }
    return {};
}

/// A plug-in instance of our own lilv host, with maxBlockLength 512 offered.
class Host {
public:
    Host() {
        world_ = lilv_world_new();
        LilvNode* uri = lilv_new_file_uri(world_, nullptr, (kBundle.string() + "/").c_str());
        lilv_world_load_bundle(world_, uri);
        lilv_node_free(uri);
        LilvNode* pluginURI = lilv_new_uri(world_, kPluginURI);
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), pluginURI);
        lilv_node_free(pluginURI);
        map_ = {this, [](LV2_URID_Map_Handle h, const char* u) -> LV2_URID {
                    auto& ids = static_cast<Host*>(h)->ids_;
                    return ids.emplace(u, ids.size() + 1).first->second;
                }};
        maxBlock_ = 512;
        options_[0] = {LV2_OPTIONS_INSTANCE, 0, map_.map(this, LV2_BUF_SIZE__maxBlockLength), sizeof(std::int32_t),
                       map_.map(this, LV2_ATOM__Int), &maxBlock_};
        options_[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    }
    ~Host() {
        if (instance_) {
            lilv_instance_deactivate(instance_);
            lilv_instance_free(instance_);
        }
        lilv_world_free(world_);
    }

    bool instantiate(double rate = 48000) {
        if (!plugin_) return false;
        static LV2_Feature mapFeature, optionsFeature;
        mapFeature = {LV2_URID__map, &map_};
        optionsFeature = {LV2_OPTIONS__options, options_};
        const LV2_Feature* features[] = {&mapFeature, &optionsFeature, nullptr};
        instance_ = lilv_plugin_instantiate(plugin_, rate, features);
        if (!instance_) return false;
        controls.fill(0.0f);
        for (std::uint32_t i = 0; i < kParameterCount; ++i) controls[i] = defaults[i];
        for (std::uint32_t i = 0; i < kParameterCount + 2; ++i)
            lilv_instance_connect_port(instance_, kFirstParameterPort + i, &controls[i]);
        lilv_instance_activate(instance_);
        return true;
    }
    /// Renders in place in `left` and `right` (or from separate inputs).
    void process(float* inL, float* inR, float* outL, float* outR, std::uint32_t frames) {
        lilv_instance_connect_port(instance_, kInputLeft, inL);
        lilv_instance_connect_port(instance_, kInputRight, inR);
        lilv_instance_connect_port(instance_, kOutputLeft, outL);
        lilv_instance_connect_port(instance_, kOutputRight, outR);
        lilv_instance_run(instance_, frames);
    }
    /// The whole signal through the instance in blocks of `block()` frames.
    std::pair<std::vector<float>, std::vector<float>> render(std::vector<float> l, std::vector<float> r,
                                                             const std::function<std::uint32_t()>& block) {
        for (std::size_t done = 0; done < l.size();) {
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block(), l.size() - done));
            process(&l[done], &r[done], &l[done], &r[done], n);
            done += n;
        }
        return {l, r};
    }
    LilvInstance* instance() const { return instance_; }
    LilvWorld* world() const { return world_; }
    const LilvPlugin* plugin() const { return plugin_; }
    LV2_URID_Map* map() { return &map_; }

    /// premix .. gravitas, then enabled, then latency.
    std::array<float, kParameterCount + 2> controls{};
    static constexpr std::array<float, kParameterCount> defaults{0.5f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f};

private:
    LilvWorld* world_ = nullptr;
    const LilvPlugin* plugin_ = nullptr;
    LilvInstance* instance_ = nullptr;
    std::map<std::string, LV2_URID> ids_;
    LV2_URID_Map map_{};
    std::int32_t maxBlock_ = 0;
    LV2_Options_Option options_[2]{};
};

} // namespace

TEST(LV2Bundle, TheValidatorAndTheListingToolsAcceptIt) {
    std::string files;
    for (const auto& entry : fs::recursive_directory_iterator(kBundle))
        if (entry.path().extension() == ".ttl") files += " '" + entry.path().string() + "'";
    const auto validation = run("lv2_validate" + files);
    EXPECT_NE(validation.find("Found 0 errors"), std::string::npos) << validation;
    EXPECT_EQ(validation.find("warning"), std::string::npos) << validation;

    EXPECT_EQ(run(withLV2Path("lv2ls")), std::string(kPluginURI) + "\n");
    const auto info = run(withLV2Path(std::string("lv2info ") + kPluginURI));
    for (const char* expected : {"Symbol:      premix", "Symbol:      gravitas", "Symbol:      enabled",
                                 "Symbol:      latency", "Dark Wash", "Drunk Chorus",
                                 "ui#X11UI", "orvane_ui.so", "hardRTCapable"})
        EXPECT_NE(info.find(expected), std::string::npos) << expected << " missing from:\n" << info;
}

TEST(LV2Bundle, HostsShowPresetZeroAsDefaultsWordsForEachKnobAndPresetsInFactoryOrder) {
    Host host;
    ASSERT_TRUE(host.plugin());
    LilvWorld* world = host.world();
    LilvNode* presetClass = lilv_new_uri(world, LV2_PRESETS__Preset);
    LilvNode* label = lilv_new_uri(world, LILV_NS_RDFS "label");
    LilvNode* comment = lilv_new_uri(world, LILV_NS_RDFS "comment");
    LilvNode* maintainer = lilv_new_uri(world, "http://usefulinc.com/ns/doap#maintainer");
    // Presets by label, as a host that sorts by label lists them: their URIs
    // must then come in factory order.
    std::map<std::string, std::string> byLabel;
    LilvNodes* presets = lilv_plugin_get_related(host.plugin(), presetClass);
    LILV_FOREACH(nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(world, preset);
        LilvNodes* labels = lilv_world_find_nodes(world, preset, label, nullptr);
        ASSERT_TRUE(labels && lilv_nodes_size(labels) == 1);
        byLabel[lilv_node_as_string(lilv_nodes_get_first(labels))] = lilv_node_as_uri(preset);
        lilv_nodes_free(labels);
    }
    std::size_t index = 0;
    for (const auto& [name, uri] : byLabel)
        EXPECT_EQ(uri, std::string(kPresetURIPrefix) + std::to_string(index++)) << name;

    // A new instance's controls: what factory preset 0 holds.
    LilvNode* first = lilv_new_uri(world, (std::string(kPresetURIPrefix) + "0").c_str());
    LilvState* state = lilv_state_new_from_world(world, host.map(), first);
    ASSERT_TRUE(state);
    std::map<std::string, float> values;
    ASSERT_TRUE(host.instantiate());
    lilv_state_restore(state, host.instance(),
                       [](const char* symbol, void* data, const void* value, std::uint32_t, std::uint32_t) {
                           (*static_cast<std::map<std::string, float>*>(data))[symbol] = *static_cast<const float*>(value);
                       },
                       &values, 0, nullptr);
    ASSERT_EQ(values.size(), kParameterCount);
    for (std::uint32_t i = 0; i < kParameterCount; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(host.plugin(), kFirstParameterPort + i);
        const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(host.plugin(), port));
        LilvNode* initial = nullptr;
        lilv_port_get_range(host.plugin(), port, &initial, nullptr, nullptr);
        ASSERT_TRUE(initial) << symbol;
        EXPECT_EQ(lilv_node_as_float(initial), values[symbol]) << symbol;
        lilv_node_free(initial);
        LilvNodes* comments = lilv_port_get_value(host.plugin(), port, comment);
        EXPECT_TRUE(comments && std::string(lilv_node_as_string(lilv_nodes_get_first(comments))).size() > 20) << symbol;
        lilv_nodes_free(comments);
    }
    for (LilvNode* property : {comment, maintainer}) {
        LilvNodes* found = lilv_plugin_get_value(host.plugin(), property);
        EXPECT_TRUE(found && lilv_nodes_size(found) == 1) << lilv_node_as_uri(property);
        lilv_nodes_free(found);
    }
    lilv_state_free(state);
    for (LilvNode* node : {first, presetClass, label, comment, maintainer}) lilv_node_free(node);
    lilv_nodes_free(presets);
}

TEST(LV2Bundle, ACommandLineHostRendersWhatOrvaneRenderRendersBitForBit) {
    if (kSanitized) GTEST_SKIP() << "an uninstrumented host cannot load a sanitizer build";
    platform::testing::TempFolder folder;
    const auto input = folder.path() / "in.wav";
    Process dry({ORVANE_RENDER_PROGRAM, ORVANE_DEMO_INPUT, "-o", input.string(), "--bypass", "--tail", "0", "--quiet"});
    ASSERT_EQ(dry.wait(), 0) << dry.errorText();
    const std::vector<std::string> settings{"premix=0.45", "granularity=0.3", "incoherence=0.4", "impatience=0.45",
                                            "nausea=0.1", "gravitas=0"};
    for (const char* block : {"64", "512", "4096"}) {
        const auto ours = folder.path() / (std::string("render-") + block + ".wav");
        const auto theirs = folder.path() / (std::string("lv2-") + block + ".wav");
        std::vector<std::string> render{ORVANE_RENDER_PROGRAM, input.string(), "-o", ours.string(), "--tail", "0",
                                        "--quiet", "--block", block};
        std::string lv2file = "lv2file -i '" + input.string() + "' -o '" + theirs.string() + "' -b " + block;
        for (const auto& s : settings) {
            render.insert(render.end(), {"--set", s});
            lv2file += " -p " + s.substr(0, s.find('=')) + ":" + s.substr(s.find('=') + 1);
        }
        Process renderer(render);
        ASSERT_EQ(renderer.wait(std::chrono::seconds(60)), 0) << renderer.errorText();
        const auto said = run(withLV2Path(lv2file + " " + kPluginURI));
        const auto a = wavSamples(ours), b = wavSamples(theirs);
        ASSERT_EQ(a.size(), b.size()) << said;
        ASSERT_GT(a.size(), 100000u);
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(a[i], b[i]) << "blocks of " << block << ": sample " << i << " differs";
    }
}

TEST(LV2Plugin, RendersAnyBlockInPlaceWithoutAllocatingAndBypassesExactly) {
    Host host;
    ASSERT_TRUE(host.instantiate()) << "the plug-in must load from " << kBundle;
    const auto left = testsignals::noise(48000, 11, 0.5f), right = testsignals::noise(48000, 12, 0.5f);
    // Without grain modulation, wander or reverberation the output does not
    // depend on where the blocks fall.
    auto reference = host.render(left, right, [] { return 512u; });

    Host other;
    ASSERT_TRUE(other.instantiate());
    std::mt19937 random(5);
    std::vector<std::uint32_t> sizes{1, 8192, 7, 513, 4096};
    std::size_t next = 0;
    auto ragged = other.render(left, right, [&] {
        return next < sizes.size() ? sizes[next++] : std::uniform_int_distribution<std::uint32_t>(1, 8192)(random);
    });
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(reference.first[i], ragged.first[i]) << "left sample " << i;
        ASSERT_EQ(reference.second[i], ragged.second[i]) << "right sample " << i;
    }

    // Separate buffers give what in-place buffers give; run(0) does nothing.
    // (No reverberation: each instance draws its own echo pattern.)
    host.controls = {0.3f, 0.7f, 0.5f, 0.6f, 0.4f, 0.0f, 1.0f, 5.0f};
    std::vector<float> inL(left.begin(), left.begin() + 8192), inR(right.begin(), right.begin() + 8192);
    std::vector<float> outL(8192), outR(8192);
    Host twin;
    ASSERT_TRUE(twin.instantiate());
    twin.controls = host.controls;
    host.render(left, right, [] { return 4096u; });
    twin.render(left, right, [] { return 4096u; });
    {
        orvane::testing::AllocationCounter counter;
        host.process(inL.data(), inR.data(), outL.data(), outR.data(), 0);
        host.process(inL.data(), inR.data(), outL.data(), outR.data(), 8192);
        EXPECT_EQ(counter.count(), 0u) << "run allocates nothing, even with changed controls and pieces";
    }
    EXPECT_EQ(host.controls[7], 0.0f) << "the latency port reports 0";
    auto inPlace = twin.render(inL, inR, [] { return 8192u; });
    EXPECT_EQ(inPlace.first, outL);
    EXPECT_EQ(inPlace.second, outR);

    host.controls[6] = 0.0f; // lv2:enabled off
    host.process(inL.data(), inR.data(), outL.data(), outR.data(), 1000);
    EXPECT_TRUE(std::equal(outL.begin(), outL.begin() + 1000, inL.begin())) << "bypassed: the input exactly";
    host.controls[6] = 1.0f;
    host.process(inL.data(), inR.data(), outL.data(), outR.data(), 1000);
    EXPECT_FALSE(std::equal(outL.begin(), outL.begin() + 1000, inL.begin())) << "enabled again";
}

TEST(LV2Plugin, PresetsSetThePortsAndActivationStartsAfresh) {
    Host host;
    ASSERT_TRUE(host.instantiate());
    LilvNode* presetClass = lilv_new_uri(host.world(), LV2_PRESETS__Preset);
    LilvNodes* presets = lilv_plugin_get_related(host.plugin(), presetClass);
    EXPECT_EQ(lilv_nodes_size(presets), 9u);
    LilvNode* darkWash = lilv_new_uri(host.world(), (std::string(kPresetURIPrefix) + "3").c_str());
    lilv_world_load_resource(host.world(), darkWash);
    LilvState* state = lilv_state_new_from_world(host.world(), host.map(), darkWash);
    ASSERT_TRUE(state);
    EXPECT_STREQ(lilv_state_get_label(state), "04 Dark Wash");
    std::map<std::string, float> values;
    lilv_state_restore(state, host.instance(),
                       [](const char* symbol, void* data, const void* value, std::uint32_t, std::uint32_t) {
                           (*static_cast<std::map<std::string, float>*>(data))[symbol] = *static_cast<const float*>(value);
                       },
                       &values, 0, nullptr);
    EXPECT_EQ(values.size(), 6u);
    EXPECT_GT(values["gravitas"], 0.5f) << "a long, dark reverberation";
    lilv_state_free(state);
    lilv_node_free(darkWash);
    lilv_nodes_free(presets);
    lilv_node_free(presetClass);

    const auto left = testsignals::noise(20000, 3, 0.5f), right = testsignals::noise(20000, 4, 0.5f);
    const auto first = host.render(left, right, [] { return 256u; });
    lilv_instance_deactivate(host.instance());
    lilv_instance_activate(host.instance());
    const auto again = host.render(left, right, [] { return 256u; });
    EXPECT_EQ(first, again) << "activate starts from a clean state";
}
