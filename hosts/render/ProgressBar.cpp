#include "hosts/render/ProgressBar.h"

#include "hosts/render/Summary.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace orvane::render {
namespace {

constexpr int kBarCells = 30;

} // namespace

ProgressBar ProgressBar::forStandardError(bool quiet, std::int64_t totalFrames, double sampleRate)
{
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return ProgressBar(stderr, terminal && !quiet, totalFrames, sampleRate);
}

ProgressBar ProgressBar::forFilesOnStandardError(bool quiet, std::int64_t totalFiles)
{
    // No sample rate: the bar shows no durations, and the count follows it.
    auto bar = forStandardError(quiet, totalFiles, 0.0);
    bar.countsFiles_ = true;
    return bar;
}

ProgressBar::ProgressBar(std::FILE* stream, bool enabled, std::int64_t totalFrames, double sampleRate)
    : stream_(stream)
    , enabled_(enabled && stream != nullptr)
    , totalFrames_(totalFrames)
    , sampleRate_(sampleRate)
{
}

ProgressBar::ProgressBar(ProgressBar&& other) noexcept
    : stream_(other.stream_)
    , enabled_(std::exchange(other.enabled_, false))
    , totalFrames_(other.totalFrames_)
    , sampleRate_(other.sampleRate_)
    , countsFiles_(other.countsFiles_)
    , drawn_(other.drawn_)
    , lastDrawn_(other.lastDrawn_)
    , lastWidth_(other.lastWidth_)
{
}

ProgressBar::~ProgressBar()
{
    finish();
}

std::string ProgressBar::render(std::int64_t framesDone, std::int64_t totalFrames, double sampleRate)
{
    // A stream's end is not known ahead: time rendered instead of a share.
    if (totalFrames <= 0 && sampleRate > 0.0)
        return formatDuration(double(framesDone) / sampleRate) + " rendered";
    // Integer arithmetic, so that 30 % is exactly 9 of 30 cells.
    const std::int64_t done = std::clamp<std::int64_t>(framesDone, 0, std::max<std::int64_t>(totalFrames, 0));
    const std::int64_t filled = totalFrames > 0 ? done * kBarCells / totalFrames : kBarCells;
    const std::int64_t percent = totalFrames > 0 ? done * 100 / totalFrames : 100;
    std::string text = "[";
    text.append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(kBarCells - filled), '.');
    char percentText[8];
    std::snprintf(percentText, sizeof percentText, "%3d%%", static_cast<int>(percent));
    text += "] ";
    text += percentText;
    if (sampleRate > 0.0) {
        text += "  " + formatDuration(double(framesDone) / sampleRate) + " / " +
            formatDuration(double(totalFrames) / sampleRate);
    }
    return text;
}

void ProgressBar::update(std::int64_t framesDone, Clock::time_point now)
{
    if (!enabled_)
        return;
    const bool complete = totalFrames_ > 0 && framesDone >= totalFrames_;
    if (drawn_ && !complete && now - lastDrawn_ < kRedrawInterval)
        return;
    std::string text = render(framesDone, totalFrames_, sampleRate_);
    if (countsFiles_)
        text += "  " + std::to_string(framesDone) + " / " + std::to_string(totalFrames_) + " files";
    // Pad over the previous, possibly longer line.
    const std::size_t width = std::max(text.size(), lastWidth_);
    std::fprintf(stream_, "\r%-*s", static_cast<int>(width), text.c_str());
    std::fflush(stream_);
    drawn_ = true;
    lastDrawn_ = now;
    lastWidth_ = width;
}

void ProgressBar::finish()
{
    if (!enabled_ || !drawn_)
        return;
    std::fprintf(stream_, "\r%*s\r", static_cast<int>(lastWidth_), "");
    std::fflush(stream_);
    drawn_ = false;
    lastWidth_ = 0;
}

} // namespace orvane::render
