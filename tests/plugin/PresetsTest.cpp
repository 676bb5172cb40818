#include "PluginTestSupport.h"

#include "plugin/FactoryPresets.h"
#include "tests/platform/foundation/TempFolder.h"

#include <filesystem>
#include <fstream>
#include <thread>

namespace orvane {
namespace {

using testing::makeUnit;
using testing::treeValues;
namespace fs = std::filesystem;

/// A bundle folder of its own in the temporary folder, removed afterwards.
struct TempBundle : platform::testing::TempFolder {
    platform::Bundle bundle() const { return platform::Bundle::atPath(path()); }
};

/// A preset file's text: a dictionary with (empty) parameters.
constexpr const char* kPreset = "<plist><dict><key>orvane_params</key><dict/></dict></plist>";

std::vector<std::string> names(const std::vector<FactoryPresetFile>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.name);
    return out;
}

TEST(FactoryPresetList, ListsOnlyVisiblePresetFilesOfTheFolderItselfNumericPrefixesByValue) {
    TempBundle b;
    EXPECT_TRUE(listFactoryPresetFiles(b.bundle()).empty()) << "no folder, no presets";
    for (const char* f : {"10-Ten", "2-Two", "1-One"}) b.write(std::string("presets/") + f + ".aupreset", kPreset);
    const auto sorted = listFactoryPresetFiles(b.bundle());
    EXPECT_EQ(names(sorted), (std::vector<std::string>{"One", "Two", "Ten"}));
    EXPECT_EQ(sorted[2].filename, "10-Ten");

    TempBundle other;
    other.write("presets/X.AUPRESET", kPreset);
    other.write("presets/.hidden.aupreset", kPreset);
    other.write("presets/notes.txt", "not a preset");
    other.write("presets/sub/3-Deep.aupreset", kPreset);
    ASSERT_EQ(names(listFactoryPresetFiles(other.bundle())), (std::vector<std::string>{"X"}));
    // Loading asks for the lower-case extension, which this file lacks.
    EXPECT_FALSE(loadPresetFile(other.bundle(), "X").has_value());
}

TEST(FactoryPresetList, DisplayNamesDropOnlyNumericPrefixes) {
    EXPECT_EQ(presetDisplayName("03-Glass Rain"), "Glass Rain");
    EXPECT_EQ(presetDisplayName("03 - Glass Rain"), "03 - Glass Rain");
    EXPECT_EQ(presetDisplayName("Lead-In"), "Lead-In");
    EXPECT_EQ(presetDisplayName("7-"), "");
    EXPECT_EQ(presetDisplayName("-Dash"), "-Dash");
    EXPECT_EQ(presetDisplayName("12-Two-Part"), "Two-Part");
    EXPECT_EQ(presetDisplayName("\u0663-Three"), "Three"); // any numeric text: see IsNumericText
    EXPECT_EQ(presetDisplayName("Plain"), "Plain");
}

TEST(FactoryPresetList, LoadsXmlAndBinaryDictionariesOnly) {
    TempBundle b;
    b.write("presets/xml.aupreset", kPreset);
    auto binary = platform::serializePropertyList(
        platform::PropertyList(platform::PropertyList::Dictionary{{"name", "B"}}), platform::PlistFormat::binary);
    std::ofstream(b.path() / "presets/binary.aupreset", std::ios::binary)
        .write(reinterpret_cast<const char*>(binary->data()), static_cast<std::streamsize>(binary->size()));
    b.write("presets/garbage.aupreset", "\x01\x02 this is not a property list");
    b.write("presets/array.aupreset", R"(<?xml version="1.0"?><plist version="1.0"><array><real>1</real></array></plist>)");
    fs::create_directories(b.path() / "presets/folder.aupreset");

    EXPECT_TRUE(loadPresetFile(b.bundle(), "xml").has_value());
    auto loaded = loadPresetFile(b.bundle(), "binary");
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(*loaded->at("name").string(), "B");
    EXPECT_FALSE(loadPresetFile(b.bundle(), "garbage").has_value());
    EXPECT_FALSE(loadPresetFile(b.bundle(), "array").has_value());
    EXPECT_FALSE(loadPresetFile(b.bundle(), "folder").has_value());
    EXPECT_FALSE(loadPresetFile(b.bundle(), "absent").has_value());
}

TEST(FactoryPresets, ANewUnitStartsWithTheFirstPresetKeepingItsDefaultsAndEveryPresetHasItsOwnSound) {
    auto unit = makeUnit();
    const auto presets = unit->factoryPresets();
    ASSERT_GE(presets.size(), 8u);
    for (std::size_t i = 0; i < presets.size(); ++i) EXPECT_EQ(presets[i]->number, static_cast<platform::NSInteger>(i));
    EXPECT_NE(unit->factoryPresets()[0], presets[0]); // each read builds new objects

    ASSERT_TRUE(unit->currentPreset());
    EXPECT_EQ(unit->currentPreset()->number, 0);
    EXPECT_EQ(unit->currentPreset()->name, presets[0]->name);
    auto file = loadPresetFile(*pluginBundle(), factoryPresetFiles()[0].filename);
    ASSERT_TRUE(file.has_value());
    for (const auto& [id, value] : *file->at("orvane_params").dictionary()) {
        EXPECT_EQ(treeValues(*unit)[id], static_cast<float>(*value.number())) << id;
    }
    EXPECT_EQ(unit->defaultParameterValues, (std::map<std::string, float>{{"premix", 0.5f}, {"granularity", 0.0f},
        {"incoherence", 0.0f}, {"impatience", 0.5f}, {"nausea", 0.0f}, {"gravitas", 0.0f}})) << "the parameters' initial values";

    std::vector<std::map<std::string, float>> seen;
    for (const auto& preset : presets) {
        unit->setCurrentPreset(preset);
        EXPECT_EQ(unit->currentPreset(), preset); // the object given, not a copy
        auto values = treeValues(*unit);
        for (const auto& earlier : seen) EXPECT_NE(values, earlier) << preset->name;
        EXPECT_FALSE(preset->name.empty());
        seen.push_back(values);
    }
}

TEST(FactoryPresets, UserAndOutOfRangePresetsAreOnlyRecorded) {
    auto unit = makeUnit();
    const auto before = treeValues(*unit);
    const auto current = unit->currentPreset();
    unit->setCurrentPreset(nullptr);
    EXPECT_EQ(unit->currentPreset(), current);

    auto user = std::make_shared<platform::AUAudioUnitPreset>(platform::AUAudioUnitPreset{-1, "My Sound"});
    unit->setCurrentPreset(user);
    EXPECT_EQ(unit->currentPreset(), user);
    EXPECT_EQ(treeValues(*unit), before);
    EXPECT_EQ(*unit->fullState()->at("name").string(), "My Sound");

    // Just past the last factory preset: recorded only. The last one itself,
    // and the first, apply.
    const auto count = static_cast<platform::NSInteger>(unit->factoryPresets().size());
    auto beyond = std::make_shared<platform::AUAudioUnitPreset>(platform::AUAudioUnitPreset{count, "Nowhere"});
    unit->setCurrentPreset(beyond);
    EXPECT_EQ(unit->currentPreset(), beyond);
    EXPECT_EQ(treeValues(*unit), before);
    unit->setCurrentPreset(std::make_shared<platform::AUAudioUnitPreset>(platform::AUAudioUnitPreset{count - 1, "Last"}));
    const auto last = treeValues(*unit);
    EXPECT_NE(last, before);
    unit->setCurrentPreset(std::make_shared<platform::AUAudioUnitPreset>(platform::AUAudioUnitPreset{0, "First"}));
    EXPECT_EQ(treeValues(*unit), before) << "a new unit starts with preset 0";
}

TEST(FactoryPresetsFirstUse, ThreadsRacingOnFirstUseAllSeeOneList) {
    std::vector<std::shared_ptr<OrvaneAudioUnit>> units(4);
    std::vector<std::thread> threads;
    for (auto& unit : units) threads.emplace_back([&unit] { unit = makeUnit(); });
    for (auto& t : threads) t.join();
    for (const auto& unit : units) {
        ASSERT_TRUE(unit);
        EXPECT_EQ(unit->factoryPresets().size(), units[0]->factoryPresets().size());
        EXPECT_EQ(treeValues(*unit), treeValues(*units[0]));
        EXPECT_EQ(unit->currentPreset()->number, 0);
    }
    EXPECT_GE(units[0]->factoryPresets().size(), 8u);
}

} // namespace
} // namespace orvane
