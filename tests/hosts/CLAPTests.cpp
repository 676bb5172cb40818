// Orvane.clap as CLAP hosts meet it: the built module loaded through its
// entry, instances driven through the plug-in's extensions by a small host
// of our own, its editor embedded in a window on a private X server, and
// Qtractor's own scanner where Qtractor is installed.

#include <gtest/gtest.h>

#include "platform/foundation/MainQueue.h"
#include "platform/foundation/PropertyList.h"
#include "hosts/adapter/EditQueue.h"
#include "tests/engine/AllocationCounter.h"
#include "tests/hosts/CLAPHost.h"
#include "tests/hosts/PluginTestSupport.h"
#include "tests/hosts/SoundFiles.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"
#include "tests/support/XServer.h"

#include <cmath>
#include <optional>

namespace {

namespace fs = std::filesystem;
using namespace claphost;
using namespace plugintest;
using testprocess::Process;
using orvane::clap::kBypassParameter;

std::array<double, kKnobs> presetValues(const std::string& fileName) {
    return plugintest::presetValues(kUnitBundle, fileName);
}

/// The six values at the start of the first block, as a host sends a
/// session's settings.
std::function<void(std::size_t, std::uint32_t, InputEvents&)> settingsAtStart(const std::array<double, kKnobs>& values) {
    return [values](std::size_t first, std::uint32_t, InputEvents& events) {
        if (first != 0) return;
        for (int k = 0; k < kKnobs; ++k) events.add(clap_id(k), 0, values[std::size_t(k)]);
    };
}

std::vector<std::string> features(const clap_plugin_descriptor_t& d) {
    std::vector<std::string> list;
    for (auto** f = d.features; f && *f; ++f) list.emplace_back(*f);
    return list;
}

} // namespace

