// The staged OrvaneAUMac bundle, loaded the way a host loads it: through the
// information dictionary and the module's one entry point, never by linking
// the plug-in's code.

#include "platform/audiounit/AUExtensionEntryPoint.h"
#include "platform/audiounit/AUPlugInBundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace {

const fs::path kBundle = ORVANE_PLUGIN_BUNDLE_DIR;
constexpr AudioComponentDescription kOrvane{fourCharCode("aufx"), fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0};

/// The preset files of a bundle's "presets" folder, by name.
std::set<std::string> presetFiles(const fs::path& bundle) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(bundle / "presets")) {
        if (entry.path().extension() == ".aupreset") names.insert(entry.path().stem().string());
    }
    return names;
}

std::shared_ptr<AUAudioUnit> loadUnit(const fs::path& bundle) {
    auto loaded = AUPlugInBundle::load(bundle, kOrvane);
    if (!loaded) {
        ADD_FAILURE() << loaded.error().message;
        return nullptr;
    }
    auto unit = loaded->principal->createAudioUnit(loaded->component.description);
    if (!unit) {
        ADD_FAILURE() << unit.error().message;
        return nullptr;
    }
    return *unit;
}

std::vector<float> noise(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> signal(frames);
    for (auto& s : signal) s = uniform(random);
    return signal;
}

} // namespace

TEST(OrvaneAUMacBundle, DeclaresTheEffectAndHoldsItsModuleAndPresets) {
    auto bundle = AUPlugInBundle::open(kBundle);
    ASSERT_TRUE(bundle) << bundle.error().message;
    ASSERT_EQ(bundle->components().size(), 1u);
    const auto& effect = bundle->components()[0];
    EXPECT_EQ(effect.description, kOrvane);
    EXPECT_EQ(effect.name, "Orvane: Orvane");
    // Component versions pack major, minor and patch as 0xMMMMmmpp.
    EXPECT_EQ(effect.version,
              (ORVANE_VERSION_MAJOR << 16u) | (ORVANE_VERSION_MINOR << 8u) | ORVANE_VERSION_PATCH);

    ASSERT_TRUE(bundle->executableName());
    EXPECT_EQ(bundle->path() / *bundle->executableName(), fs::canonical(ORVANE_PLUGIN_MODULE_FILE))
        << "Info.plist must name the module the build makes";
    EXPECT_GE(presetFiles(kBundle).size(), 8u);
}

TEST(OrvaneAUMacBundle, TheModuleExportsTheEntryPointAlone) {
    const std::string command = std::string("'") + ORVANE_NM + "' -D --defined-only '" + ORVANE_PLUGIN_MODULE_FILE + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr) << command;
    std::vector<std::string> exported;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        exported.push_back(text.substr(text.find_last_of(' ') + 1));
    }
    ASSERT_EQ(::pclose(pipe), 0) << command;
    EXPECT_EQ(exported, std::vector<std::string>{kAUExtensionEntryPointName});
}

TEST(OrvaneAUMacBundle, ALoadedUnitStartsWithTheFirstPresetOfItsBundle) {
    auto unit = loadUnit(kBundle);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->componentDescription(), kOrvane);

    const auto files = presetFiles(kBundle);
    const auto presets = unit->factoryPresets();
    EXPECT_EQ(presets.size(), files.size());
    EXPECT_GE(presets.size(), 8u);
    ASSERT_NE(unit->currentPreset(), nullptr);
    EXPECT_EQ(unit->currentPreset()->number, 0);

    // The parameters hold what the first preset file stores.
    const auto first = readPropertyListFile(kBundle / "presets" / (*files.begin() + ".aupreset"));
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_EQ(unit->currentPreset()->name, *first->find("name")->string());
    const auto* stored = first->find("orvane_params");
    ASSERT_NE(stored, nullptr);
    const auto tree = unit->parameterTree();
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(tree->allParameters().size(), 6u);
    for (const auto& parameter : tree->allParameters()) {
        const auto* value = stored->find(parameter->identifier());
        ASSERT_NE(value, nullptr) << parameter->identifier();
        EXPECT_EQ(parameter->value(), static_cast<AUValue>(*value->number())) << parameter->identifier();
    }
}

TEST(OrvaneAUMacBundle, ALoadedUnitRendersThroughTheHost) {
    auto unit = loadUnit(kBundle);
    ASSERT_NE(unit, nullptr);
    testhost::TestHost host(unit);
    ASSERT_TRUE(host.start({48000.0, 2, 512}));
    EXPECT_EQ(host.inspection().channelCapabilities, (std::vector<int>{2, 2}));

    const auto left = noise(9000, 3);
    const auto right = noise(9000, 4);
    const auto wet = host.render(left, right, {.blockSize = 500});
    ASSERT_TRUE(wet.allSucceeded());
    ASSERT_EQ(wet.left.size(), left.size());
    double energy = 0.0;
    std::size_t changed = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_TRUE(std::isfinite(wet.left[i]) && std::isfinite(wet.right[i])) << "sample " << i;
        ASSERT_LE(std::fabs(wet.left[i]), 1.0f) << "the soft clipper bounds sample " << i;
        energy += double{wet.left[i]} * wet.left[i] + double{wet.right[i]} * wet.right[i];
        if (wet.left[i] != left[i]) ++changed;
    }
    EXPECT_GT(energy, 1.0);
    EXPECT_GT(changed, left.size() / 2) << "the effect changes the signal";

    // Bypassed, the unit passes its input through bit for bit.
    host.reset();
    unit->setShouldBypassEffect(true);
    const auto dry = host.render(left, right, {.blockSize = 500});
    ASSERT_TRUE(dry.allSucceeded());
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(dry.left[i], left[i]) << "left differs at sample " << i;
        ASSERT_EQ(dry.right[i], right[i]) << "right differs at sample " << i;
    }
}

TEST(OrvaneAUMacBundle, ACopiedBundleReadsThePresetsBesideItsOwnModule) {
    platform::testing::TempFolder scratch;
    const auto copy = scratch.path() / "Moved.appex";
    fs::copy(kBundle, copy, fs::copy_options::recursive);
    auto files = presetFiles(copy);
    ASSERT_GE(files.size(), 3u);
    // Take the first two away: the copy's first preset is the original's third.
    for (int i = 0; i < 2; ++i) {
        fs::remove(copy / "presets" / (*files.begin() + ".aupreset"));
        files.erase(files.begin());
    }

    auto unit = loadUnit(copy);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->factoryPresets().size(), files.size());
    const auto first = readPropertyListFile(copy / "presets" / (*files.begin() + ".aupreset"));
    ASSERT_TRUE(first) << first.error().message;
    ASSERT_NE(unit->currentPreset(), nullptr);
    EXPECT_EQ(unit->currentPreset()->name, *first->find("name")->string());
}
