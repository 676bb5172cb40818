#include "platform/foundation/Bundle.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace platform {
namespace {

using testing::TempFolder;

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleShortVersionString</key>
	<string>1.2</string>
	<key>CFBundleVersion</key>
	<string>7</string>
	<key>CFBundleNumber</key>
	<integer>3</integer>
</dict>
</plist>
)";

std::filesystem::path realPath(const std::filesystem::path& path) { return std::filesystem::canonical(path); }

TEST(Bundle, EnclosingFindsTheNearestFolderWithInfoPlist) {
    TempFolder folder;
    folder.write("Host.app/Info.plist", kInfoPlist);
    const auto hostTool = folder.write("Host.app/Contents/lib/tool", "");
    folder.write("Host.app/PlugIns/Effect.appex/Info.plist", kInfoPlist);
    const auto module = folder.write("Host.app/PlugIns/Effect.appex/effect.so", "");
    const auto loose = folder.write("plain/bin/tool", "");
    // A folder named Info.plist does not make a bundle.
    folder.makeFolder("fake/Info.plist");
    const auto fakeTool = folder.write("fake/tool", "");

    EXPECT_EQ(Bundle::enclosing(hostTool).bundlePath(), folder.path() / "Host.app");
    EXPECT_EQ(Bundle::enclosing(module).bundlePath(), folder.path() / "Host.app/PlugIns/Effect.appex");
    EXPECT_EQ(Bundle::enclosing(loose).bundlePath(), folder.path() / "plain/bin");
    EXPECT_EQ(Bundle::enclosing(fakeTool).bundlePath(), folder.path() / "fake");
}

class LoadedFixture {
public:
    explicit LoadedFixture(const std::filesystem::path& copy) {
        std::filesystem::create_directories(copy.parent_path());
        std::filesystem::copy_file(FOUNDATION_FIXTURE_MODULE, copy);
        handle_ = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            ADD_FAILURE() << "dlopen " << copy << ": " << ::dlerror();
            return;
        }
        using Probe = const void* (*)();
        auto probe = reinterpret_cast<Probe>(::dlsym(handle_, "foundationFixtureCodeAddress"));
        if (probe) address_ = probe();
    }
    ~LoadedFixture() {
        if (handle_) ::dlclose(handle_);
    }
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
    ASSERT_NE(flat.address(), nullptr);
    ASSERT_NE(nested.address(), nullptr);
    ASSERT_NE(loose.address(), nullptr);
    // Two copies of one module are two loaded objects with their own code.
    EXPECT_NE(flat.address(), nested.address());

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
    EXPECT_EQ(bundle->bundlePath(), Bundle::enclosing(executable).bundlePath());
    ASSERT_TRUE(Bundle::mainBundle());
    EXPECT_EQ(*Bundle::mainBundle(), *bundle);

    // The executable's folder, or the nearest folder above it with an Info.plist.
    const auto relative = executable.parent_path().lexically_relative(bundle->bundlePath());
    EXPECT_FALSE(relative.empty());
    EXPECT_NE(*relative.begin(), "..") << executable << " is outside " << bundle->bundlePath();
    if (relative != ".") {
        EXPECT_TRUE(std::filesystem::is_regular_file(bundle->bundlePath() / "Info.plist"));
    }

    EXPECT_FALSE(Bundle::forAddress(nullptr));
    const auto heap = std::make_unique<int>(0);
    EXPECT_FALSE(Bundle::forAddress(heap.get()));
}

class BundleResources : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.write("outside.txt", "outside the bundle");
        folder_.write("Effect.appex/Info.plist", kInfoPlist);
        folder_.write("Effect.appex/KnobOverlay", "image");
        folder_.write("Effect.appex/KnobOverlay.png", "image");
        folder_.write("Effect.appex/presets/01-Glass Rain.aupreset", "");
        folder_.write("Effect.appex/presets/X.AUPRESET", "");
        folder_.makeFolder("Effect.appex/art/knobs");
        bundle_ = Bundle::atPath(folder_.path() / "Effect.appex");
    }

    std::filesystem::path at(const std::filesystem::path& relative) const { return bundle_.bundlePath() / relative; }

    TempFolder folder_;
    Bundle bundle_ = Bundle::atPath("");
};

