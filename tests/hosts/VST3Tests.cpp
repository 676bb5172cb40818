// Orvane.vst3 as VST3 hosts meet it: the built module loaded through its
// entry points, instances driven through the VST3 interfaces by a small host
// of our own, its editor embedded in a window on a private X server, and
// Ardour's own scanner where Ardour is installed.

#include <gtest/gtest.h>

#include "platform/foundation/MainQueue.h"
#include "platform/foundation/PropertyList.h"
#include "tests/engine/AllocationCounter.h"
#include "tests/hosts/PluginTestSupport.h"
#include "tests/hosts/SoundFiles.h"
#include "tests/hosts/VST3Host.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"
#include "tests/support/XServer.h"

#include <fftw3.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using namespace vst3host;
using testprocess::Process;

using namespace plugintest;

std::string utf8(const TChar* text) {
    std::string out;
    for (; *text; ++text) out += static_cast<char>(*text);
    return out;
}
std::u16string utf16(const std::string& text) { return {text.begin(), text.end()}; }

/// A factory preset's six values, from its file in the bundle.
std::array<double, kKnobs> presetValues(const std::string& fileName) {
    return plugintest::presetValues(kBundle / "Contents" / "Resources" / "OrvaneAUMac.appex", fileName);
}

/// The six values at the start of the first block, as a host sends a
/// session's settings.
std::function<void(std::size_t, int32, ParameterChanges&)> settingsAtStart(const std::array<double, kKnobs>& values) {
    return [values](std::size_t first, int32, ParameterChanges& changes) {
        if (first != 0) return;
        for (int k = 0; k < kKnobs; ++k) changes.add(static_cast<ParamID>(k), 0, values[static_cast<std::size_t>(k)]);
    };
}

} // namespace

TEST(VST3Module, ExportsItsEntryPointsAloneAndOffersOneStereoEffect) {
    const auto exported = testprocess::shellOutput("nm -D --defined-only '" + kModule.string() + "' | awk '{print $3}' | sort");
    EXPECT_EQ(exported, "GetPluginFactory\nModuleEntry\nModuleExit\n");

    auto* factory = Module::shared().factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->countClasses(), 1);
    IPluginFactory2* factory2 = nullptr;
    ASSERT_EQ(factory->queryInterface(IPluginFactory2::iid, reinterpret_cast<void**>(&factory2)), kResultOk);
    PClassInfo2 info{};
    ASSERT_EQ(factory2->getClassInfo2(0, &info), kResultOk);
    EXPECT_STREQ(info.name, "Orvane");
    EXPECT_STREQ(info.category, kVstAudioEffectClass);
    EXPECT_STREQ(info.subCategories, "Fx|Delay|Reverb");
    EXPECT_STREQ(info.vendor, "The Orvane developers");
    EXPECT_STREQ(info.version, ORVANE_VERSION);
    EXPECT_NE(factory2->getClassInfo2(1, &info), kResultOk) << "one class past the end";
    PFactoryInfo about{};
    ASSERT_EQ(factory->getFactoryInfo(&about), kResultOk);
    EXPECT_STREQ(about.vendor, "The Orvane developers");
    TUID other{};
    void* nothing = &other;
    EXPECT_NE(factory->createInstance(other, IComponent::iid, &nothing), kResultOk);
    EXPECT_EQ(nothing, nullptr);

    Instance plugin;
    for (auto direction : {kInput, kOutput}) {
        EXPECT_EQ(plugin.component->getBusCount(kAudio, direction), 1);
        EXPECT_EQ(plugin.component->getBusCount(kEvent, direction), 0);
        BusInfo bus{};
        ASSERT_EQ(plugin.component->getBusInfo(kAudio, direction, 0, bus), kResultOk);
        EXPECT_EQ(bus.channelCount, 2);
        EXPECT_EQ(bus.busType, kMain);
        EXPECT_NE(plugin.component->getBusInfo(kAudio, direction, 1, bus), kResultOk) << "one bus past the end";
        EXPECT_NE(plugin.component->getBusInfo(kAudio, direction, -1, bus), kResultOk) << "one bus before the first";
        EXPECT_EQ(plugin.component->activateBus(kAudio, direction, 0, true), kResultTrue);
        EXPECT_NE(plugin.component->activateBus(kAudio, direction, 1, true), kResultTrue);
        SpeakerArrangement arrangement{};
        EXPECT_NE(plugin.processor->getBusArrangement(direction, 1, arrangement), kResultOk);
    }
    SpeakerArrangement stereo = SpeakerArr::kStereo, mono = SpeakerArr::kMono, surround = SpeakerArr::k51;
    SpeakerArrangement two[2] = {stereo, stereo};
    EXPECT_EQ(plugin.processor->setBusArrangements(&stereo, 1, &stereo, 1), kResultTrue);
    EXPECT_NE(plugin.processor->setBusArrangements(&mono, 1, &mono, 1), kResultTrue);
    EXPECT_NE(plugin.processor->setBusArrangements(&stereo, 1, &mono, 1), kResultTrue);
    EXPECT_NE(plugin.processor->setBusArrangements(&surround, 1, &surround, 1), kResultTrue);
    EXPECT_NE(plugin.processor->setBusArrangements(two, 2, &stereo, 1), kResultTrue);
    EXPECT_NE(plugin.processor->setBusArrangements(&stereo, 1, two, 0), kResultTrue);
    SpeakerArrangement kept = 0;
    EXPECT_EQ(plugin.processor->getBusArrangement(kInput, 0, kept), kResultOk);
    EXPECT_EQ(kept, SpeakerArr::kStereo) << "the host keeps stereo";
    EXPECT_EQ(plugin.processor->canProcessSampleSize(kSample32), kResultTrue);
    EXPECT_NE(plugin.processor->canProcessSampleSize(kSample64), kResultTrue);
    ProcessSetup doubles{kRealtime, kSample64, 512, 48000.0};
    EXPECT_NE(plugin.processor->setupProcessing(doubles), kResultOk);
    EXPECT_EQ(plugin.processor->getLatencySamples(), 0u);
    // First Light rings out in well under a minute, but not at once.
    const auto tail = plugin.processor->getTailSamples();
    EXPECT_GT(tail, 4800u);
    EXPECT_LT(tail, 48000u * 60u);
}

