#include "hosts/render/FileRender.h"

#include "hosts/render/AudioInputFile.h"
#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/ProgressBar.h"
#include "hosts/render/RenderLoop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

namespace orvane::render {
namespace {

/// A unit made and configured from the options, with its own tail time.
struct ConfiguredUnit {
    std::shared_ptr<platform::AUAudioUnit> unit;
    double tailSeconds = 0.0;
};

std::expected<ConfiguredUnit, platform::Error> configuredUnit(
    const PluginHost& host, const RenderOptions& options, std::mutex* setupLock)
{
    std::unique_lock<std::mutex> turn;
    if (setupLock)
        turn = std::unique_lock(*setupLock);
    auto unit = host.createUnit();
    if (!unit)
        return std::unexpected(unit.error());
    if (auto configured = configureUnit(**unit, options); !configured)
        return std::unexpected(configured.error());
    const double tailSeconds = (*unit)->tailTime();
    return ConfiguredUnit{std::move(*unit), tailSeconds};
}

/// Refuses, before anything is rendered, a render whose known length the
/// output format cannot hold, rather than failing hours later at its limit.
std::expected<void, platform::Error> checkLength(
    const AudioInputFile& input, std::int64_t tailFrames, const OutputPlan& plan)
{
    const auto limit = maxFrames(plan.format);
    const auto inputFrames = std::uint64_t(std::max<std::int64_t>(input.declaredFrames(), 0));
    const auto tail = std::uint64_t(std::max<std::int64_t>(tailFrames, 0));
    if (inputFrames <= limit && tail <= limit - inputFrames)
        return {};
    const double rate = input.sampleRate();
    return std::unexpected(makeError(ErrorCode::TooLong,
        "output " + quotedPath(plan.path) + ": " + formatDuration(double(inputFrames) / rate) + " of input and " +
            formatDuration(double(tail) / rate) + " of tail would not fit: " + describeOutputFormat(plan.format) +
            " files hold at most " + formatDuration(double(limit) / rate) + " at " +
            std::to_string(std::lround(rate)) + " Hz" +
            (plan.format.type == FileType::Flac ? "" : "; write FLAC or shorten --tail")));
}

} // namespace

std::string describeSettings(platform::AUAudioUnit& unit, const RenderOptions& options)
{
    std::string text;
    const auto current = unit.currentPreset();
    if (options.stateFile && !(options.preset && options.presetAfterState)) {
        text = "state " + quotedPath(*options.stateFile);
        if (current && !current->name.empty())
            text += " (" + current->name + ")";
    } else if (current && current->number >= 0) {
        char label[32];
        std::snprintf(label, sizeof label, "%02lld ", static_cast<long long>(current->number + 1));
        text = "preset " + std::string(label) + current->name;
    } else {
        text = "the defaults";
    }
    for (const auto& setting : options.settings) {
        char value[32];
        std::snprintf(value, sizeof value, "%g", double(setting.value));
        text += ", " + setting.identifier + "=" + value;
    }
    if (options.bypass)
        text += ", bypassed";
    return text;
}

std::expected<RenderSummary, platform::Error> renderFile(const PluginHost& host, const RenderOptions& options,
    const std::filesystem::path& inputPath, std::mutex* setupLock)
{
    auto plan = planOutput(inputPath, options);
    if (!plan)
        return std::unexpected(plan.error());
    auto input = AudioInputFile::open(inputPath, options.channels);
    if (!input)
        return std::unexpected(input.error());

    auto unit = configuredUnit(host, options, setupLock);
    if (!unit)
        return std::unexpected(unit.error());
    const double sampleRate = input->sampleRate();
    auto prepared = PreparedUnit::prepare(unit->unit, sampleRate, options.blockFrames);
    if (!prepared)
        return std::unexpected(prepared.error());

    // Bypassed, the effect holds nothing to ring out.
    const TailPlan tail = options.tailSeconds
        ? TailPlan::fixed(tailFrameCount(options.tailSeconds, unit->tailSeconds, sampleRate))
        : options.bypass ? TailPlan::fixed(0)
                         : automaticTail(unit->tailSeconds, sampleRate);
    if (auto fits = checkLength(*input, tail.maximumFrames, *plan); !fits)
        return std::unexpected(fits.error());
    auto output = AudioOutputFile::create(plan->path, sampleRate, plan->format, options.seed);
    if (!output)
        return std::unexpected(output.error());
    // A stream's length is known only at its end: the bar shows time rendered.
    auto progress = ProgressBar::forStandardError(
        options.quiet, input->streamed() ? 0 : input->declaredFrames() + tail.minimumFrames, sampleRate);

    std::optional<platform::Error> renderError;
    const auto started = std::chrono::steady_clock::now();
    auto levels = renderBlocks(
        *input, tail, options.blockFrames,
        [&](std::span<float> left, std::span<float> right) {
            if (renderError)
                return;
            if (auto done = prepared->process(left, right); !done)
                renderError = done.error();
        },
        *output, &progress);
    progress.finish();
    if (!levels)
        return std::unexpected(levels.error());
    if (renderError)
        return std::unexpected(*renderError);
    if (auto committed = output->commit(); !committed)
        return std::unexpected(committed.error());
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    // Saved only once the render is in place: a failed run leaves no file.
    if (options.saveStateFile) {
        if (auto saved = saveState(*unit->unit, *options.saveStateFile); !saved)
            return std::unexpected(saved.error());
    }

    RenderSummary summary;
    summary.inputPath = inputPath;
    summary.outputPath = plan->path;
    summary.outputFormat = plan->format;
    summary.sampleRate = sampleRate;
    summary.inputChannels = input->fileChannels();
    summary.channels = options.channels;
    summary.inputFrames = levels->inputFrames;
    summary.outputFrames = levels->outputFrames;
    summary.input = levels->input;
    summary.output = levels->output;
    summary.wallSeconds = wall.count();
    summary.replaced = output->replaced();
    summary.clippedSamples = output->clippedSamples();
    summary.settings = describeSettings(*unit->unit, options);
    if (const auto promised = input->headerFrames())
        summary.missingFrames = std::max<std::int64_t>(*promised - levels->inputFrames, 0);
    return summary;
}

} // namespace orvane::render
