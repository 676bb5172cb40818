#include "platform/foundation/FileManager.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <unistd.h>

namespace platform {
namespace {

using testing::errorCode;
using testing::TempFolder;
using Names = std::vector<std::string>;

Names listed(const std::filesystem::path& folder, bool skipHiddenFiles) {
    const auto paths = contentsOfDirectory(folder, skipHiddenFiles);
    EXPECT_TRUE(paths) << paths.error().message;
    Names names;
    for (const auto& path : paths.value_or(std::vector<std::filesystem::path>{})) {
        EXPECT_EQ(path.parent_path(), folder) << path;
        names.push_back(path.filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ContentsOfDirectory, ListsDirectContentsAndSkipsHiddenOnRequest) {
    TempFolder folder;
    for (const char* file : {"1-One.aupreset", ".DS_Store", ".hidden/inside.aupreset", "sub/deep.aupreset", "X.AUPRESET"}) {
        folder.write(std::filesystem::path("presets") / file, "");
    }
    const auto presets = folder.path() / "presets";
    EXPECT_EQ(listed(presets, true), (Names{"1-One.aupreset", "X.AUPRESET", "sub"}));
    EXPECT_EQ(listed(presets, false), (Names{".DS_Store", ".hidden", "1-One.aupreset", "X.AUPRESET", "sub"}));
    EXPECT_EQ(listed(folder.makeFolder("empty"), true), Names{});

    const auto missing = contentsOfDirectory(folder.path() / "missing", true);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kPosixErrorDomain);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().message.find("missing\": No such file"), std::string::npos) << missing.error().message;
    EXPECT_EQ(errorCode(contentsOfDirectory(folder.write("file.txt", "x"), true)), ENOTDIR);
    if (::geteuid() != 0) { // root lists folders whatever their rights
        std::filesystem::permissions(presets, std::filesystem::perms::none);
        EXPECT_EQ(errorCode(contentsOfDirectory(presets, true)), EACCES);
    }
}

TEST(ReadWholeFile, ReadsEveryByteOrSaysWhatWentWrong) {
    TempFolder folder;
    std::string content(200'003, '\0'); // more than one read
    std::mt19937 random(3);
    std::generate(content.begin(), content.end(), [&] { return static_cast<char>(random()); });
    const auto bytes = readWholeFile(folder.write("big.bin", content));
    ASSERT_TRUE(bytes) << bytes.error().message;
    ASSERT_EQ(bytes->size(), content.size());
    const auto firstDifference = std::mismatch(bytes->begin(), bytes->end(), content.begin(),
                                               [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
    EXPECT_EQ(firstDifference.first, bytes->end()) << "byte " << (firstDifference.first - bytes->begin());
    EXPECT_EQ(readWholeFile(folder.write("empty", "")), std::vector<std::uint8_t>{});
    EXPECT_FALSE(readWholeFile("/proc/self/status")->empty()) << "a file that reports size 0";

    const auto missing = readWholeFile(folder.path() / "missing.aupreset");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kPosixErrorDomain);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_EQ(missing.error().message,
              "cannot read \"" + (folder.path() / "missing.aupreset").string() + "\": No such file or directory");
    const auto aFolder = readWholeFile(folder.path());
    ASSERT_FALSE(aFolder);
    EXPECT_EQ(aFolder.error().code, EISDIR);
    EXPECT_NE(aFolder.error().message.find("Is a directory"), std::string::npos) << aFolder.error().message;
    if (::geteuid() != 0) { // root reads files whatever their rights
        const auto locked = folder.write("locked.aupreset", "secret");
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        EXPECT_EQ(errorCode(readWholeFile(locked)), EACCES);
    }
}

} // namespace
} // namespace platform