TEST(VST3Parameters, SixKnobsStartAtPresetZeroBesideTheBypassAndTheFactoryPresets) {
    Instance plugin;
    auto* controller = plugin.controller;
    ASSERT_EQ(controller->getParameterCount(), kKnobs + 2);
    const auto first = presetValues("01-First Light.aupreset");
    ParameterInfo info{};
    for (int k = 0; k < kKnobs; ++k) {
        ASSERT_EQ(controller->getParameterInfo(k, info), kResultOk);
        EXPECT_EQ(info.id, static_cast<ParamID>(k));
        EXPECT_EQ(utf8(info.title), kKnobNames[k]);
        EXPECT_NEAR(info.defaultNormalizedValue, first[static_cast<std::size_t>(k)], 1e-6) << kKnobNames[k];
        EXPECT_NEAR(controller->getParamNormalized(info.id), first[static_cast<std::size_t>(k)], 1e-6) << kKnobNames[k];
        EXPECT_TRUE(info.flags & ParameterInfo::kCanAutomate);
        EXPECT_EQ(info.stepCount, 0);
    }
    ASSERT_EQ(controller->getParameterInfo(kKnobs, info), kResultOk);
    EXPECT_EQ(info.id, orvane::vst3::kBypassParameter);
    EXPECT_TRUE(info.flags & ParameterInfo::kIsBypass);
    EXPECT_EQ(info.stepCount, 1);
    ASSERT_EQ(controller->getParameterInfo(kKnobs + 1, info), kResultOk);
    EXPECT_EQ(info.id, orvane::vst3::kProgramParameter);
    EXPECT_TRUE(info.flags & ParameterInfo::kIsProgramChange);
    EXPECT_EQ(info.stepCount, 8);
    EXPECT_NE(controller->getParameterInfo(kKnobs + 2, info), kResultOk) << "one past the end";
    EXPECT_NE(controller->getParameterInfo(-1, info), kResultOk);

    IUnitInfo* units = nullptr;
    ASSERT_EQ(plugin.component->queryInterface(IUnitInfo::iid, reinterpret_cast<void**>(&units)), kResultOk);
    UnitInfo root{};
    ASSERT_EQ(units->getUnitInfo(0, root), kResultOk);
    ProgramListInfo list{};
    ASSERT_EQ(units->getProgramListInfo(0, list), kResultOk);
    EXPECT_EQ(root.programListId, list.id);
    ASSERT_EQ(list.programCount, 9);
    // Numbered, so that hosts that sort presets by name keep the factory order.
    const char* const names[9] = {"01 First Light", "02 Stereo Doubler", "03 Grain Cloud", "04 Dark Wash", "05 Seasick Tape",
                                  "06 Small Room", "07 Runaway Echoes", "08 Frozen Cathedral", "09 Drunk Chorus"};
    String128 name{};
    for (int32 p = 0; p < 9; ++p) {
        ASSERT_EQ(units->getProgramName(list.id, p, name), kResultOk);
        EXPECT_EQ(utf8(name), names[p]);
    }
    EXPECT_NE(units->getProgramName(list.id, 9, name), kResultOk) << "one past the last preset";
    EXPECT_NE(units->getProgramName(list.id, -1, name), kResultOk) << "one before the first preset";
    EXPECT_NE(units->getUnitInfo(1, root), kResultOk);
    EXPECT_NE(units->getProgramListInfo(1, list), kResultOk);
    units->release();

    // Choosing Dark Wash sets its values and tells the host each one as an
    // edit, never asking it to read them all again from inside its own call
    // (hosts hold a lock while they choose a program).
    const ParamID program = orvane::vst3::kProgramParameter;
    ASSERT_EQ(controller->setParamNormalized(program, 3.0 / 8.0), kResultOk);
    const auto darkWash = presetValues("04-Dark Wash.aupreset");
    for (int k = 0; k < kKnobs; ++k)
        EXPECT_NEAR(controller->getParamNormalized(static_cast<ParamID>(k)), darkWash[static_cast<std::size_t>(k)], 1e-6)
            << kKnobNames[k];
    EXPECT_TRUE(plugin.handler.restarts.empty()) << "the host is not asked to restart from inside its own call";
    ASSERT_EQ(plugin.handler.edits.size(), 3u * kKnobs);
    for (int k = 0; k < kKnobs; ++k) {
        const auto& perform = plugin.handler.edits[std::size_t(3 * k + 1)];
        EXPECT_EQ(plugin.handler.edits[std::size_t(3 * k)].kind, 'b');
        EXPECT_EQ(perform.kind, 'p');
        EXPECT_EQ(perform.id, ParamID(k));
        EXPECT_NEAR(perform.value, darkWash[std::size_t(k)], 1e-6) << kKnobNames[k];
        EXPECT_EQ(plugin.handler.edits[std::size_t(3 * k + 2)].kind, 'e');
    }
    ASSERT_EQ(controller->getParamStringByValue(program, 3.0 / 8.0, name), kResultOk);
    EXPECT_EQ(utf8(name), "04 Dark Wash");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plugin.state().data()), 8), "bplist00");
}

