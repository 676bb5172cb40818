#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace orvane::render {

/// A one-line progress bar for a render, redrawn in place with a carriage
/// return at most ten times a second and erased by finish(). Disabled bars
/// write nothing at all: the renderer shows one only on a terminal, so that
/// redirected standard error stays clean. A bar counts frames of one file,
/// shown as durations, or files of a batch, shown as "3 / 16 files".
/// Single-threaded.
class ProgressBar {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kRedrawInterval{100};

    /// A bar on standard error, enabled when that is a terminal and the user
    /// did not ask for quiet.
    static ProgressBar forStandardError(bool quiet, std::int64_t totalFrames, double sampleRate);

    /// A bar on standard error counting finished files of a batch, enabled
    /// as forStandardError's.
    static ProgressBar forFilesOnStandardError(bool quiet, std::int64_t totalFiles);

    ProgressBar(std::FILE* stream, bool enabled, std::int64_t totalFrames, double sampleRate);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    /// The moved-from bar is disabled, so only one of the two ever draws.
    ProgressBar(ProgressBar&& other) noexcept;
    ~ProgressBar();

    /// Reports that `framesDone` of the total are rendered. Draws when nothing
    /// was drawn yet, when kRedrawInterval has passed since the last drawing,
    /// or when the render is complete.
    void update(std::int64_t framesDone, Clock::time_point now = Clock::now());

    /// Erases the bar so that the summary starts on a clean line. Idempotent.
    void finish();

    bool enabled() const { return enabled_; }

    /// The text of the bar for a given state, without carriage return.
    static std::string render(std::int64_t framesDone, std::int64_t totalFrames, double sampleRate);

private:
    std::FILE* stream_;
    bool enabled_;
    std::int64_t totalFrames_;
    double sampleRate_;
    bool countsFiles_ = false;
    bool drawn_ = false;
    Clock::time_point lastDrawn_{};
    std::size_t lastWidth_ = 0;
};

} // namespace orvane::render
