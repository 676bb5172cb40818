// orvane.lv2 as LV2 hosts meet it: Debian's validator and command-line hosts
// on the built bundle, and a small lilv host of our own that checks what a
// real-time host relies on.

#include <gtest/gtest.h>

#include "tests/engine/AllocationCounter.h"
#include "tests/hosts/LV2Host.h"
#include "tests/hosts/SoundFiles.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"

#include <lv2/presets/presets.h>
#include <sndfile.h>

#include <random>

namespace {

namespace fs = std::filesystem;
using namespace lv2host;
using testprocess::Process;

std::string withLV2Path(const std::string& command) { return "LV2_PATH='" + kLV2Path.string() + "' " + command; }


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
    World world;
    ASSERT_TRUE(world.plugin);
    LilvWorld* w = world.world;
    LilvNode* presetClass = lilv_new_uri(w, LV2_PRESETS__Preset);
    LilvNode* label = lilv_new_uri(w, LILV_NS_RDFS "label");
    LilvNode* comment = lilv_new_uri(w, LILV_NS_RDFS "comment");
    LilvNode* maintainer = lilv_new_uri(w, "http://usefulinc.com/ns/doap#maintainer");
    // Presets by label, as a host that sorts by label lists them: their URIs
    // must then come in factory order.
    std::map<std::string, std::string> byLabel;
    LilvNodes* presets = lilv_plugin_get_related(world.plugin, presetClass);
    LILV_FOREACH(nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(w, preset);
        LilvNodes* labels = lilv_world_find_nodes(w, preset, label, nullptr);
        ASSERT_TRUE(labels && lilv_nodes_size(labels) == 1);
        byLabel[lilv_node_as_string(lilv_nodes_get_first(labels))] = lilv_node_as_uri(preset);
        lilv_nodes_free(labels);
    }
    EXPECT_EQ(byLabel.size(), 9u);
    EXPECT_EQ(byLabel.count("04 Dark Wash"), 1u);
    std::size_t index = 0;
    for (const auto& [name, uri] : byLabel)
        EXPECT_EQ(uri, std::string(kPresetURIPrefix) + std::to_string(index++)) << name;

    // What a preset sets the ports to, restored into an instance.
    Instance instance(world);
    ASSERT_TRUE(instance);
    const auto restored = [&](int number) {
        std::map<std::string, float> values;
        LilvNode* uri = lilv_new_uri(w, (std::string(kPresetURIPrefix) + std::to_string(number)).c_str());
        LilvState* state = lilv_state_new_from_world(w, &world.map, uri);
        EXPECT_TRUE(state) << number;
        if (state)
            lilv_state_restore(state, instance.lilv(),
                               [](const char* symbol, void* data, const void* value, std::uint32_t, std::uint32_t) {
                                   (*static_cast<std::map<std::string, float>*>(data))[symbol] = *static_cast<const float*>(value);
                               },
                               &values, 0, nullptr);
        lilv_state_free(state);
        lilv_node_free(uri);
        return values;
    };
    EXPECT_GT(restored(3)["gravitas"], 0.5f) << "Dark Wash: a long, dark reverberation";
    // A new instance's controls: what factory preset 0 holds.
    auto values = restored(0);
    ASSERT_EQ(values.size(), kParameterCount);
    for (std::uint32_t i = 0; i < kParameterCount; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(world.plugin, kFirstParameterPort + i);
        const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(world.plugin, port));
        LilvNode* initial = nullptr;
        lilv_port_get_range(world.plugin, port, &initial, nullptr, nullptr);
        ASSERT_TRUE(initial) << symbol;
        EXPECT_EQ(lilv_node_as_float(initial), values[symbol]) << symbol;
        lilv_node_free(initial);
        LilvNodes* comments = lilv_port_get_value(world.plugin, port, comment);
        EXPECT_TRUE(comments && std::string(lilv_node_as_string(lilv_nodes_get_first(comments))).size() > 20) << symbol;
        lilv_nodes_free(comments);
    }
    for (LilvNode* property : {comment, maintainer}) {
        LilvNodes* found = lilv_plugin_get_value(world.plugin, property);
        EXPECT_TRUE(found && lilv_nodes_size(found) == 1) << lilv_node_as_uri(property);
        lilv_nodes_free(found);
    }
    for (LilvNode* node : {presetClass, label, comment, maintainer}) lilv_node_free(node);
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
        const auto a = testsound::wavSamples(ours), b = testsound::wavSamples(theirs);
        ASSERT_EQ(a.size(), b.size()) << said;
        ASSERT_GT(a.size(), 100000u);
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(a[i], b[i]) << "blocks of " << block << ": sample " << i << " differs";
    }
}