TEST(VST3Parameters, HostsShowTheEditorsReadoutsAndReadTypedValuesBack) {
    Instance plugin;
    auto* controller = plugin.controller;
    String128 text{};
    const auto shown = [&](ParamID id, double value) {
        EXPECT_EQ(controller->getParamStringByValue(id, value, text), kResultOk);
        return utf8(text);
    };
    EXPECT_EQ(shown(0, 0.62), "62% wet");
    EXPECT_EQ(shown(1, 1.0), "depth 50 ms");
    EXPECT_EQ(shown(2, 1.0), "spread 30 ms");
    EXPECT_EQ(shown(3, 0.5), "feedback 49%");
    EXPECT_EQ(shown(4, 1.0), "wander 120 ms");
    EXPECT_EQ(shown(5, 0.0), "no reverb");
    EXPECT_EQ(shown(5, 0.5), "decay 2.2 s");
    EXPECT_EQ(shown(orvane::vst3::kBypassParameter, 1.0), "On");

    const auto read = [&](ParamID id, const std::string& typed) -> std::optional<double> {
        auto wide = utf16(typed);
        ParamValue value = -1.0;
        if (controller->getParamValueByString(id, reinterpret_cast<TChar*>(wide.data()), value) != kResultOk)
            return std::nullopt;
        return value;
    };
    EXPECT_NEAR(read(5, "4.5 s").value_or(-1), std::log(4.5 / 0.5) / std::log(20.0), 1e-4);
    EXPECT_NEAR(read(5, "4.5").value_or(-1), std::log(4.5 / 0.5) / std::log(20.0), 1e-4);
    EXPECT_NEAR(read(0, "62%").value_or(-1), 0.62, 1e-6);
    EXPECT_NEAR(read(0, "0.62").value_or(-1), 0.62, 1e-6);
    EXPECT_NEAR(read(2, "30 ms").value_or(-1), 1.0, 1e-6);
    EXPECT_EQ(read(5, "no reverb").value_or(-1), 0.0);
    for (const char* refused : {"", "banana", "4,5 s", "30 parsecs", "200 s"}) EXPECT_FALSE(read(5, refused)) << refused;
    EXPECT_FALSE(read(0, "150%"));
    EXPECT_EQ(read(orvane::vst3::kProgramParameter, "dark wash").value_or(-1), 3.0 / 8.0);
    EXPECT_EQ(read(orvane::vst3::kProgramParameter, "04 Dark Wash").value_or(-1), 3.0 / 8.0);
    // Every readout names a value whose readout it is.
    for (int k = 0; k < kKnobs; ++k) {
        for (int i = 0; i <= 100; ++i) {
            const std::string words = shown(static_cast<ParamID>(k), i / 100.0);
            const auto back = read(static_cast<ParamID>(k), words);
            ASSERT_TRUE(back) << kKnobNames[k] << " " << words;
            // Within the readout's precision: "0.0 ms" reads back as 0, shown as "0 ms".
            const std::string again = shown(static_cast<ParamID>(k), *back);
            EXPECT_EQ(number(again), number(words)) << kKnobNames[k] << " at " << i / 100.0 << ": " << words << ", then " << again;
        }
    }
}

