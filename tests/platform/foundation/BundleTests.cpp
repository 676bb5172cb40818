#include "platform/foundation/Bundle.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace platform {
namespace {

using testing::TempFolder;

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
	<key>CFBundleShortVersionString</key><string>1.2</string>
	<key>CFBundleVersion</key><string>7</string>
	<key>CFBundleNumber</key><integer>3</integer>
</dict></plist>
)";

std::filesystem::path realPath(const std::filesystem::path& path) { return std::filesystem::canonical(path); }

TEST(Bundle, EnclosingFindsTheNearestFolderWithInfoPlist) {
    TempFolder folder;
    folder.write("Host.app/Info.plist", kInfoPlist);
    folder.write("Host.app/PlugIns/Effect.appex/Info.plist", kInfoPlist);
    folder.makeFolder("fake/Info.plist"); // a folder of that name makes no bundle
    const auto in = [&](const char* file) { return Bundle::enclosing(folder.write(file, "")).bundlePath(); };
    EXPECT_EQ(in("Host.app/Contents/lib/tool"), folder.path() / "Host.app");
    EXPECT_EQ(in("Host.app/PlugIns/Effect.appex/effect.so"), folder.path() / "Host.app/PlugIns/Effect.appex");
    EXPECT_EQ(in("plain/bin/tool"), folder.path() / "plain/bin");
    EXPECT_EQ(in("fake/tool"), folder.path() / "fake");
}

/// A copy of the fixture module at `copy`, loaded; its code address.
class LoadedFixture {
public:
    explicit LoadedFixture(const std::filesystem::path& copy) {
        std::filesystem::create_directories(copy.parent_path());
        std::filesystem::copy_file(FOUNDATION_FIXTURE_MODULE, copy);
        handle_ = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        auto probe = reinterpret_cast<const void* (*)()>(::dlsym(handle_, "foundationFixtureCodeAddress"));
        if (probe) address_ = probe();
    }
    ~LoadedFixture() { ::dlclose(handle_); }
    LoadedFixture(const LoadedFixture&) = delete;
    LoadedFixture& operator=(const LoadedFixture&) = delete;

    const void* address() const { return address_; }

private:
    void* handle_ = nullptr;
    const void* address_ = nullptr;
};

TEST(Bundle, ForAddressFindsTheBundleOfALoadedModule) {
    TempFolder folder;
    folder.write("Effect.appex/Info.plist", kInfoPlist);
    const LoadedFixture flat(folder.path() / "Effect.appex/effect.so");
    const LoadedFixture nested(folder.path() / "Effect.appex/lib/deeper/effect.so");
    const LoadedFixture loose(folder.path() / "loose/effect.so");
    ASSERT_TRUE(flat.address() && nested.address() && loose.address());
    EXPECT_NE(flat.address(), nested.address()) << "two copies are two loaded objects";

    const auto bundle = realPath(folder.path() / "Effect.appex");
    EXPECT_EQ(Bundle::forAddress(flat.address())->bundlePath(), bundle);
    EXPECT_EQ(Bundle::forAddress(nested.address())->bundlePath(), bundle);
    EXPECT_EQ(Bundle::forAddress(loose.address())->bundlePath(), realPath(folder.path() / "loose"));
    EXPECT_EQ(Bundle::forAddress(flat.address())->objectForInfoDictionaryKey("CFBundleVersion"), "7");
}

void codeInTheTestExecutable() {}

TEST(Bundle, ForAddressInTheExecutableIsTheMainBundle) {
    const auto executable = std::filesystem::read_symlink("/proc/self/exe");
    const auto bundle = Bundle::forAddress(reinterpret_cast<const void*>(&codeInTheTestExecutable));
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle, Bundle::mainBundle());
    EXPECT_EQ(bundle->bundlePath(), Bundle::enclosing(executable).bundlePath());
    // The executable's folder, or the nearest folder above it with an Info.plist.
    const auto relative = executable.parent_path().lexically_relative(bundle->bundlePath());
    EXPECT_NE(*relative.begin(), "..") << executable << " is outside " << bundle->bundlePath();
    if (relative != ".") {
        EXPECT_TRUE(std::filesystem::is_regular_file(bundle->bundlePath() / "Info.plist"));
    }
    EXPECT_FALSE(Bundle::forAddress(nullptr));
    EXPECT_FALSE(Bundle::forAddress(std::make_unique<int>(0).get())) << "the heap is in no loaded object";
}