TEST_F(BundleResources, FindsFilesAndFoldersByExactName) {
    EXPECT_EQ(bundle_.urlForResource("presets", ""), at("presets"));
    EXPECT_EQ(bundle_.urlForResource("01-Glass Rain", "aupreset", "presets"), at("presets/01-Glass Rain.aupreset"));
    EXPECT_EQ(bundle_.urlForResource("KnobOverlay", ""), at("KnobOverlay"));
    EXPECT_EQ(bundle_.urlForResource("KnobOverlay", "png"), at("KnobOverlay.png"));
    EXPECT_EQ(bundle_.urlForResource("knobs", "", "art"), at("art/knobs"));
    EXPECT_EQ(bundle_.urlForResource("X", "AUPRESET", "presets"), at("presets/X.AUPRESET"));
    EXPECT_EQ(bundle_.urlForResource("01-Glass Rain", "aupreset", ""), std::nullopt) << "not at the top";

    // Letter case counts, as on the platform.
    EXPECT_EQ(bundle_.urlForResource("X", "aupreset", "presets"), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("knoboverlay", ""), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("Presets", ""), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("missing", "png"), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("", ""), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("KnobOverlay", "", "nowhere"), std::nullopt);
}

TEST_F(BundleResources, NamesThatLeaveTheBundleFindNothing) {
    ASSERT_TRUE(std::filesystem::exists(folder_.path() / "outside.txt"));
    EXPECT_EQ(bundle_.urlForResource("../outside", "txt"), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("outside", "txt", ".."), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("outside", "txt", "presets/../.."), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("presets/../../outside", "txt"), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource((folder_.path() / "outside").string(), "txt"), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("outside", "txt", folder_.path().string()), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("..", ""), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource(".", ""), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource("outside", "/../../outside.txt"), std::nullopt);
    EXPECT_EQ(bundle_.urlForResource(std::string_view("KnobOverlay\0.png", 16), ""), std::nullopt);
    // A detour that stays inside the bundle is harmless.
    EXPECT_EQ(bundle_.urlForResource("../KnobOverlay", "png", "presets"), at("KnobOverlay.png"));
}

TEST_F(BundleResources, InfoDictionary) {
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("CFBundleShortVersionString"), "1.2");
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("CFBundleVersion"), "7");
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("CFBundleNumber"), std::nullopt) << "not a string";
    EXPECT_EQ(bundle_.objectForInfoDictionaryKey("Absent"), std::nullopt);
    EXPECT_EQ(bundle_.infoDictionary().find("CFBundleNumber")->number(), 3.0);

    const PropertyList empty = PropertyList::Dictionary{};
    EXPECT_EQ(Bundle::atPath(folder_.path() / "nowhere").infoDictionary(), empty);
    folder_.write("Garbage.appex/Info.plist", "not a plist");
    EXPECT_EQ(Bundle::atPath(folder_.path() / "Garbage.appex").infoDictionary(), empty);
    folder_.write("Array.appex/Info.plist", "<plist><array><string>x</string></array></plist>");
    EXPECT_EQ(Bundle::atPath(folder_.path() / "Array.appex").infoDictionary(), empty);
    EXPECT_EQ(Bundle::atPath(folder_.path() / "Array.appex").objectForInfoDictionaryKey("x"), std::nullopt);
}

TEST_F(BundleResources, OpenNeedsAnExistingFolder) {
    const auto opened = Bundle::open(folder_.path() / "Effect.appex/presets/..");
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->bundlePath(), realPath(folder_.path() / "Effect.appex"));
    EXPECT_EQ(opened->builtInPlugInsPath(), opened->bundlePath() / "PlugIns");
    EXPECT_FALSE(Bundle::open(folder_.path() / "missing.appex"));
    EXPECT_FALSE(Bundle::open(folder_.path() / "outside.txt"));
}

} // namespace
} // namespace platform