TEST(VST3Render, AnyRateAndBlockStaysFiniteBypassIsExactAndWithoutReverberationMatchesOrvaneRender) {
    const std::array<double, kKnobs> settings{0.45, 0.3, 0.4, 0.45, 0.1, 0.0};
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        const auto frames = static_cast<std::size_t>(rate * 0.25);
        const auto left = testsignals::noise(frames, 3, 0.9f), right = testsignals::noise(frames, 4, 0.9f);
        for (int32 block : {1, 7, 64, 4096}) {
            Instance plugin(rate, block);
            auto l = left, r = right;
            // Runaway Echoes, then every knob at the top a third of the way in.
            plugin.render(l, r, block, [&](std::size_t first, int32 n, ParameterChanges& changes) {
                if (first == 0) changes.add(orvane::vst3::kProgramParameter, 0, 6.0 / 8.0);
                if (first <= frames / 3 && frames / 3 < first + std::size_t(n))
                    for (int k = 0; k < kKnobs; ++k) changes.add(ParamID(k), int32(frames / 3 - first), 1.0);
            });
            plugintest::expectFiniteWithinFullScale(l, r, rate, std::uint32_t(block));
        }
    }

    Instance bypassed;
    auto l = testsignals::noise(9000, 5, 0.7f), r = testsignals::noise(9000, 6, 0.7f);
    const auto inL = l, inR = r;
    bypassed.render(l, r, 512, [](std::size_t first, int32, ParameterChanges& changes) {
        if (first == 0) changes.add(orvane::vst3::kBypassParameter, 0, 1.0);
    });
    EXPECT_EQ(l, inL);
    EXPECT_EQ(r, inR);

    // The same input and settings through orvane-render, in blocks of the
    // same size: the same bits.
    plugintest::expectTheBitsOfOrvaneRender(settings, [&](std::uint32_t block, std::vector<float>& l, std::vector<float>& r) {
        Instance plugin(48000.0, int32(block));
        plugin.render(l, r, int32(block), settingsAtStart(settings));
    });
}

TEST(VST3Render, AutomationTakesEffectAtItsFramesAndFollowsTheLineBetweenPoints) {
    constexpr int32 kBlock = 512;
    const auto left = testsignals::noise(4 * kBlock, 9, 0.6f), right = testsignals::noise(4 * kBlock, 10, 0.6f);
    const std::array<double, kKnobs> settings{0.8, 0.2, 0.3, 0.7, 0.0, 0.0};
    // Four host blocks; `second` gives the changes of the second, whose
    // frames are split into host calls at `splits`. Premix gets no value in
    // the first block unless `premixFirst`: its first point then has no line
    // leading to it and takes effect as a step.
    using Changes = std::vector<std::tuple<int32, ParamID, double>>;
    const auto render = [&](const Changes& second, std::vector<int32> splits, bool premixFirst = false) {
        Instance plugin(48000.0, kBlock);
        auto l = left, r = right;
        ParameterChanges changes;
        for (int b = 0; b < 4; ++b) {
            std::vector<int32> edges{0};
            if (b == 1) edges.insert(edges.end(), splits.begin(), splits.end());
            edges.push_back(kBlock);
            for (std::size_t e = 0; e + 1 < edges.size(); ++e) {
                changes.clear();
                if (b == 0)
                    for (int k = premixFirst ? 0 : 1; k < kKnobs; ++k) changes.add(ParamID(k), 0, settings[std::size_t(k)]);
                if (b == 1)
                    for (const auto& [at, id, value] : second)
                        if (at >= edges[e] && at < edges[e + 1]) changes.add(id, at - edges[e], value);
                plugin.process(l.data() + b * kBlock + edges[e], r.data() + b * kBlock + edges[e], edges[e + 1] - edges[e],
                               &changes);
            }
        }
        return l;
    };
    const auto atStart = render({{0, 0, 0.1}}, {});
    for (int32 offset : {15, 16, 17, 200, kBlock - 17, kBlock - 16, kBlock - 15}) {
        const bool exact = offset >= 16 && offset <= kBlock - 16;
        const auto got = render({{offset, 0, 0.1}}, {});
        if (exact) {
            EXPECT_EQ(got, render({{offset, 0, 0.1}}, {offset})) << "a change at frame " << offset << " takes effect there";
            EXPECT_NE(got, atStart) << "a change at frame " << offset << " is not one at the start";
        } else {
            // Too near an edge for a slice of its own: it joins the slice
            // that starts before it, here the block's first.
            EXPECT_EQ(got, atStart) << "a change at frame " << offset << " joins the block's start";
        }
    }

    // From its last point, a knob follows the host's line to the next in
    // steps 32 frames apart.
    Changes steps;
    for (int32 at = 32; at < 256; at += 32)
        steps.emplace_back(at, 0, 0.8f + (0.1f - 0.8f) * (static_cast<float>(at) / 256.0f));
    steps.emplace_back(256, 0, 0.1);
    const auto line = render({{256, 0, 0.1}}, {}, true);
    EXPECT_EQ(line, render(steps, {}, true));
    EXPECT_NE(line, render({{256, 0, 0.1}}, {256}, false)) << "a line, not a step";

    // A program change in the audio stream sets the preset's values at its
    // frame, as the host's own values there would.
    const auto chorus = presetValues("09-Drunk Chorus.aupreset");
    ASSERT_EQ(chorus[5], 0.0) << "a preset without reverberation, whose echoes are drawn afresh";
    Changes chorusAt100;
    for (int k = 0; k < kKnobs; ++k) chorusAt100.emplace_back(100, ParamID(k), chorus[std::size_t(k)]);
    const auto program = render({{100, orvane::vst3::kProgramParameter, 1.0}}, {}, true);
    EXPECT_EQ(program, render(chorusAt100, {100}, true));
    EXPECT_NE(program, left);
}

