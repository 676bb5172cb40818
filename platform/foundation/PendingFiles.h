#pragma once

#include <filesystem>

namespace platform {

/// A temporary file on its way to becoming a finished one (written, then
/// renamed over its target). While a PendingFile is alive its path is on a
/// process-wide list that removePendingFilesOnSignals() empties from the
/// disk when the process is interrupted, so an interrupted program leaves no
/// half-written file behind. Register a path before creating the file and
/// destroy the PendingFile once the file is renamed or removed.
///
/// Any thread. Registration never blocks and takes no lock; when the list is
/// full (more than kMaxPendingFiles at once) the file is simply not tracked.
class PendingFile {
public:
    PendingFile() = default;
    explicit PendingFile(const std::filesystem::path& path);
    PendingFile(PendingFile&& other) noexcept;
    PendingFile& operator=(PendingFile&& other) noexcept;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    /// Takes the path off the list (the file itself is left alone).
    void release() noexcept;

private:
    int slot_ = -1;
};

/// How many pending files the list holds at once.
inline constexpr int kMaxPendingFiles = 4096;

/// How many paths are on the list now (for tests).
int pendingFileCount() noexcept;

/// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove every
/// pending file, say on standard error that `program` was interrupted, and
/// end the process at once with status 128 + the signal's number (130, 143
/// or 129), as a shell reports it. For command-line programs; call once from
/// the main thread before any file is written.
void removePendingFilesOnSignals(const char* program);

} // namespace platform