TEST(LV2Plugin, RendersAnyBlockInPlaceWithoutAllocatingBypassesExactlyAndStartsAfreshOnActivation) {
    World world;
    Instance host(world), other(world);
    ASSERT_TRUE(host) << "the plug-in must load from " << kBundle;
    ASSERT_TRUE(other);
    const auto left = testsignals::noise(48000, 11, 0.5f), right = testsignals::noise(48000, 12, 0.5f);
    // Without grain modulation, wander or reverberation the output does not
    // depend on where the blocks fall.
    auto reference = host.render(left, right, [] { return 512u; });
    EXPECT_NE(reference.first, left) << "the effect is on";
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
    // Separate buffers give what in-place buffers give after the same past;
    // run(0) does nothing. (No reverberation: each instance draws its own
    // echo pattern.)
    host.controls = {0.3f, 0.7f, 0.5f, 0.6f, 0.4f, 0.0f, 1.0f, 5.0f};
    std::vector<float> inL(left.begin(), left.begin() + 8192), inR(right.begin(), right.begin() + 8192);
    std::vector<float> outL(8192), outR(8192);
    other.controls = host.controls;
    host.render(left, right, [] { return 4096u; });
    other.render(left, right, [] { return 4096u; });
    {
        orvane::testing::AllocationCounter counter;
        host.run(inL.data(), inR.data(), outL.data(), outR.data(), 0);
        host.run(inL.data(), inR.data(), outL.data(), outR.data(), 8192);
        EXPECT_EQ(counter.count(), 0u) << "run allocates nothing, even with changed controls and pieces";
    }
    EXPECT_EQ(host.controls[7], 0.0f) << "the latency port reports 0";
    auto inPlace = other.render(inL, inR, [] { return 8192u; });
    EXPECT_EQ(inPlace.first, outL);
    EXPECT_EQ(inPlace.second, outR);

    host.controls[6] = 0.0f; // lv2:enabled off
    host.run(inL.data(), inR.data(), outL.data(), outR.data(), 1000);
    EXPECT_TRUE(std::equal(outL.begin(), outL.begin() + 1000, inL.begin()) &&
                std::equal(outR.begin(), outR.begin() + 1000, inR.begin())) << "bypassed: the input exactly";
    host.controls[6] = 1.0f;
    host.run(inL.data(), inR.data(), outL.data(), outR.data(), 1000);
    EXPECT_FALSE(std::equal(outL.begin(), outL.begin() + 1000, inL.begin())) << "enabled again";

    // A fresh instance's lines glide in from their first delays; after each
    // activation they start where the settings put them.
    const auto afresh = [&] {
        lilv_instance_deactivate(host.lilv());
        lilv_instance_activate(host.lilv());
        return host.render(left, right, [] { return 512u; });
    };
    EXPECT_EQ(afresh(), afresh()) << "activate starts from a clean state";
}

// Ports at the edges of their ranges: the last parameter and the ports beside
// it (enabled, latency), and numbers past the port count, which are ignored.
TEST(LV2Plugin, PortsAtTheEdgesOfTheParametersReachTheirOwnFieldsAndPortsPastTheCountNone) {
    World world;
    Instance host(world), other(world);
    ASSERT_TRUE(host && other);
    const auto left = testsignals::noise(4096, 21, 0.5f), right = testsignals::noise(4096, 22, 0.5f);
    float stray = 0.0f;
    for (const std::uint32_t port : {std::uint32_t(kPortCount), kPortCount + 1u, 0xffffffffu})
        lilv_instance_connect_port(host.lilv(), port, &stray);
    for (Instance* each : {&host, &other}) each->controls = {0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.0f, 1.0f, 7.0f};
    EXPECT_EQ(host.render(left, right, [] { return 512u; }), other.render(left, right, [] { return 512u; }))
        << "ports past the count change nothing";
    EXPECT_EQ(stray, 0.0f);
    EXPECT_EQ(host.controls[kLatencyPort - kFirstParameterPort], 0.0f) << "the latency port, just past enabled";

    // The last parameter, gravitas, is read from its own port and from no other.
    other.controls[kParameterCount - 1] = 1.0f;
    const auto gravitas = other.render(left, right, [] { return 512u; });
    EXPECT_NE(gravitas, host.render(left, right, [] { return 512u; }));
    host.controls[kEnabledPort - kFirstParameterPort] = 0.0f;
    const auto bypassed = host.render(left, right, [] { return 512u; });
    EXPECT_EQ(bypassed.first, left) << "enabled, just past the last parameter, bypasses";
}