TEST(VST3State, SavedStateRestoresIntoAnotherInstanceAndWhatCannotBeReadChangesNothing) {
    const std::array<double, kKnobs> settings{0.35, 0.6, 0.25, 0.8, 0.05, 0.0};
    const auto left = testsignals::noise(20000, 13, 0.5f), right = testsignals::noise(20000, 14, 0.5f);
    Instance first;
    auto l1 = left, r1 = right;
    first.render(l1, r1, 500, settingsAtStart(settings));
    const auto saved = first.state();

    Instance second;
    // The controller side follows whichever side the host restores.
    ASSERT_EQ(second.setState(saved), kResultOk);
    for (int k = 0; k < kKnobs; ++k)
        EXPECT_NEAR(second.controller->getParamNormalized(ParamID(k)), settings[std::size_t(k)], 1e-6) << kKnobNames[k];
    auto l2 = left, r2 = right;
    second.render(l2, r2, 500);
    Instance fresh;
    auto l3 = left, r3 = right;
    fresh.render(l3, r3, 500, settingsAtStart(settings));
    EXPECT_EQ(l2, l3) << "a restored instance renders as one given the settings";
    EXPECT_EQ(r2, r3);

    // The host's bypass comes back with the session; so does a value set
    // just before saving, with no audio processed since.
    Instance bypassed;
    ParameterChanges on;
    on.add(orvane::vst3::kBypassParameter, 0, 1.0);
    std::vector<float> l4(64, 0.25f), r4(64, 0.25f);
    bypassed.process(l4.data(), r4.data(), 64, &on);
    ASSERT_EQ(bypassed.controller->setParamNormalized(orvane::vst3::kBypassParameter, 1.0), kResultOk);
    ASSERT_EQ(bypassed.controller->setParamNormalized(4, 0.625), kResultOk);
    Instance reopened;
    ASSERT_EQ(reopened.setState(bypassed.state()), kResultOk);
    EXPECT_EQ(reopened.controller->getParamNormalized(orvane::vst3::kBypassParameter), 1.0);
    EXPECT_EQ(reopened.controller->getParamNormalized(4), 0.625);
    auto l5 = left, r5 = right;
    reopened.render(l5, r5, 500);
    EXPECT_EQ(l5, left) << "restored bypassed";

    MemoryStream controllerSide(const_cast<char*>(saved.data()), static_cast<TSize>(saved.size()));
    Instance third;
    ASSERT_EQ(third.controller->setComponentState(&controllerSide), kResultOk);
    EXPECT_NEAR(third.controller->getParamNormalized(3), settings[3], 1e-6);

    // Garbage, another plug-in's state and an empty stream leave it as it was.
    const auto before = second.state();
    auto plist = platform::parsePropertyList(std::span(reinterpret_cast<const std::uint8_t*>(saved.data()), saved.size()));
    ASSERT_TRUE(plist);
    (*plist->dictionary())["subtype"] = platform::PropertyList(std::int64_t{0x41424344});
    auto foreign = platform::serializePropertyList(*plist, platform::PlistFormat::binary);
    ASSERT_TRUE(foreign);
    for (const std::vector<char>& bad :
         {std::vector<char>{'n', 'o', 'p', 'e'}, std::vector<char>(foreign->begin(), foreign->end()), std::vector<char>{},
          std::vector<char>(saved.begin(), saved.begin() + static_cast<long>(saved.size() / 2))}) {
        EXPECT_NE(second.setState(bad), kResultOk);
        EXPECT_EQ(second.state(), before);
        EXPECT_NEAR(second.controller->getParamNormalized(1), settings[1], 1e-6);
    }
}