TEST(CLAPModule, ExportsItsEntryAloneAndOffersOneStereoEffectWithSixKnobsAndABypass) {
    EXPECT_EQ(testprocess::shellOutput("nm -D --defined-only '" + kModule.string() + "' | awk '{print $3}'"),
              "clap_entry\n");
    const auto& factory = Module::shared().factory();
    ASSERT_EQ(factory.get_plugin_count(&factory), 1u);
    EXPECT_EQ(factory.get_plugin_descriptor(&factory, 1), nullptr);
    const auto& d = *factory.get_plugin_descriptor(&factory, 0);
    EXPECT_STREQ(d.id, "org.orvane.orvane");
    EXPECT_STREQ(d.name, "Orvane");
    EXPECT_STREQ(d.vendor, "The Orvane developers");
    EXPECT_STREQ(d.version, ORVANE_VERSION);
    EXPECT_EQ(features(d), (std::vector<std::string>{"audio-effect", "reverb", "delay", "stereo"}));
    Host host;
    EXPECT_EQ(factory.create_plugin(&factory, host.clapHost(), "org.orvane.other"), nullptr);

    // Copied without the folder beside it, it lists itself but does not start.
    {
        platform::testing::TempFolder alone;
        fs::copy_file(kModule, alone / "Orvane.clap");
        void* handle = ::dlopen((alone / "Orvane.clap").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(handle) << ::dlerror();
        const auto* entry = static_cast<const clap_plugin_entry_t*>(::dlsym(handle, "clap_entry"));
        ASSERT_TRUE(entry && entry->init((alone / "Orvane.clap").c_str()));
        const auto* copy = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
        const auto* plugin = copy->create_plugin(copy, host.clapHost(), "org.orvane.orvane");
        ASSERT_TRUE(plugin);
        EXPECT_FALSE(plugin->init(plugin));
        plugin->destroy(plugin);
        entry->deinit();
        ::dlclose(handle);
    }

    Instance plugin;
    const auto* ports = plugin.extension<clap_plugin_audio_ports_t>(CLAP_EXT_AUDIO_PORTS);
    ASSERT_TRUE(ports);
    for (bool input : {true, false}) {
        ASSERT_EQ(ports->count(plugin.plugin, input), 1u);
        clap_audio_port_info_t info{};
        ASSERT_TRUE(ports->get(plugin.plugin, 0, input, &info));
        EXPECT_EQ(info.channel_count, 2u);
        EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
        EXPECT_TRUE(info.flags & CLAP_AUDIO_PORT_IS_MAIN);
        EXPECT_EQ(info.in_place_pair, info.id) << "in place: the output pairs with the input";
        EXPECT_FALSE(ports->get(plugin.plugin, 1, input, &info)) << "one port past the end";
    }
    const auto* latency = plugin.extension<clap_plugin_latency_t>(CLAP_EXT_LATENCY);
    ASSERT_TRUE(latency);
    EXPECT_EQ(latency->get(plugin.plugin), 0u);
    EXPECT_EQ(plugin.extension<void>("clap.no-such-extension"), nullptr);

    ASSERT_EQ(plugin.params->count(plugin.plugin), std::uint32_t(kKnobs + 1));
    const auto first = presetValues("01-First Light.aupreset");
    clap_param_info_t info{};
    for (int k = 0; k < kKnobs; ++k) {
        ASSERT_TRUE(plugin.params->get_info(plugin.plugin, std::uint32_t(k), &info));
        EXPECT_EQ(info.id, clap_id(k));
        EXPECT_STREQ(info.name, kKnobNames[k]);
        EXPECT_TRUE(info.flags & CLAP_PARAM_IS_AUTOMATABLE);
        EXPECT_EQ(info.min_value, 0.0);
        EXPECT_EQ(info.max_value, 1.0);
        EXPECT_NEAR(info.default_value, first[std::size_t(k)], 1e-6) << kKnobNames[k];
        EXPECT_NEAR(plugin.value(clap_id(k)), first[std::size_t(k)], 1e-6) << kKnobNames[k];
    }
    ASSERT_TRUE(plugin.params->get_info(plugin.plugin, kKnobs, &info));
    EXPECT_EQ(info.id, kBypassParameter);
    EXPECT_TRUE(info.flags & CLAP_PARAM_IS_BYPASS);
    EXPECT_TRUE(info.flags & CLAP_PARAM_IS_STEPPED);
    EXPECT_FALSE(plugin.params->get_info(plugin.plugin, kKnobs + 1, &info)) << "one past the end";
    double v = 0.0;
    EXPECT_FALSE(plugin.params->get_value(plugin.plugin, 6, &v)) << "no parameter 6";
}

TEST(CLAPParameters, HostsShowTheEditorsReadoutsReadTypedValuesBackAndFlushWhileNotProcessing) {
    Instance plugin(0.0);
    const auto shown = [&](clap_id id, double value) {
        char text[64] = "";
        EXPECT_TRUE(plugin.params->value_to_text(plugin.plugin, id, value, text, sizeof text));
        return std::string(text);
    };
    const auto read = [&](clap_id id, const std::string& typed) -> std::optional<double> {
        double value = -1.0;
        if (!plugin.params->text_to_value(plugin.plugin, id, typed.c_str(), &value)) return std::nullopt;
        return value;
    };
    EXPECT_EQ(shown(0, 0.62), "62% wet");
    EXPECT_EQ(shown(1, 1.0), "depth 50 ms");
    EXPECT_EQ(shown(5, 0.0), "no reverb");
    EXPECT_EQ(shown(5, 0.5), "decay 2.2 s");
    EXPECT_EQ(shown(kBypassParameter, 1.0), "On");
    char small[5];
    EXPECT_TRUE(plugin.params->value_to_text(plugin.plugin, 1, 1.0, small, sizeof small));
    EXPECT_STREQ(small, "dept") << "cut short to the host's field";
    EXPECT_NEAR(read(5, "4.5 s").value_or(-1), std::log(4.5 / 0.5) / std::log(20.0), 1e-4);
    EXPECT_NEAR(read(0, "62%").value_or(-1), 0.62, 1e-6);
    EXPECT_NEAR(read(0, "0.62").value_or(-1), 0.62, 1e-6);
    EXPECT_EQ(read(kBypassParameter, " ON ").value_or(-1), 1.0);
    for (const char* refused : {"", "banana", "4,5 s", "200 s"}) EXPECT_FALSE(read(5, refused)) << refused;
    EXPECT_FALSE(read(0, "150%"));
    EXPECT_FALSE(read(17, "0.5")) << "no such parameter";
    for (int k = 0; k < kKnobs; ++k) {
        for (int i = 0; i <= 100; i += 5) {
            const std::string words = shown(clap_id(k), i / 100.0);
            const auto back = read(clap_id(k), words);
            ASSERT_TRUE(back) << kKnobNames[k] << " " << words;
            EXPECT_EQ(number(shown(clap_id(k), *back)), number(words)) << kKnobNames[k] << ": " << words;
        }
    }

    // Inactive, a flush sets the values at once; active, too, between blocks.
    InputEvents in;
    in.add(3, 0, 0.25);
    in.add(kBypassParameter, 0, 1.0);
    EXPECT_TRUE(plugin.flush(&in).empty()) << "the host's own values are not sent back";
    EXPECT_NEAR(plugin.value(3), 0.25, 1e-6);
    EXPECT_EQ(plugin.value(kBypassParameter), 1.0);
    plugin.activate(48000.0, 512);
    in.clear();
    in.add(3, 0, 0.75);
    plugin.flush(&in);
    EXPECT_NEAR(plugin.value(3), 0.75, 1e-6);
    const auto saved = platform::parsePropertyList(plugin.saved());
    ASSERT_TRUE(saved);
    const auto* impatience = saved->find("orvane_params") ? saved->find("orvane_params")->find("impatience") : nullptr;
    ASSERT_TRUE(impatience && impatience->real());
    EXPECT_NEAR(*impatience->real(), 0.75, 1e-6) << "the flushed value is in the saved state";
}

TEST(CLAPRender, AnyRateAndBlockStaysFiniteBypassIsExactAndWithoutReverberationMatchesOrvaneRender) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        const auto frames = static_cast<std::size_t>(rate * 0.25);
        const auto left = testsignals::noise(frames, 3, 0.9f), right = testsignals::noise(frames, 4, 0.9f);
        for (std::uint32_t block : {1u, 7u, 64u, 4096u}) {
            Instance plugin(rate, block);
            auto l = left, r = right;
            // Runaway Echoes' kind of settings, then every knob at the top a
            // third of the way in.
            plugin.render(l, r, block, [&](std::size_t first, std::uint32_t n, InputEvents& events) {
                if (first == 0) settingsAtStart({0.6, 0.5, 0.5, 0.95, 0.3, 0.7})(0, n, events);
                if (first <= frames / 3 && frames / 3 < first + n)
                    for (int k = 0; k < kKnobs; ++k) events.add(clap_id(k), std::uint32_t(frames / 3 - first), 1.0);
            });
            plugintest::expectFiniteWithinFullScale(l, r, rate, block);
        }
    }

    Instance bypassed;
    auto l = testsignals::noise(9000, 5, 0.7f), r = testsignals::noise(9000, 6, 0.7f);
    const auto inL = l, inR = r;
    bypassed.render(l, r, 512, [](std::size_t first, std::uint32_t, InputEvents& events) {
        if (first == 0) events.add(kBypassParameter, 0, 1.0);
    });
    EXPECT_EQ(l, inL);
    EXPECT_EQ(r, inR);
    EXPECT_EQ(bypassed.value(kBypassParameter), 1.0);

    // The same input and settings through orvane-render, in blocks of the
    // same size: the same bits.
    const std::array<double, kKnobs> settings{0.45, 0.3, 0.4, 0.45, 0.1, 0.0};
    plugintest::expectTheBitsOfOrvaneRender(settings, [&](std::uint32_t block, std::vector<float>& l, std::vector<float>& r) {
        Instance plugin(48000.0, block);
        plugin.render(l, r, block, settingsAtStart(settings));
    });
}

