#include "platform/audiounit/AUPlugInBundle.h"

#include "platform/audiounit/AUParameterTree.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr AudioComponentDescription kGain{fourCharCode("aufx"), fourCharCode("gain"), fourCharCode("Test"), 0, 0};
constexpr AudioComponentDescription kDelay{fourCharCode("aufx"), fourCharCode("dely"), fourCharCode("Test"), 0, 0};

PropertyList componentEntry(const char* type, const char* subtype, const char* manufacturer,
                            const char* name, std::int64_t version) {
    return PropertyList::Dictionary{{"type", type},         {"subtype", subtype},
                                    {"manufacturer", manufacturer}, {"name", name},
                                    {"version", version}};
}

PropertyList infoWith(PropertyList::Array components, const char* executable = "Fixture.so") {
    PropertyList::Dictionary attributes{{"AudioComponents", std::move(components)}};
    PropertyList::Dictionary extension{{"NSExtensionAttributes", std::move(attributes)},
                                       {"NSExtensionPrincipalClass", "FixtureFactory"}};
    PropertyList::Dictionary info{{"CFBundleIdentifier", "org.example.Fixture"},
                                  {"NSExtension", std::move(extension)}};
    if (executable) info["CFBundleExecutable"] = executable;
    return info;
}

/// The usual test bundle's information: two components, gain first.
PropertyList twoComponents(const char* executable = "Fixture.so") {
    return infoWith({componentEntry("aufx", "gain", "Test", "Test: Gain", 65792),
                     componentEntry("aufx", "dely", "Test", "Test: Delay", 2)},
                    executable);
}

/// <parent>/<name> laid out as a plug-in bundle: the information dictionary
/// and, when given, a copy of `module` under the name "Fixture.so".
fs::path makeBundle(const fs::path& parent, const char* name, const PropertyList& info,
                    const fs::path& module = {}) {
    const auto folder = parent / name;
    fs::create_directories(folder);
    EXPECT_TRUE(writePropertyListFile(folder / "Info.plist", info));
    if (!module.empty()) fs::copy_file(module, folder / "Fixture.so");
    return folder;
}

/// The result failed with `code` and a message holding every fragment.
template <typename T>
void expectFailure(const std::expected<T, Error>& result, AUPlugInErrorCode code,
                   std::initializer_list<std::string> fragments) {
    ASSERT_FALSE(result.has_value()) << "expected error code " << code;
    EXPECT_EQ(result.error().domain, kAUPlugInErrorDomain);
    EXPECT_EQ(result.error().code, code) << result.error().message;
    for (const auto& fragment : fragments) {
        EXPECT_NE(result.error().message.find(fragment), std::string::npos)
            << "message \"" << result.error().message << "\" lacks \"" << fragment << "\"";
    }
}

std::vector<float> noise(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> signal(frames);
    for (auto& s : signal) s = uniform(random);
    return signal;
}

} // namespace

TEST(FourCharCode, ParsesOnlyFourPrintableCharactersAndPrintsAnyCode) {
    EXPECT_EQ(fourCharCodeFromString("aufx"), 0x61756678u);
    EXPECT_EQ(fourCharCodeFromString("a b~"), fourCharCode("a b~"));
    for (const char* bad : {"", "auf", "aufxx", "au\x01x", "au\x7fx", "\xc3\xa9xy"}) {
        EXPECT_FALSE(fourCharCodeFromString(bad).has_value()) << "accepted \"" << bad << "\"";
    }

    EXPECT_EQ(fourCharCodeString(fourCharCode("Orvn")), "Orvn");
    EXPECT_EQ(fourCharCodeString(42), "0x0000002a");
    for (const char* code : {"aufx", "a b~", "    "}) {
        EXPECT_EQ(fourCharCodeString(*fourCharCodeFromString(code)), code);
    }

    EXPECT_EQ(describeComponent(kGain), "aufx/gain/Test");
    EXPECT_EQ(describeComponent({fourCharCode("aufx"), 0, 0, 0, 0}), "aufx/*/*");
}