TEST(VST3Render, ProcessAllocatesNothingManyInstancesShareNothingAndSilencePastTheTailIsSkipped) {
    constexpr int32 kBlock = 256;
    const std::array<double, kKnobs> settings{0.5, 0.4, 0.6, 0.5, 0.2, 0.0};
    // A whole number of blocks: the renders below process whole blocks only.
    const auto left = testsignals::noise(94 * kBlock, 15, 0.5f), right = testsignals::noise(94 * kBlock, 16, 0.5f);
    const auto changes = [&](std::size_t first, int32 n, ParameterChanges& c) {
        settingsAtStart(settings)(first, n, c);
        if (first > 0) {
            c.add(2, n / 2, double(first % 7) / 7.0);
            c.add(orvane::vst3::kBypassParameter, 0, first % 3 == 0 ? 1.0 : 0.0);
        }
    };
    Instance alone;
    auto refL = left, refR = right;
    alone.render(refL, refR, kBlock, changes);

    std::vector<std::unique_ptr<Instance>> instances;
    for (int i = 0; i < 8; ++i) instances.push_back(std::make_unique<Instance>(48000.0, kBlock));
    std::vector<std::pair<std::vector<float>, std::vector<float>>> outputs(8, {left, right});
    std::atomic<std::size_t> allocations{0};
    const auto renderHalf = [&](int firstInstance) {
        ParameterChanges queue;
        orvane::testing::AllocationCounter counter;
        for (std::size_t at = 0; at < left.size(); at += kBlock) {
            for (int i = firstInstance; i < firstInstance + 4; ++i) {
                auto& [l, r] = outputs[std::size_t(i)];
                queue.clear();
                changes(at, kBlock, queue);
                const auto before = counter.count();
                instances[std::size_t(i)]->process(l.data() + at, r.data() + at, kBlock, &queue);
                allocations += counter.count() - before;
            }
        }
    };
    std::thread one(renderHalf, 0), two(renderHalf, 4);
    one.join();
    two.join();
    EXPECT_EQ(allocations.load(), 0u) << "allocations inside process";
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(outputs[std::size_t(i)].first, refL) << "instance " << i;
        EXPECT_EQ(outputs[std::size_t(i)].second, refR) << "instance " << i;
    }

    // Silent input after sound: rendered while the tail rings, then skipped
    // and flagged silent.
    Instance quiet(48000.0, kBlock);
    auto l = left, r = right;
    quiet.render(l, r, kBlock, settingsAtStart(settings));
    const auto tail = quiet.processor->getTailSamples();
    std::vector<float> silenceL(kBlock), silenceR(kBlock);
    std::uint64_t rendered = 0;
    bool flagged = false;
    for (std::uint64_t done = 0; done < tail + 4 * kBlock; done += kBlock) {
        std::fill(silenceL.begin(), silenceL.end(), 0.0f);
        std::fill(silenceR.begin(), silenceR.end(), 0.0f);
        const auto flags = quiet.process(silenceL.data(), silenceR.data(), kBlock, nullptr, 3);
        if (flags == 3) {
            flagged = true;
            EXPECT_TRUE(std::all_of(silenceL.begin(), silenceL.end(), [](float s) { return s == 0.0f; }));
        } else {
            EXPECT_FALSE(flagged) << "rendering again after the tail had rung out";
            rendered += kBlock;
        }
    }
    EXPECT_TRUE(flagged) << "silence past the tail is flagged";
    EXPECT_GE(rendered, tail) << "the tail is rendered before anything is skipped";
    EXPECT_LE(rendered, tail + 2 * kBlock);
}