TEST(CLAPRender, AValueDueInsideABlockTakesEffectAtItsFrameUnlessCloserThanSixteenToAnEdge) {
    constexpr std::uint32_t kBlock = 512;
    const auto left = testsignals::noise(4 * kBlock, 9, 0.6f), right = testsignals::noise(4 * kBlock, 10, 0.6f);
    const std::array<double, kKnobs> settings{0.8, 0.2, 0.3, 0.7, 0.0, 0.0};
    // Renders the second block with premix changed at `offset`, either as
    // one host block or as two host blocks split at `split` with the change
    // at the start of the second.
    const auto render = [&](std::uint32_t offset, std::optional<std::uint32_t> split) {
        Instance plugin(48000.0, kBlock);
        auto l = left, r = right;
        InputEvents events;
        for (std::uint32_t b = 0; b < 4; ++b) {
            float* pl = l.data() + b * kBlock;
            float* pr = r.data() + b * kBlock;
            events.clear();
            if (b == 0) settingsAtStart(settings)(0, kBlock, events);
            if (b != 1) {
                plugin.process(pl, pr, kBlock, &events);
            } else if (!split) {
                events.add(0, offset, 0.1);
                plugin.process(pl, pr, kBlock, &events);
            } else {
                plugin.process(pl, pr, *split, &events);
                events.clear();
                events.add(0, 0, 0.1);
                plugin.process(pl + *split, pr + *split, kBlock - *split, &events);
            }
        }
        return l;
    };
    const auto atStart = render(0, std::nullopt);
    for (std::uint32_t offset : {15u, 16u, 17u, 200u, kBlock - 17, kBlock - 16, kBlock - 15}) {
        const bool exact = offset >= 16 && offset <= kBlock - 16;
        const auto got = render(offset, std::nullopt);
        if (exact) {
            EXPECT_EQ(got, render(0, offset)) << "a change at frame " << offset << " must take effect there";
            EXPECT_NE(got, atStart) << "a change at frame " << offset << " is not one at the start";
        } else {
            EXPECT_EQ(got, atStart) << "a change at frame " << offset << " joins the block's start";
        }
    }
}

