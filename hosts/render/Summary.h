#pragma once

#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/SignalStats.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <string>
#include <string_view>

namespace orvane::render {

/// What a finished render reports: where from and to, how long, how loud,
/// and how fast. The wall time is measured by the caller around the render
/// loop; zero or less means unknown and leaves the speed out.
struct RenderSummary {
    std::filesystem::path inputPath;
    std::filesystem::path outputPath;
    OutputFormat outputFormat;
    double sampleRate = 0.0;
    int inputChannels = 2;
    /// The two channels picked (--channels, from 0), if any.
    std::optional<std::pair<int, int>> channels;
    std::int64_t inputFrames = 0;
    std::int64_t outputFrames = 0;
    SignalStats input;
    SignalStats output;
    double wallSeconds = 0.0;
    /// Frames the input's header promised beyond those it held: more than
    /// zero for a file that was cut short.
    std::int64_t missingFrames = 0;
    /// Whether the output replaced a file that was there.
    bool replaced = false;
    /// Integer samples clipped at full scale.
    std::int64_t clippedSamples = 0;
    /// "preset 04 Dark Wash, gravitas=0.5", "state 'my.aupreset' (My Room)".
    std::string settings;

    /// Seconds of output audio per second of wall time; 0 when unknown.
    double realTimeFactor() const;
};

/// One line for a batch of renders such as the demo:
/// "01-Name: out/demo/01-Name.wav  3.2 s  peak -1.2 dBFS  rms -18.3 dBFS  62x real time",
/// with "(replaced)" after a path that replaced a file and the count of
/// clipped samples when there were any.
std::string formatSummaryLine(std::string_view label, const RenderSummary& summary);

/// A few lines for a single render: input and output with duration, format
/// and levels, then the speed. Ends with a newline.
std::string formatSummary(const RenderSummary& summary);

/// The warning for an input that was cut short, naming the file and the
/// frames missing; empty when nothing was missing.
std::string formatTruncationWarning(const RenderSummary& summary);

/// "3.2 s" below a minute, "2:05.3" below an hour, "1:02:05" beyond.
std::string formatDuration(double seconds);

/// "-1.2 dBFS", "0.0 dBFS", "-inf dBFS".
std::string formatDbfs(double dbfs);

/// "62x real time", "3.5x real time"; empty when the factor is unknown.
std::string formatRealTimeFactor(double factor);

} // namespace orvane::render