TEST(VST3Automation, AGravitasSweepAtHostBlocksOf1024IsNearlyAsCleanAsBlocksOf32) {
    // A 1 kHz tone at -12 dBFS with gravitas swept from 0 to 1 over two
    // seconds, a point every 64 frames, as a host sends automation. Steps in
    // the filter and reverberation spread energy away from the tone; how
    // much lies more than 150 Hz from it tells how finely the sweep was
    // followed.
    constexpr double kRate = 48000.0;
    constexpr std::size_t kFrames = 2 * 48000;
    std::vector<float> tone(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) tone[i] = 0.25f * static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * double(i) / kRate));
    const auto splatterOnce = [&](int32 block, bool everyPoint) {
        Instance plugin(kRate, block);
        auto l = tone, r = tone;
        plugin.render(l, r, block, [&](std::size_t first, int32 n, ParameterChanges& changes) {
            if (first == 0) settingsAtStart({0.5, 0.0, 0.0, 0.0, 0.0, 0.0})(0, n, changes);
            for (std::size_t at = (first + 63) / 64 * 64; at < first + std::size_t(n); at += 64)
                if (everyPoint || at == first) changes.add(5, int32(at - first), double(at) / double(kFrames));
        });
        std::vector<double> signal(l.begin(), l.end());
        const std::size_t bins = kFrames / 2 + 1;
        std::vector<fftw_complex> spectrum(bins);
        fftw_plan plan = fftw_plan_dft_r2c_1d(int(kFrames), signal.data(), spectrum.data(), FFTW_ESTIMATE);
        fftw_execute(plan);
        fftw_destroy_plan(plan);
        double away = 0.0, total = 0.0;
        for (std::size_t k = 0; k < bins; ++k) {
            const double energy = spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1];
            total += energy;
            // The soft clip's own harmonics of the tone do not count.
            const double hertz = double(k) * kRate / double(kFrames);
            if (std::abs(hertz - 1000.0 * std::max(1.0, std::round(hertz / 1000.0))) > 150.0) away += energy;
        }
        return 10.0 * std::log10(away / total);
    };
    // Each instance draws its own echo pattern, which moves the figure by
    // several decibels: the mean share of twelve instances (two in a
    // sanitizer build) is what is compared.
    const auto splatter = [&](int32 block, bool everyPoint = true) {
        const int instances = kSanitized ? 2 : 12;
        double share = 0.0;
        for (int i = 0; i < instances; ++i) share += std::pow(10.0, splatterOnce(block, everyPoint) / 10.0);
        return 10.0 * std::log10(share / instances);
    };
    const double fine = splatter(32), coarse = splatter(1024), blockwise = splatter(1024, false);
    std::printf("energy more than 150 Hz from the tone: %.1f dB in host blocks of 32, %.1f dB in blocks of 1024, "
                "%.1f dB in blocks of 1024 with one value each\n",
                fine, coarse, blockwise);
    // A sanitizer build renders too few instances to tell the two apart.
    if (!kSanitized) {
        EXPECT_LE(coarse, fine + 3.0);
    }
    EXPECT_GE(blockwise, coarse + 6.0) << "the points inside a block are followed, not only its first";
}

namespace {

/// The editor in our frame, embedded in a window of the test's X server.
struct OpenEditor {
    OpenEditor(Instance& plugin, Window parent, Frame& frame) {
        view = plugin.controller->createView(ViewType::kEditor);
        if (!view) return;
        view->setFrame(&frame);
        attached = view->attached(reinterpret_cast<void*>(parent), kPlatformTypeX11EmbedWindowID) == kResultOk;
    }
    ~OpenEditor() {
        if (!view) return;
        if (attached) view->removed();
        view->release();
    }
    IPlugView* view = nullptr;
    bool attached = false;
};

} // namespace