TEST(CLAPState, SavedStateRestoresIntoAnotherInstanceAndWhatCannotBeReadChangesNothing) {
    const std::array<double, kKnobs> settings{0.35, 0.6, 0.25, 0.8, 0.05, 0.0};
    const auto left = testsignals::noise(20000, 13, 0.5f), right = testsignals::noise(20000, 14, 0.5f);
    Instance first;
    auto l1 = left, r1 = right;
    first.render(l1, r1, 500, settingsAtStart(settings));
    const auto saved = first.saved();
    EXPECT_EQ(std::string(saved.begin(), saved.begin() + 8), "bplist00");

    // The host's bypass is part of the session.
    {
        InputEvents in;
        in.add(kBypassParameter, 0, 1.0);
        first.flush(&in);
        Instance restored;
        ASSERT_TRUE(restored.load(first.saved()));
        EXPECT_EQ(restored.value(kBypassParameter), 1.0);
        auto l = left, r = right;
        restored.render(l, r, 500);
        EXPECT_EQ(l, left) << "restored bypassed, it passes its input";
    }

    Instance second;
    ASSERT_TRUE(second.load(saved));
    ASSERT_FALSE(second.host.rescans.empty());
    EXPECT_TRUE(second.host.rescans.back() & CLAP_PARAM_RESCAN_VALUES) << "the host reads the values again";
    for (int k = 0; k < kKnobs; ++k) EXPECT_NEAR(second.value(clap_id(k)), settings[std::size_t(k)], 1e-6) << kKnobNames[k];
    auto l2 = left, r2 = right;
    second.render(l2, r2, 500);
    Instance fresh;
    auto l3 = left, r3 = right;
    fresh.render(l3, r3, 500, settingsAtStart(settings));
    EXPECT_EQ(l2, l3) << "a restored instance renders as one given the settings";
    EXPECT_EQ(r2, r3);

    // Garbage, another plug-in's state, nothing and half a state leave it
    // as it was.
    const auto before = second.saved();
    auto plist = platform::parsePropertyList(saved);
    ASSERT_TRUE(plist);
    (*plist->dictionary())["subtype"] = platform::PropertyList(std::int64_t{0x41424344});
    const auto foreign = platform::serializePropertyList(*plist, platform::PlistFormat::binary);
    ASSERT_TRUE(foreign);
    for (const auto& bad : {std::vector<std::uint8_t>{'n', 'o', 'p', 'e'}, *foreign, std::vector<std::uint8_t>{},
                            std::vector<std::uint8_t>(saved.begin(), saved.begin() + long(saved.size() / 2))}) {
        EXPECT_FALSE(second.load(bad));
        EXPECT_EQ(second.saved(), before);
        EXPECT_NEAR(second.value(1), settings[1], 1e-6);
    }
}