TEST(PlugInBundle, OpenReadsTheDeclaredComponentsInOrderWithoutLoadingCode) {
    platform::testing::TempFolder scratch;
    // Name and version may be left out. No module in the folder: listing
    // must not need one.
    const auto folder = makeBundle(
        scratch.path(), "Listed.appex",
        infoWith({componentEntry("aufx", "gain", "Test", "Test: Gain", 65792),
                  componentEntry("aufx", "dely", "Test", "Test: Delay", 2),
                  PropertyList::Dictionary{{"type", "aumu"}, {"subtype", "synt"}, {"manufacturer", "Test"}}}));

    auto bundle = AUPlugInBundle::open(folder / ".");
    ASSERT_TRUE(bundle) << bundle.error().message;
    EXPECT_EQ(bundle->path(), fs::canonical(folder));
    EXPECT_EQ(bundle->executableName(), "Fixture.so");
    const auto& components = bundle->components();
    ASSERT_EQ(components.size(), 3u);
    EXPECT_EQ(components[0].description, kGain);
    EXPECT_EQ(components[0].name, "Test: Gain");
    EXPECT_EQ(components[0].version, 65792u);
    EXPECT_EQ(components[1].description, kDelay);
    EXPECT_EQ(components[1].version, 2u);
    EXPECT_EQ(components[2].description,
              (AudioComponentDescription{fourCharCode("aumu"), fourCharCode("synt"), fourCharCode("Test"), 0, 0}));
    EXPECT_EQ(components[2].name, "");
    EXPECT_EQ(components[2].version, 0u);
}

TEST(PlugInBundle, FindComponentTakesZeroFieldsAsAnyAndIgnoresFlags) {
    platform::testing::TempFolder scratch;
    auto bundle = AUPlugInBundle::open(makeBundle(scratch.path(), "Find.appex", twoComponents()));
    ASSERT_TRUE(bundle) << bundle.error().message;

    const auto subtypeOf = [&](const AudioComponentDescription& wanted) {
        auto found = bundle->findComponent(wanted);
        return found ? fourCharCodeString(found->description.componentSubType) : found.error().message;
    };
    EXPECT_EQ(subtypeOf(kDelay), "dely");
    EXPECT_EQ(subtypeOf({}), "gain") << "all zero picks the first declared";
    EXPECT_EQ(subtypeOf({0, fourCharCode("dely"), 0, 0, 0}), "dely");
    EXPECT_EQ(subtypeOf({fourCharCode("aufx"), 0, fourCharCode("Test"), 0, 0}), "gain");
    EXPECT_EQ(subtypeOf({fourCharCode("aufx"), fourCharCode("dely"), fourCharCode("Test"), 7, 7}), "dely");

    expectFailure(bundle->findComponent({fourCharCode("aufx"), fourCharCode("zzzz"), 0, 0, 0}),
                  kAUPlugInErr_NoSuchComponent,
                  {"aufx/zzzz/*", "aufx/gain/Test (\"Test: Gain\")", "aufx/dely/Test", bundle->path().string()});
    expectFailure(bundle->findComponent({fourCharCode("aumu"), 0, 0, 0, 0}), kAUPlugInErr_NoSuchComponent,
                  {"aumu/*/*"});
}

TEST(PlugInBundle, OpenNamesTheFolderOrFileThatIsWrong) {
    platform::testing::TempFolder scratch;
    const auto& root = scratch.path();

    expectFailure(AUPlugInBundle::open(root / "Missing.appex"), kAUPlugInErr_NoSuchFolder, {"Missing.appex"});
    scratch.write("File.appex", "not a folder");
    expectFailure(AUPlugInBundle::open(root / "File.appex"), kAUPlugInErr_NotAFolder, {"File.appex"});

    fs::create_directories(root / "Empty.appex");
    expectFailure(AUPlugInBundle::open(root / "Empty.appex"), kAUPlugInErr_NoInfoDictionary,
                  {"Empty.appex", "Info.plist"});

    scratch.write("Garbled.appex/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>");
    expectFailure(AUPlugInBundle::open(root / "Garbled.appex"), kAUPlugInErr_InfoDictionaryUnreadable,
                  {"Garbled.appex/Info.plist"});

    makeBundle(root, "Array.appex", PropertyList::Array{"aufx"});
    expectFailure(AUPlugInBundle::open(root / "Array.appex"), kAUPlugInErr_InfoDictionaryUnreadable,
                  {"Array.appex/Info.plist", "dictionary"});
}

