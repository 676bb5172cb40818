#include "hosts/render/Summary.h"

#include "hosts/render/RenderError.h"

#include <cmath>
#include <cstdio>

namespace orvane::render {
namespace {

template <typename... Args> std::string printed(const char* format, Args... args)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

std::string seconds(std::int64_t frames, double sampleRate)
{
    return formatDuration(sampleRate > 0.0 ? double(frames) / sampleRate : 0.0);
}

std::string levels(const SignalStats& stats)
{
    std::string text = "peak " + formatDbfs(stats.peakDbfs()) + "  rms " + formatDbfs(stats.rmsDbfs());
    if (stats.nonFiniteSamples() > 0)
        text += "  (" + std::to_string(stats.nonFiniteSamples()) + " samples not finite)";
    return text;
}

} // namespace

double RenderSummary::realTimeFactor() const
{
    if (!(wallSeconds > 0.0) || !(sampleRate > 0.0))
        return 0.0;
    return double(outputFrames) / sampleRate / wallSeconds;
}

std::string formatDuration(double value)
{
    if (!std::isfinite(value) || value < 0.0)
        value = 0.0;
    if (value < 59.95)
        return printed("%.1f s", value);
    const auto tenths = static_cast<long long>(std::llround(value * 10.0));
    const long long minutes = tenths / 600;
    if (minutes < 60)
        return printed("%lld:%04.1f", minutes, double(tenths % 600) / 10.0);
    const auto whole = static_cast<long long>(std::llround(value));
    return printed("%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
}

std::string formatDbfs(double dbfs)
{
    if (std::isnan(dbfs))
        return "nan dBFS";
    if (std::isinf(dbfs))
        return dbfs < 0.0 ? "-inf dBFS" : "+inf dBFS";
    // Keep "-0.0" from showing for levels a hair below full scale.
    if (std::abs(dbfs) < 0.05)
        dbfs = 0.0;
    return printed("%.1f dBFS", dbfs);
}

std::string formatRealTimeFactor(double factor)
{
    if (!(factor > 0.0) || !std::isfinite(factor))
        return {};
    if (factor >= 9.95)
        return printed("%.0fx real time", factor);
    return printed("%.1fx real time", factor);
}

namespace {

std::string shownOutput(const RenderSummary& summary)
{
    return summary.outputPath.native() == "-" ? std::string("standard output") : summary.outputPath.string();
}

std::string clipping(const RenderSummary& summary)
{
    if (summary.clippedSamples <= 0)
        return {};
    return "  " + std::to_string(summary.clippedSamples) + " samples clipped (peak " +
        formatDbfs(summary.output.peakDbfs()) + " before clipping)";
}

} // namespace

std::string formatSummaryLine(std::string_view label, const RenderSummary& summary)
{
    std::string line = std::string(label) + ": " + shownOutput(summary) + (summary.replaced ? " (replaced)" : "") + "  " +
        seconds(summary.outputFrames, summary.sampleRate) + "  " + levels(summary.output) + clipping(summary);
    if (const auto speed = formatRealTimeFactor(summary.realTimeFactor()); !speed.empty())
        line += "  " + speed;
    return line;
}

std::string formatSummary(const RenderSummary& summary)
{
    const double rate = summary.sampleRate;
    std::string channels = summary.inputChannels == 1 ? "mono, sent to both channels" : "stereo";
    if (summary.channels)
        channels = std::to_string(summary.inputChannels) + " channels, " + std::to_string(summary.channels->first + 1) +
            " and " + std::to_string(summary.channels->second + 1) + " rendered";
    std::string text;
    text += "input   " + (summary.inputPath.native() == "-" ? std::string("standard input") : summary.inputPath.string()) +
        "\n";
    text += "        " + seconds(summary.inputFrames, rate) + " at " + printed("%.0f Hz", rate) + ", " +
        channels + "  " + levels(summary.input) + "\n";
    if (!summary.settings.empty())
        text += "with    " + summary.settings + "\n";
    text += "output  " + shownOutput(summary) + " (" + describeOutputFormat(summary.outputFormat) + ")" +
        (summary.replaced ? ", replaced" : "") + "\n";
    const std::int64_t tailFrames = summary.outputFrames - summary.inputFrames;
    text += "        " + seconds(summary.outputFrames, rate);
    if (tailFrames > 0)
        text += " including " + seconds(tailFrames, rate) + " of tail";
    text += "  " + levels(summary.output) + clipping(summary) + "\n";
    if (const auto speed = formatRealTimeFactor(summary.realTimeFactor()); !speed.empty())
        text += "speed   " + speed + "\n";
    return text;
}

std::string formatTruncationWarning(const RenderSummary& summary)
{
    if (summary.missingFrames <= 0)
        return {};
    const auto promised = summary.inputFrames + summary.missingFrames;
    return "warning: " + quotedPath(summary.inputPath) + " is cut short: its header promises " +
        std::to_string(promised) + " frames but it holds " + std::to_string(summary.inputFrames) + " (" +
        std::to_string(summary.missingFrames) + " frames, " + seconds(summary.missingFrames, summary.sampleRate) +
        ", missing); rendered what is there";
}

} // namespace orvane::render