TEST(CLAPRender, ProcessAllocatesNothingAndAsksTheHostToRunOnThroughTheTail) {
    constexpr std::uint32_t kBlock = 256;
    Instance plugin(48000.0, kBlock);
    auto l = testsignals::noise(24000, 15, 0.5f), r = testsignals::noise(24000, 16, 0.5f);
    InputEvents in;
    OutputEvents out;
    orvane::testing::AllocationCounter counter;
    std::size_t allocations = 0;
    for (std::size_t at = 0; at + kBlock <= l.size(); at += kBlock) {
        in.clear();
        if (at == 0) settingsAtStart({0.5, 0.4, 0.6, 0.5, 0.2, 0.6})(0, kBlock, in);
        in.add(2, kBlock / 2, double(at % 7) / 7.0);
        in.add(kBypassParameter, 0, at % 3 == 0 ? 1.0 : 0.0);
        const auto before = counter.count();
        const auto status = plugin.process(l.data() + at, r.data() + at, kBlock, &in, &out);
        allocations += counter.count() - before;
        ASSERT_EQ(status, CLAP_PROCESS_CONTINUE_IF_NOT_QUIET);
    }
    EXPECT_EQ(allocations, 0u) << "allocations inside process";
    EXPECT_TRUE(out.events.empty());
}

TEST(CLAPEditQueue, HandsEditsOverInOrderAcrossItsEndAndRefusesWhatItCannotHold) {
    using orvane::adapter::EditQueue;
    EditQueue queue;
    float next = 0.0f, expected = 0.0f;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(queue.push({EditQueue::Kind(i % 3), std::uint8_t(i % 6), next++}));
        for (int i = 0; i < 200; ++i) {
            const auto edit = queue.pop();
            ASSERT_TRUE(edit) << "round " << round << ", edit " << i;
            EXPECT_EQ(edit->value, expected++);
            EXPECT_EQ(edit->kind, EditQueue::Kind(i % 3));
            EXPECT_EQ(edit->address, i % 6);
        }
        EXPECT_FALSE(queue.pop()) << "nothing left after round " << round;
    }
    for (std::uint32_t i = 0; i < EditQueue::kCapacity; ++i) ASSERT_TRUE(queue.push({EditQueue::Kind::value, 0, 1.0f}));
    EXPECT_FALSE(queue.push({EditQueue::Kind::value, 0, 2.0f})) << "full";
}

namespace {

/// The editor made and embedded in `parent`, destroyed when it goes.
struct OpenEditor {
    OpenEditor(Instance& plugin, Window parent) : plugin(plugin) {
        created = plugin.gui->create(plugin.plugin, CLAP_WINDOW_API_X11, false);
        clap_window_t window{CLAP_WINDOW_API_X11, {}};
        window.x11 = parent;
        attached = created && plugin.gui->set_parent(plugin.plugin, &window) && plugin.gui->show(plugin.plugin);
    }
    ~OpenEditor() {
        if (created) plugin.gui->destroy(plugin.plugin);
    }
    Instance& plugin;
    bool created = false;
    bool attached = false;
};

} // namespace