TEST(PlugInBundle, OpenRefusesBundlesWithoutWellFormedComponents) {
    platform::testing::TempFolder scratch;
    const auto& root = scratch.path();

    makeBundle(root, "NoExtension.appex", PropertyList::Dictionary{{"CFBundleExecutable", "Fixture.so"}});
    expectFailure(AUPlugInBundle::open(root / "NoExtension.appex"), kAUPlugInErr_NoAudioComponents,
                  {"NoExtension.appex/Info.plist", "NSExtension"});
    makeBundle(root, "NotArray.appex",
               PropertyList::Dictionary{{"NSExtension", PropertyList::Dictionary{{"NSExtensionAttributes",
                   PropertyList::Dictionary{{"AudioComponents", "aufx"}}}}}});
    expectFailure(AUPlugInBundle::open(root / "NotArray.appex"), kAUPlugInErr_NoAudioComponents,
                  {"AudioComponents"});
    makeBundle(root, "NoComponents.appex", infoWith({}));
    expectFailure(AUPlugInBundle::open(root / "NoComponents.appex"), kAUPlugInErr_NoAudioComponents,
                  {"NoComponents.appex/Info.plist", "empty"});

    const struct {
        const char* folder;
        PropertyList entry;
        const char* fragment;
    } malformed[] = {
        {"ShortSubtype.appex", componentEntry("aufx", "orv", "Test", "x", 1), "\"subtype\""},
        {"NumericMaker.appex", PropertyList::Dictionary{{"type", "aufx"}, {"subtype", "gain"}, {"manufacturer", 7}},
         "\"manufacturer\""},
        {"NumericName.appex",
         PropertyList::Dictionary{{"type", "aufx"}, {"subtype", "gain"}, {"manufacturer", "Test"}, {"name", 3}},
         "\"name\""},
        {"NegativeVersion.appex", componentEntry("aufx", "gain", "Test", "x", -1), "\"version\""},
        {"NotDictionary.appex", "aufx gain Test", "not a dictionary"},
    };
    for (const auto& bad : malformed) {
        SCOPED_TRACE(bad.folder);
        // The broken entry comes second, so the message must name item 1.
        makeBundle(root, bad.folder, infoWith({componentEntry("aufx", "good", "Test", "ok", 1), bad.entry}));
        expectFailure(AUPlugInBundle::open(root / bad.folder), kAUPlugInErr_MalformedComponent,
                      {std::string(bad.folder) + "/Info.plist", "item 1", bad.fragment});
    }
}

