// Reads and writes that fail or come up short part-way through a file. This
// executable puts its own read() and write() before the C library's, so a file
// chosen by a test can hand out a few bytes a call, be interrupted, be cut
// short after it was opened, or fail with EIO or ENOSPC in the middle.

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

struct ReadFault {
    std::atomic<ino_t> inode{0};
    std::atomic<long> failAfter{-1};     // bytes handed out before EIO; -1: never
    std::atomic<long> mostPerCall{0};    // 0: as many as asked
    std::atomic<int> interruptions{0};   // calls answered with EINTR first
    std::atomic<bool> truncateFirst{false};
    std::atomic<long> handedOut{0};
    std::string path;
};
ReadFault fault;

/// Writes to files in `folder` take at most `mostPerCall` bytes a call and
/// fail with ENOSPC once `failAfter` bytes are written.
struct WriteFault {
    std::string folder;
    long mostPerCall = 0, failAfter = -1, written = 0;
};
WriteFault writeFault;

using ReadFunction = ssize_t (*)(int, void*, size_t);
using WriteFunction = ssize_t (*)(int, const void*, size_t);

ReadFunction realRead() {
    static const auto next = reinterpret_cast<ReadFunction>(::dlsym(RTLD_NEXT, "read"));
    return next;
}

/// Arms the fault for `file` until the object goes.
struct Armed {
    explicit Armed(const std::filesystem::path& file) {
        struct stat info {};
        ::stat(file.c_str(), &info);
        fault.path = file.string();
        fault.handedOut = 0;
        fault.inode = info.st_ino;
    }
    ~Armed() {
        fault.inode = 0;
        fault.failAfter = -1, fault.mostPerCall = 0, fault.interruptions = 0, fault.truncateFirst = false;
    }
};

} // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    struct stat info {};
    if (fault.inode == 0 || ::fstat(fd, &info) != 0 || info.st_ino != fault.inode) return realRead()(fd, buffer, count);
    if (fault.interruptions > 0) {
        --fault.interruptions;
        errno = EINTR;
        return -1;
    }
    if (fault.truncateFirst.exchange(false)) (void)::truncate(fault.path.c_str(), 5);
    if (fault.failAfter >= 0 && fault.handedOut >= fault.failAfter) {
        errno = EIO;
        return -1;
    }
    if (fault.mostPerCall > 0) count = std::min<size_t>(count, size_t(fault.mostPerCall));
    if (fault.failAfter >= 0) count = std::min<size_t>(count, size_t(fault.failAfter - fault.handedOut));
    const ssize_t got = realRead()(fd, buffer, count);
    if (got > 0) fault.handedOut += got;
    return got;
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
    static const auto next = reinterpret_cast<WriteFunction>(::dlsym(RTLD_NEXT, "write"));
    if (writeFault.folder.empty()) return next(fd, buffer, count);
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || std::string_view(target, size_t(length)).rfind(writeFault.folder, 0) != 0) return next(fd, buffer, count);
    if (writeFault.failAfter >= 0 && writeFault.written >= writeFault.failAfter) {
        errno = ENOSPC;
        return -1;
    }
    if (writeFault.mostPerCall > 0) count = std::min<size_t>(count, size_t(writeFault.mostPerCall));
    if (writeFault.failAfter >= 0) count = std::min<size_t>(count, size_t(writeFault.failAfter - writeFault.written));
    const ssize_t done = next(fd, buffer, count);
    if (done > 0) writeFault.written += done;
    return done;
}

namespace {

using namespace platform;

const std::string kPlist = "<plist><dict><key>CFBundleExecutable</key><string>" + std::string(200, 'x') +
                           "</string></dict></plist>";

TEST(FailingRead, ShortAndInterruptedReadsStillGiveTheWholeFile) {
    platform::testing::TempFolder folder;
    const auto file = folder.write("Info.plist", kPlist);
    Armed armed(file);
    fault.mostPerCall = 7;
    fault.interruptions = 3;
    const auto bytes = readWholeFile(file);
    ASSERT_TRUE(bytes) << bytes.error().message;
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), kPlist);
    fault.interruptions = 2;
    EXPECT_TRUE(readPropertyListFile(file));
}

TEST(FailingRead, AnErrorInTheMiddleOfAFileIsAnErrorNotItsEnd) {
    platform::testing::TempFolder folder;
    const auto file = folder.write("Contents/Info.plist", kPlist);
    // At the first byte, in the middle, and at the very last byte.
    for (const long after : {0L, 100L, long(kPlist.size()) - 1}) {
        SCOPED_TRACE(after);
        Armed armed(file);
        fault.failAfter = after;
        const auto bytes = readWholeFile(file);
        ASSERT_FALSE(bytes);
        EXPECT_EQ(bytes.error().code, EIO);
        EXPECT_NE(bytes.error().message.find(file.string()), std::string::npos) << bytes.error().message;
        fault.handedOut = 0;
        const auto plist = readPropertyListFile(file);
        ASSERT_FALSE(plist);
        EXPECT_EQ(plist.error().code, EIO) << plist.error().message;
        fault.handedOut = 0;
        const auto bundle = Bundle::open(file.parent_path());
        ASSERT_TRUE(bundle);
        EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleExecutable"), std::nullopt);
    }
}

TEST(FailingRead, AFileCutShortAfterItWasOpenedIsReadAsItNowIs) {
    platform::testing::TempFolder folder;
    const auto file = folder.write("state.plist", kPlist);
    Armed armed(file);
    fault.truncateFirst = true;
    const auto bytes = readWholeFile(file);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), kPlist.substr(0, 5));
    folder.write("state.plist", kPlist);
    fault.truncateFirst = true;
    const auto plist = readPropertyListFile(file);
    ASSERT_FALSE(plist);
    EXPECT_EQ(plist.error().code, kPropertyListNotParsable);
    EXPECT_NE(plist.error().message.find(file.string()), std::string::npos) << plist.error().message;
}

TEST(FailingWrite, AFullDiskPartWayLeavesTheOldFileAndNoTemporaryAndShortWritesGoOn) {
    platform::testing::TempFolder folder;
    const auto target = folder.path() / "state.plist";
    ASSERT_TRUE(writePropertyListFile(target, "kept"));
    const PropertyList large = std::string(5000, 'x');
    writeFault = {std::filesystem::canonical(folder.path()).string(), 0, 100, 0};
    const auto full = writePropertyListFile(target, large);
    writeFault.folder.clear();
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().code, ENOSPC);
    EXPECT_NE(full.error().message.find(target.string()), std::string::npos) << full.error().message;
    EXPECT_EQ(readPropertyListFile(target), PropertyList("kept"));
    EXPECT_EQ(contentsOfDirectory(folder.path(), false)->size(), 1u) << "no temporary left";

    writeFault = {std::filesystem::canonical(folder.path()).string(), 7, -1, 0};
    const auto shortWrites = writePropertyListFile(target, large);
    writeFault.folder.clear();
    ASSERT_TRUE(shortWrites) << shortWrites.error().message;
    EXPECT_EQ(readPropertyListFile(target), large);
}

} // namespace
