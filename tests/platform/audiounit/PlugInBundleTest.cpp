#include "platform/audiounit/AUPlugInBundle.h"

#include "platform/audiounit/AUExtensionEntryPoint.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

using namespace platform;
namespace fs = std::filesystem;

namespace {

/// A bundle's information dictionary declaring one component, aufx/<subtype>/Test,
/// and naming `executable` (no CFBundleExecutable when null).
PropertyList info(const char* subtype, const char* executable = "Fixture.so") {
    PropertyList::Array components;
    if (subtype) components.emplace_back(PropertyList::Dictionary{{"type", "aufx"}, {"subtype", subtype}, {"manufacturer", "Test"}});
    PropertyList::Dictionary dictionary{{"NSExtension", PropertyList::Dictionary{{"NSExtensionAttributes",
                                                     PropertyList::Dictionary{{"AudioComponents", std::move(components)}}}}}};
    if (executable) dictionary["CFBundleExecutable"] = executable;
    return dictionary;
}

} // namespace

// Each bundle folder is broken in one way; loading it must fail with that way's
// code and a message naming the bundle and what is wrong in it.
/// Stands for a folder in place of the module file.
const char* const kAsFolder = "<a folder>";

TEST(PlugInBundle, EveryLoadFailureHasItsOwnCodeAndNamesTheCause) {
    platform::testing::TempFolder scratch;
    scratch.write("File.appex", "not a folder");
    fs::create_directories(scratch.path() / "Empty.appex");
    scratch.write("Garbled.appex/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>");
    scratch.write("Text.appex/Fixture.so", "#!/bin/sh\necho not a shared object\n");
    const struct {
        const char* folder;
        std::optional<PropertyList> info; // written as the folder's Info.plist
        const char* module;               // copied to the folder as Fixture.so (kAsFolder: a folder)
        AUPlugInErrorCode code;
        const char* fragment;
    } cases[] = {
        {"Missing.appex", {}, nullptr, kAUPlugInErr_NoSuchFolder, "Missing.appex"},
        {"File.appex", {}, nullptr, kAUPlugInErr_NotAFolder, "File.appex"},
        {"Empty.appex", {}, nullptr, kAUPlugInErr_NoInfoDictionary, "Info.plist"},
        {"Garbled.appex", {}, nullptr, kAUPlugInErr_InfoDictionaryUnreadable, "Info.plist"},
        {"NoComponents.appex", info(nullptr), nullptr, kAUPlugInErr_NoAudioComponents, "Info.plist"},
        {"Malformed.appex", info("gai"), nullptr, kAUPlugInErr_MalformedComponent, "\"subtype\""},
        // The component is looked for before the module: this one has none.
        {"Other.appex", info("dely"), nullptr, kAUPlugInErr_NoSuchComponent, "aufx/dely/Test"},
        {"NoKey.appex", info("gain", nullptr), FIXTURE_NO_ENTRY_MODULE, kAUPlugInErr_NoExecutable, "CFBundleExecutable"},
        {"NoModule.appex", info("gain"), nullptr, kAUPlugInErr_ExecutableNotFound, "Fixture.so"},
        // A folder by the executable's name is no executable either.
        {"FolderModule.appex", info("gain"), kAsFolder, kAUPlugInErr_ExecutableNotFound, "Fixture.so"},
        // A name leading out of the bundle is not taken, although the file exists.
        {"Escaping.appex", info("gain", "../Text.appex/Fixture.so"), nullptr, kAUPlugInErr_ExecutableNotFound, "../Text.appex"},
        {"Text.appex", info("gain"), nullptr, kAUPlugInErr_ModuleNotLoadable, "Text.appex/Fixture.so"},
        {"NoEntry.appex", info("gain"), FIXTURE_NO_ENTRY_MODULE, kAUPlugInErr_EntryPointMissing, kAUExtensionEntryPointName},
        {"EmptyEntry.appex", info("gain"), FIXTURE_EMPTY_ENTRY_MODULE, kAUPlugInErr_EntryPointReturnedNothing, kAUExtensionEntryPointName},
    };
    for (const auto& c : cases) {
        const auto folder = scratch.path() / c.folder;
        if (c.info) {
            fs::create_directories(folder);
            ASSERT_TRUE(writePropertyListFile(folder / "Info.plist", *c.info)) << c.folder;
        }
        if (c.module == kAsFolder) fs::create_directories(folder / "Fixture.so");
        else if (c.module) fs::copy_file(c.module, folder / "Fixture.so");
        const auto loaded = AUPlugInBundle::load(folder, {fourCharCode("aufx"), fourCharCode("gain"), 0, 0, 0});
        ASSERT_FALSE(loaded) << c.folder << " loaded";
        const auto& message = loaded.error().message;
        EXPECT_EQ(loaded.error().code, c.code) << c.folder << ": " << message;
        for (const std::string fragment : {c.folder, c.fragment})
            EXPECT_NE(message.find(fragment), std::string::npos) << c.folder << ": \"" << message << "\" lacks " << fragment;
    }
}
