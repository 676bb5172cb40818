#include "platform/foundation/PendingFiles.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <utility>

namespace platform {
namespace {

// Each slot holds a path of its own, allocated when registered. A signal
// handler may read a slot while another thread releases it, so a released
// path is freed only while no handler has started; once one has, the
// process is ending and the few bytes do not matter.
std::array<std::atomic<char*>, kMaxPendingFiles> slots{};
std::atomic<bool> interrupted{false};
const char* programName = "";

void onSignal(int signal)
{
    interrupted.store(true);
    for (auto& slot : slots) {
        if (char* path = slot.load())
            ::unlink(path);
    }
    // Only async-signal-safe calls from here on.
    const char* parts[] = {programName, ": interrupted; no file was left half-written\n"};
    for (const char* part : parts) {
        const std::size_t length = std::strlen(part);
        [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, part, length);
    }
    ::_exit(128 + signal);
}

} // namespace

PendingFile::PendingFile(const std::filesystem::path& path)
{
    const std::string& text = path.native();
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    for (int i = 0; i < kMaxPendingFiles; ++i) {
        char* expected = nullptr;
        if (slots[std::size_t(i)].compare_exchange_strong(expected, copy)) {
            slot_ = i;
            // A handler that has already swept the list would miss the file
            // this caller is about to create: never let it be created.
            while (interrupted.load())
                ::pause();
            return;
        }
    }
    delete[] copy;
}

PendingFile::PendingFile(PendingFile&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept
{
    if (this != &other) {
        release();
        slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
}

PendingFile::~PendingFile()
{
    release();
}

void PendingFile::release() noexcept
{
    if (slot_ < 0)
        return;
    char* path = slots[std::size_t(std::exchange(slot_, -1))].exchange(nullptr);
    if (!interrupted.load())
        delete[] path;
}

int pendingFileCount() noexcept
{
    int count = 0;
    for (const auto& slot : slots)
        count += slot.load() != nullptr;
    return count;
}

void removePendingFilesOnSignals(const char* program)
{
    programName = program;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigfillset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace platform