TEST(PlugInBundle, LoadNamesWhatKeepsTheModuleFromYieldingAPrincipalObject) {
    platform::testing::TempFolder scratch;
    const auto& root = scratch.path();

    // The component is checked before any code is touched.
    makeBundle(root, "Good.appex", twoComponents(), FIXTURE_PLUGIN_MODULE);
    expectFailure(AUPlugInBundle::load(root / "Good.appex", {0, fourCharCode("none"), 0, 0, 0}),
                  kAUPlugInErr_NoSuchComponent, {"*/none/*", "aufx/gain/Test"});

    makeBundle(root, "NoExecutableKey.appex", twoComponents(nullptr), FIXTURE_PLUGIN_MODULE);
    expectFailure(AUPlugInBundle::load(root / "NoExecutableKey.appex", kGain), kAUPlugInErr_NoExecutable,
                  {"NoExecutableKey.appex/Info.plist", "CFBundleExecutable"});

    makeBundle(root, "NoModule.appex", twoComponents());
    expectFailure(AUPlugInBundle::load(root / "NoModule.appex", kGain), kAUPlugInErr_ExecutableNotFound,
                  {"NoModule.appex", "Fixture.so"});
    // A name that leads out of the bundle is not taken, even when the file exists.
    makeBundle(root, "Escaping.appex", twoComponents("../Good.appex/Fixture.so"));
    expectFailure(AUPlugInBundle::load(root / "Escaping.appex", kGain), kAUPlugInErr_ExecutableNotFound,
                  {"Escaping.appex", "../Good.appex/Fixture.so"});

    makeBundle(root, "TextModule.appex", twoComponents());
    scratch.write("TextModule.appex/Fixture.so", "#!/bin/sh\necho not a shared object\n");
    const auto textModule = fs::canonical(root / "TextModule.appex" / "Fixture.so").string();
    expectFailure(AUPlugInBundle::load(root / "TextModule.appex", kGain), kAUPlugInErr_ModuleNotLoadable,
                  {"\"" + textModule + "\": ", "TextModule.appex/Fixture.so"});

    makeBundle(root, "NoEntry.appex", twoComponents(), FIXTURE_NO_ENTRY_MODULE);
    expectFailure(AUPlugInBundle::load(root / "NoEntry.appex", kGain), kAUPlugInErr_EntryPointMissing,
                  {"NoEntry.appex/Fixture.so", "AUExtensionCreatePrincipalObject"});

    makeBundle(root, "EmptyEntry.appex", twoComponents(), FIXTURE_EMPTY_ENTRY_MODULE);
    expectFailure(AUPlugInBundle::load(root / "EmptyEntry.appex", kGain), kAUPlugInErr_EntryPointReturnedNothing,
                  {"EmptyEntry.appex/Fixture.so", "AUExtensionCreatePrincipalObject"});
}

TEST(PlugInBundle, LoadedPrincipalMakesUnitsTheHostDrivesThroughTheTree) {
    platform::testing::TempFolder scratch;
    const auto folder = makeBundle(scratch.path(), "Gain.appex", twoComponents(), FIXTURE_PLUGIN_MODULE);

    auto loaded = AUPlugInBundle::load(folder, {0, fourCharCode("dely"), 0, 0, 0});
    ASSERT_TRUE(loaded) << loaded.error().message;
    ASSERT_NE(loaded->principal, nullptr);
    EXPECT_EQ(loaded->bundlePath, fs::canonical(folder));
    EXPECT_EQ(loaded->component.description, kDelay);
    EXPECT_EQ(loaded->component.name, "Test: Delay");

    auto unit = loaded->principal->createAudioUnit(loaded->component.description);
    ASSERT_TRUE(unit) << unit.error().message;
    EXPECT_EQ((*unit)->componentDescription(), kDelay) << "the factory is given the matched description";

    // The module's own copy of the unit base still refuses a zero type.
    Error error;
    EXPECT_EQ(loaded->principal->createAudioUnitAndReturnError({0, 1, 2, 0, 0}, &error), nullptr);
    EXPECT_EQ(error.domain, kAudioUnitErrorDomain);
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);

    // The unit lives on after the principal object that made it, and its
    // tree steers its render block.
    loaded->principal.reset();
    testhost::TestHost host(*unit);
    ASSERT_TRUE(host.start());
    auto gain = (*unit)->parameterTree()->parameterWithAddress(0);
    ASSERT_NE(gain, nullptr);
    gain->setValue(0.25f);
    const auto left = noise(3000, 11);
    const auto right = noise(3000, 12);
    const auto quiet = host.render(left, right);
    ASSERT_TRUE(quiet.allSucceeded());
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(quiet.left[i], left[i] * 0.25f) << "left differs at sample " << i;
        ASSERT_EQ(quiet.right[i], right[i] * 0.25f) << "right differs at sample " << i;
    }
}