class BundleResources : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* file : {"outside.txt", "Effect.appex/KnobOverlay", "Effect.appex/KnobOverlay.png",
                                 "Effect.appex/presets/01-Glass Rain.aupreset", "Effect.appex/presets/X.AUPRESET"}) {
            folder_.write(file, "");
        }
        folder_.write("Effect.appex/Info.plist", kInfoPlist);
        folder_.makeFolder("Effect.appex/art/knobs");
    }

    std::filesystem::path at(const std::filesystem::path& relative) const { return bundle_.bundlePath() / relative; }

    TempFolder folder_;
    Bundle bundle_ = Bundle::atPath(folder_.path() / "Effect.appex");
};

TEST_F(BundleResources, FindsFilesAndFoldersByExactName) {
    EXPECT_EQ(bundle_.urlForResource("presets", ""), at("presets"));
    EXPECT_EQ(bundle_.urlForResource("01-Glass Rain", "aupreset", "presets"), at("presets/01-Glass Rain.aupreset"));
    EXPECT_EQ(bundle_.urlForResource("KnobOverlay", ""), at("KnobOverlay"));
    EXPECT_EQ(bundle_.urlForResource("KnobOverlay", "png"), at("KnobOverlay.png"));
    EXPECT_EQ(bundle_.urlForResource("knobs", "", "art"), at("art/knobs"));
    EXPECT_EQ(bundle_.urlForResource("X", "AUPRESET", "presets"), at("presets/X.AUPRESET"));
    // Letter case counts, as on the platform; nothing is searched for elsewhere.
    for (const auto& [name, extension, subdirectory] :
         std::vector<std::tuple<std::string_view, std::string_view, std::optional<std::string_view>>>{
             {"X", "aupreset", "presets"}, {"knoboverlay", "", {}}, {"Presets", "", {}},
             {"01-Glass Rain", "aupreset", ""}, {"missing", "png", {}}, {"", "", {}}, {"KnobOverlay", "", "nowhere"}}) {
        EXPECT_EQ(bundle_.urlForResource(name, extension, subdirectory), std::nullopt)
            << name << " . " << extension << " in " << subdirectory.value_or("(none)");
    }
}

TEST_F(BundleResources, NamesThatLeaveTheBundleFindNothing) {
    const std::string outside = (folder_.path() / "outside").string();
    for (const auto& [name, extension, subdirectory] :
         std::vector<std::tuple<std::string_view, std::string_view, std::optional<std::string_view>>>{
             {"../outside", "txt", {}}, {"outside", "txt", ".."}, {"outside", "txt", "presets/../.."},
             {"presets/../../outside", "txt", {}}, {outside, "txt", {}}, {"outside", "txt", folder_.path().c_str()},
             {"..", "", {}}, {".", "", {}}, {"outside", "/../../outside.txt", {}},
             {std::string_view("KnobOverlay\0.png", 16), "", {}}}) {
        EXPECT_EQ(bundle_.urlForResource(name, extension, subdirectory), std::nullopt)
            << name << " . " << extension << " in " << subdirectory.value_or("(none)");
    }
    // A detour that stays inside the bundle is harmless.
    EXPECT_EQ(bundle_.urlForResource("../KnobOverlay", "png", "presets"), at("KnobOverlay.png"));
}

TEST_F(BundleResources, InfoDictionaryAndOpening) {
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("CFBundleShortVersionString"), "1.2");
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("CFBundleVersion"), "7");
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("CFBundleNumber"), std::nullopt) << "not a string";
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("Absent"), std::nullopt);
    EXPECT_EQ(bundle_.infoDictionary().find("CFBundleNumber")->number(), 3.0);
    // Missing, not a property list, not a dictionary: all empty.
    folder_.write("Garbage.appex/Info.plist", "not a plist");
    folder_.write("Array.appex/Info.plist", "<plist><array><string>x</string></array></plist>");
    for (const char* name : {"Nowhere.appex", "Garbage.appex", "Array.appex"}) {
        EXPECT_EQ(Bundle::atPath(folder_.path() / name).infoDictionary(), PropertyList(PropertyList::Dictionary{})) << name;
    }

    const auto opened = Bundle::open(folder_.path() / "Effect.appex/presets/..");
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->bundlePath(), realPath(folder_.path() / "Effect.appex"));
    EXPECT_EQ(opened->builtInPlugInsPath(), opened->bundlePath() / "PlugIns");
    EXPECT_FALSE(Bundle::open(folder_.path() / "missing.appex"));
    EXPECT_FALSE(Bundle::open(folder_.path() / "outside.txt"));
}

} // namespace
} // namespace platform