TEST(VST3Editor, EmbedsInTheHostsWindowResizesSendsGesturesAndClosesAHundredTimesWithoutGrowing) {
    testx::XServer x;
    Display* d = x.display();
    const Window parent = testx::hostWindow(x, 900, 700);
    Instance plugin;
    Frame frame;
    {
        OpenEditor editor(plugin, parent, frame);
        ASSERT_TRUE(editor.view);
        EXPECT_EQ(editor.view->isPlatformTypeSupported(kPlatformTypeX11EmbedWindowID), kResultTrue);
        EXPECT_NE(editor.view->isPlatformTypeSupported(kPlatformTypeHWND), kResultTrue);
        ASSERT_TRUE(editor.attached);
        EXPECT_EQ(frame.loop.handlers.size(), 1u) << "the X connection is served by the host's loop";
        EXPECT_EQ(frame.loop.timers.size(), 1u);
        frame.loop.run(200);
        ViewRect size{};
        ASSERT_EQ(editor.view->getSize(&size), kResultOk);
        EXPECT_EQ(size.getWidth(), 420);
        EXPECT_EQ(size.getHeight(), 280);
        const auto children = childWindows(d, parent);
        ASSERT_EQ(children.size(), 1u) << "one child window in the host's";

        // Too small is made large enough; the host's size is taken.
        ViewRect tiny(0, 0, 10, 10);
        EXPECT_EQ(editor.view->checkSizeConstraint(&tiny), kResultTrue);
        EXPECT_EQ(tiny.getWidth(), 210);
        EXPECT_EQ(tiny.getHeight(), 140);
        ViewRect larger(0, 0, 600, 400);
        EXPECT_EQ(editor.view->onSize(&larger), kResultOk);
        frame.loop.run(200);
        XWindowAttributes attributes;
        XGetWindowAttributes(d, children[0], &attributes);
        EXPECT_EQ(attributes.width, 600);
        EXPECT_EQ(attributes.height, 400);

        // A value from the host turns its knob (gravitas, bottom left).
        int w = 0, h = 0;
        const auto before = x.pixels(children[0], w, h);
        plugin.controller->setParamNormalized(5, 0.95);
        frame.loop.run(200);
        EXPECT_GT(testx::changedInBox(before, x.pixels(children[0], w, h), w, 50, 250), 100) << "the gravitas knob turned";
        EXPECT_TRUE(plugin.handler.edits.empty()) << "a value from the host is not sent back";

        // A drag up on the first knob (granularity, top left): begin, edits
        // that rise, end; and the host's value reaches the knob.
        plugin.handler.edits.clear();
        const double granularity = plugin.controller->getParamNormalized(1);
        ASSERT_TRUE(x.xdotool("mousemove --window " + std::to_string(children[0]) + " 100 100 mousedown 1"));
        frame.loop.run(100);
        for (int y = 95; y >= 40; y -= 5) {
            x.xdotool("mousemove --window " + std::to_string(children[0]) + " 100 " + std::to_string(y));
            frame.loop.run(20);
        }
        x.xdotool("mouseup 1");
        frame.loop.run(200);
        const auto& edits = plugin.handler.edits;
        ASSERT_GE(edits.size(), 3u);
        EXPECT_EQ(edits.front().kind, 'b');
        EXPECT_EQ(edits.front().id, 1u);
        EXPECT_EQ(edits.back().kind, 'e');
        EXPECT_GT(edits[edits.size() - 2].value, granularity);
        EXPECT_NEAR(plugin.controller->getParamNormalized(1), edits[edits.size() - 2].value, 1e-6);

        // Closed in the middle of a drag: the gesture ends.
        plugin.handler.edits.clear();
        x.xdotool("mousemove --window " + std::to_string(children[0]) + " 100 100 mousedown 1");
        frame.loop.run(100);
        x.xdotool("mousemove --window " + std::to_string(children[0]) + " 100 60");
        frame.loop.run(100);
        editor.view->removed();
        editor.attached = false;
        x.xdotool("mouseup 1");
        ASSERT_FALSE(plugin.handler.edits.empty());
        EXPECT_EQ(plugin.handler.edits.front().kind, 'b');
        EXPECT_EQ(plugin.handler.edits.back().kind, 'e');
        EXPECT_TRUE(frame.loop.handlers.empty() && frame.loop.timers.empty()) << "closing unregisters from the loop";
    }

    // Opened and closed many times while the host changes values: nothing
    // left behind.
    const int cycles = kSanitized ? 20 : 100;
    long afterTenth = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        OpenEditor editor(plugin, parent, frame);
        ASSERT_TRUE(editor.attached) << "cycle " << cycle;
        plugin.controller->setParamNormalized(5, double(cycle % 10) / 10.0);
        frame.loop.run(5);
        if (cycle == 9) afterTenth = testprocess::residentKilobytes();
    }
    const long afterLast = testprocess::residentKilobytes();
    if (!kSanitized) {
        EXPECT_LE(std::labs(afterLast - afterTenth), 2048) << afterTenth << " kB, then " << afterLast << " kB";
    }
    EXPECT_EQ(platform::MainQueue::shared().pendingCount(), 0u) << "tasks left on the main queue";
    EXPECT_TRUE(childWindows(d, parent).empty()) << "windows left in the host's";
    std::printf("%d editor cycles: resident %ld kB after the tenth, %ld kB after the last\n", cycles, afterTenth, afterLast);
}

TEST(VST3Hosts, ArdoursScannerListsTheClassWithTwoInputsAndTwoOutputs) {
    const fs::path scanner = "/usr/lib/ardour7/ardour-vst3-scanner";
    if (!fs::exists(scanner)) GTEST_SKIP() << "Ardour is not installed (" << scanner << ")";
    if (kSanitized) GTEST_SKIP() << "an uninstrumented host cannot load a sanitizer build";
    platform::testing::TempFolder home;
    Process scan({scanner.string(), "-f", "-v", kBundle.string()},
                 {"LD_LIBRARY_PATH=/usr/lib/ardour7", "HOME=" + home.path().string(),
                  "XDG_CACHE_HOME=" + (home / "cache").string()});
    ASSERT_EQ(scan.wait(std::chrono::seconds(60)), 0) << scan.outputText() << scan.errorText();
    const auto said = scan.outputText() + scan.errorText();
    for (const char* expected : {"name=\"Orvane\"", "category=\"Fx|Delay|Reverb\"", "n_inputs=\"2\"", "n_outputs=\"2\"",
                                 "vendor=\"The Orvane developers\""})
        EXPECT_NE(said.find(expected), std::string::npos) << expected << " missing from:\n" << said;
}
