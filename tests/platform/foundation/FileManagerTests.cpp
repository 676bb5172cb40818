#include "platform/foundation/FileManager.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <unistd.h>

namespace platform {
namespace {

using testing::TempFolder;

std::vector<std::string> sortedNames(const std::vector<std::filesystem::path>& paths,
                                     const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& path : paths) {
        EXPECT_EQ(path.parent_path(), folder) << path;
        names.push_back(path.filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ContentsOfDirectory, ListsDirectContentsAndSkipsHiddenOnRequest) {
    TempFolder folder;
    folder.write("presets/1-One.aupreset", "");
    folder.write("presets/.DS_Store", "");
    folder.write("presets/.hidden/inside.aupreset", "");
    folder.write("presets/sub/deep.aupreset", "");
    folder.write("presets/X.AUPRESET", "");
    const auto presets = folder.path() / "presets";

    const auto visible = contentsOfDirectory(presets, true);
    ASSERT_TRUE(visible) << visible.error().message;
    EXPECT_EQ(sortedNames(*visible, presets), (std::vector<std::string>{"1-One.aupreset", "X.AUPRESET", "sub"}));

    const auto all = contentsOfDirectory(presets, false);
    ASSERT_TRUE(all) << all.error().message;
    EXPECT_EQ(sortedNames(*all, presets),
              (std::vector<std::string>{".DS_Store", ".hidden", "1-One.aupreset", "X.AUPRESET", "sub"}));

    const auto empty = contentsOfDirectory(folder.makeFolder("empty"), true);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(ContentsOfDirectory, FailsForWhatIsNoReadableFolder) {
    TempFolder folder;
    const auto missing = contentsOfDirectory(folder.path() / "missing", true);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kPosixErrorDomain);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().message.find("missing"), std::string::npos) << missing.error().message;

    const auto file = contentsOfDirectory(folder.write("file.txt", "x"), true);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().code, ENOTDIR);

    if (::geteuid() == 0) return; // root lists folders whatever their rights
    const auto locked = folder.makeFolder("locked");
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    const auto denied = contentsOfDirectory(locked, true);
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied.error().code, EACCES);
}

TEST(ReadWholeFile, ReadsEveryByte) {
    TempFolder folder;
    // Larger than one read, and every byte value.
    std::string content(200'003, '\0');
    std::mt19937 random(3);
    std::generate(content.begin(), content.end(), [&] { return static_cast<char>(random()); });
    const auto bytes = readWholeFile(folder.write("big.bin", content));
    ASSERT_TRUE(bytes) << bytes.error().message;
    ASSERT_EQ(bytes->size(), content.size());
    for (std::size_t i = 0; i < content.size(); ++i) {
        ASSERT_EQ((*bytes)[i], static_cast<std::uint8_t>(content[i])) << "byte " << i;
    }

    const auto empty = readWholeFile(folder.write("empty", ""));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    // Files that report size 0 still have content.
    const auto status = readWholeFile("/proc/self/status");
    ASSERT_TRUE(status) << status.error().message;
    EXPECT_FALSE(status->empty());
}

TEST(ReadWholeFile, ErrorsSayWhatWentWrong) {
    TempFolder folder;
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

    if (::geteuid() == 0) return; // root reads files whatever their rights
    const auto locked = folder.write("locked.aupreset", "secret");
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    const auto denied = readWholeFile(locked);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied.error().code, EACCES);
    EXPECT_NE(denied.error().message.find("Permission denied"), std::string::npos);
}

} // namespace
} // namespace platform