TEST(CLAPEditor, EmbedsInTheHostsWindowResizesSendsGesturesThroughFlushesAndClosesAHundredTimesWithoutGrowing) {
    testx::XServer x;
    Display* d = x.display();
    const Window parent = testx::hostWindow(x, 900, 700);
    Instance plugin;
    const auto* gui = plugin.gui;
    const auto* p = plugin.plugin;
    EXPECT_TRUE(gui->is_api_supported(p, CLAP_WINDOW_API_X11, false));
    EXPECT_FALSE(gui->is_api_supported(p, CLAP_WINDOW_API_X11, true)) << "embedded only";
    EXPECT_FALSE(gui->is_api_supported(p, CLAP_WINDOW_API_WAYLAND, false));
    EXPECT_FALSE(gui->create(p, CLAP_WINDOW_API_WIN32, false));
    {
        Instance timerless;
        timerless.host.offersTimers = false;
        OpenEditor editor(timerless, parent);
        EXPECT_TRUE(editor.created);
        EXPECT_FALSE(editor.attached) << "without the host's timer nothing would draw";
    }
    {
        OpenEditor editor(plugin, parent);
        ASSERT_TRUE(editor.attached);
        ASSERT_EQ(plugin.host.timers.size(), 1u) << "the editor runs on the host's timer";
        plugin.runTimers(200);
        std::uint32_t w = 0, h = 0;
        ASSERT_TRUE(gui->get_size(p, &w, &h));
        EXPECT_EQ(w, 420u);
        EXPECT_EQ(h, 280u);
        const auto children = childWindows(d, parent);
        ASSERT_EQ(children.size(), 1u) << "one child window in the host's";
        EXPECT_TRUE(gui->can_resize(p));
        w = h = 10;
        ASSERT_TRUE(gui->adjust_size(p, &w, &h));
        EXPECT_EQ(w, 210u) << "too small is made large enough";
        EXPECT_EQ(h, 140u);
        ASSERT_TRUE(gui->set_size(p, 600, 400));
        plugin.runTimers(200);
        XWindowAttributes attributes;
        XGetWindowAttributes(d, children[0], &attributes);
        EXPECT_EQ(attributes.width, 600);
        EXPECT_EQ(attributes.height, 400);
        ASSERT_TRUE(gui->get_size(p, &w, &h));
        EXPECT_EQ(w, 600u);

        // A drag up on the first knob (granularity, top left): the host is
        // asked to flush, and the next process hands it begin, rising
        // values, end; the rendering side has the last.
        const double before = plugin.value(1);
        const std::string knob = "mousemove --window " + std::to_string(children[0]) + " 100 ";
        ASSERT_TRUE(x.xdotool(knob + "100 mousedown 1"));
        plugin.runTimers(100);
        for (int y = 95; y >= 40; y -= 5) {
            x.xdotool(knob + std::to_string(y));
            plugin.runTimers(20);
        }
        x.xdotool("mouseup 1");
        plugin.runTimers(200);
        EXPECT_GT(plugin.host.flushRequests, 0);
        std::vector<float> l(256), r(256);
        OutputEvents out;
        ASSERT_EQ(plugin.process(l.data(), r.data(), 256, nullptr, &out), CLAP_PROCESS_CONTINUE_IF_NOT_QUIET);
        const auto& events = out.events;
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events.front().type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
        EXPECT_EQ(events.front().id, 1u);
        EXPECT_EQ(events.back().type, CLAP_EVENT_PARAM_GESTURE_END);
        ASSERT_EQ(events[events.size() - 2].type, CLAP_EVENT_PARAM_VALUE);
        EXPECT_GT(events[events.size() - 2].value, before);
        EXPECT_NEAR(plugin.value(1), events[events.size() - 2].value, 1e-6);
        EXPECT_TRUE(plugin.flush().empty()) << "each edit is sent once";

        // The host's value reaches the knob, and is not sent back.
        InputEvents in;
        in.add(1, 0, 0.05);
        plugin.process(l.data(), r.data(), 256, &in);
        plugin.runTimers(100);
        EXPECT_TRUE(plugin.flush().empty()) << "a knob following the host echoes nothing";
        EXPECT_NEAR(plugin.value(1), 0.05, 1e-6);

        // Closed in the middle of a drag: the gesture ends.
        x.xdotool(knob + "100 mousedown 1");
        plugin.runTimers(100);
        x.xdotool(knob + "60");
        plugin.runTimers(100);
        gui->destroy(p);
        editor.created = false;
        x.xdotool("mouseup 1");
        const auto closing = plugin.flush();
        ASSERT_FALSE(closing.empty());
        EXPECT_EQ(closing.front().type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
        EXPECT_EQ(closing.back().type, CLAP_EVENT_PARAM_GESTURE_END);
        EXPECT_TRUE(plugin.host.timers.empty()) << "destroying unregisters the timer";
    }

    // At twice the scale, twice the pixels; a new scale while open opens
    // the window again at it, as large in points, and asks the host for room.
    {
        ASSERT_TRUE(gui->create(p, CLAP_WINDOW_API_X11, false));
        ASSERT_TRUE(gui->set_scale(p, 2.0));
        std::uint32_t w = 0, h = 0;
        ASSERT_TRUE(gui->get_size(p, &w, &h));
        EXPECT_EQ(w, 840u);
        EXPECT_EQ(h, 560u);
        clap_window_t window{CLAP_WINDOW_API_X11, {}};
        window.x11 = parent;
        ASSERT_TRUE(gui->set_parent(p, &window));
        ASSERT_TRUE(gui->set_scale(p, 1.0));
        ASSERT_TRUE(gui->get_size(p, &w, &h));
        EXPECT_EQ(w, 420u);
        EXPECT_EQ(h, 280u);
        ASSERT_FALSE(plugin.host.resizes.empty());
        EXPECT_EQ(plugin.host.resizes.back(), std::make_pair(420u, 280u));
        EXPECT_EQ(childWindows(d, parent).size(), 1u);
        EXPECT_EQ(plugin.host.timers.size(), 1u);
        gui->destroy(p);
    }

    // Opened and closed many times while the host changes values: nothing
    // left behind.
    const int cycles = kSanitized ? 20 : 100;
    long afterTenth = 0;
    InputEvents in;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        OpenEditor editor(plugin, parent);
        ASSERT_TRUE(editor.attached) << "cycle " << cycle;
        in.clear();
        in.add(5, 0, double(cycle % 10) / 10.0);
        plugin.flush(&in);
        plugin.runTimers(5);
        if (cycle == 9) afterTenth = testprocess::residentKilobytes();
    }
    const long afterLast = testprocess::residentKilobytes();
    if (!kSanitized) {
        EXPECT_LE(std::labs(afterLast - afterTenth), 2048) << afterTenth << " kB, then " << afterLast << " kB";
    }
    EXPECT_EQ(platform::MainQueue::shared().pendingCount(), 0u) << "tasks left on the main queue";
    EXPECT_TRUE(childWindows(d, parent).empty()) << "windows left in the host's";
    EXPECT_TRUE(plugin.host.timers.empty());
    std::printf("%d editor cycles: resident %ld kB after the tenth, %ld kB after the last\n", cycles, afterTenth, afterLast);
}

TEST(CLAPHosts, QtractorsScannerListsThePluginWithTwoInputsTwoOutputsAndItsEditor) {
    const fs::path scanner = "/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan";
    if (!fs::exists(scanner)) GTEST_SKIP() << "Qtractor is not installed (" << scanner << ")";
    if (kSanitized) GTEST_SKIP() << "an uninstrumented host cannot load a sanitizer build";
    platform::testing::TempFolder home;
    // Qtractor hands its scanner one "TYPE:path" line a plug-in file on its
    // input; the scanner answers a line for each plug-in in it.
    const auto said = testprocess::shellOutput("echo 'CLAP:" + kModule.string() + "' | HOME='" + home.path().string() +
                                               "' timeout 60 '" + scanner.string() + "' 2>&1");
    EXPECT_EQ(said.rfind("CLAP|Orvane|2:2|0:0|7:0|GUI,EXT,RT|" + kModule.string() + "|0|", 0), 0u) << said;
}
