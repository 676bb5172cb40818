#include "platform/foundation/Bundle.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

using namespace platform;

namespace {

/// Loads a copy of the fixture module placed at `copy`; an address in its code.
/// It stays loaded: its file may go, the mapping stays valid.
const void* loadFixtureAt(const std::filesystem::path& copy) {
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(FOUNDATION_FIXTURE_MODULE, copy);
    void* module = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    return module ? ::dlsym(module, "foundationFixtureCodeAddress") : nullptr;
}

TEST(Bundle, ForAddressWalksUpToTheNearestInfoPlist) {
    platform::testing::TempFolder folder;
    folder.write("Effect.appex/Info.plist", "<plist><dict/></plist>");
    std::filesystem::create_directories(folder.path() / "Info.plist"); // a folder of that name makes no bundle
    const auto bundleOf = [&](const char* copy) {
        const auto bundle = Bundle::forAddress(loadFixtureAt(folder.path() / copy));
        return bundle ? bundle->bundlePath().lexically_relative(std::filesystem::canonical(folder.path())) : "(none)";
    };
    EXPECT_EQ(bundleOf("Effect.appex/effect.so"), "Effect.appex");
    EXPECT_EQ(bundleOf("Effect.appex/lib/deeper/effect.so"), "Effect.appex");
    EXPECT_EQ(bundleOf("loose/effect.so"), "loose");
    EXPECT_FALSE(Bundle::forAddress(std::make_unique<int>(0).get())) << "the heap is in no loaded object";
}

TEST(Bundle, ResourcesAreFoundByExactNameAndNeverOutsideTheBundle) {
    platform::testing::TempFolder folder;
    for (const char* file : {"outside.txt", "B/Knob", "B/Knob.png", "B/presets/1 Rain.aupreset"}) folder.write(file, "");
    const auto bundle = Bundle::atPath(folder.path() / "B");
    const std::string outside = (folder.path() / "outside").string();
    const std::tuple<std::string_view, std::string_view, std::optional<std::string_view>, const char*> cases[]{
        // name, extension, subdirectory, what is found (relative to the bundle) or null
        {"presets", "", {}, "presets"},
        {"1 Rain", "aupreset", "presets", "presets/1 Rain.aupreset"},
        {"Knob", "png", {}, "Knob.png"},
        {"../Knob", "png", "presets", "Knob.png"}, // a detour inside the bundle is harmless
        {"knob", "png", {}, nullptr},              // letter case counts
        {"../outside", "txt", {}, nullptr},
        {"outside", "txt", "presets/../..", nullptr},
        {outside, "txt", {}, nullptr},
        {"outside", "txt", folder.path().c_str(), nullptr},
        {"outside", "/../../outside.txt", {}, nullptr},
        {std::string_view("Knob\0.png", 9), "", {}, nullptr},
    };
    for (const auto& [name, extension, subdirectory, found] : cases) {
        EXPECT_EQ(bundle.urlForResource(name, extension, subdirectory),
                  found ? std::optional(bundle.bundlePath() / found) : std::nullopt)
            << name << " . " << extension << " in " << subdirectory.value_or("(none)");
    }
}

} // namespace

TEST(Bundle, AnInfoPlistThatIsNoDictionaryReadsAsAnEmptyOne) {
    platform::testing::TempFolder folder;
    folder.write("A/Info.plist", "<plist><array><string>CFBundleExecutable</string></array></plist>");
    folder.write("B/Info.plist", "<plist><dict><key>CFBundleExecutable</key><string>b.so</string></dict></plist>");
    EXPECT_EQ(Bundle::atPath(folder.path() / "A").infoDictionary(), PropertyList(PropertyList::Dictionary{}));
    EXPECT_EQ(Bundle::atPath(folder.path() / "B").objectForInfoDictionaryKey("CFBundleExecutable"), "b.so");
    EXPECT_EQ(Bundle::atPath(folder.path() / "C").infoDictionary(), PropertyList(PropertyList::Dictionary{})) << "none";
}
