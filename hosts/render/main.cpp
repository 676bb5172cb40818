// orvane-render: audio files through the Orvane plug-in, loaded from its
// bundle and driven through the host contract like any host drives it.

#include "hosts/render/AudioInput.h"
#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/DemoInput.h"
#include "hosts/render/PluginHost.h"
#include "hosts/render/ProgressBar.h"
#include "hosts/render/RenderError.h"
#include "hosts/render/RenderLoop.h"
#include "hosts/render/RenderOptions.h"
#include "hosts/render/Summary.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using namespace orvane::render;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int fail(const platform::Error& error) {
    std::fprintf(stderr, "orvane-render: %s\n", error.message.c_str());
    return kExitFailure;
}

/// Renders one file with the options' settings; the output is complete and in
/// place when this succeeds, absent when it fails.
std::expected<RenderSummary, platform::Error> renderFile(const PluginHost& host, const RenderOptions& options,
                                                         const std::filesystem::path& inputPath) {
    auto input = readAudioFile(inputPath);
    if (!input) return std::unexpected(input.error());
    auto plan = planOutput(inputPath, options.output, options.encoding);
    if (!plan) return std::unexpected(plan.error());

    auto unit = host.createUnit();
    if (!unit) return std::unexpected(unit.error());
    if (auto configured = configureUnit(**unit, options); !configured) return std::unexpected(configured.error());
    const double tailSeconds = (*unit)->tailTime();
    auto prepared = PreparedUnit::prepare(*unit, input->sampleRate, options.blockFrames);
    if (!prepared) return std::unexpected(prepared.error());

    auto output = AudioOutputFile::create(plan->path, input->sampleRate, plan->format);
    if (!output) return std::unexpected(output.error());
    const auto tailFrames = tailFrameCount(options.tailSeconds, tailSeconds, input->sampleRate);
    auto progress = ProgressBar::forStandardError(options.quiet, input->frames + tailFrames, input->sampleRate);

    std::optional<platform::Error> renderError;
    const auto started = std::chrono::steady_clock::now();
    auto levels = renderBlocks(
        *input, tailFrames, options.blockFrames,
        [&](std::span<float> left, std::span<float> right) {
            if (renderError) return;
            if (auto done = prepared->process(left, right); !done) renderError = done.error();
        },
        *output, &progress);
    progress.finish();
    if (!levels) return std::unexpected(levels.error());
    if (renderError) return std::unexpected(*renderError);
    if (auto committed = output->commit(); !committed) return std::unexpected(committed.error());
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    // Saved only once the render is in place: a failed run leaves no file.
    if (options.saveStateFile) {
        if (auto saved = saveState(**unit, *options.saveStateFile); !saved) return std::unexpected(saved.error());
    }

    RenderSummary summary;
    summary.inputPath = inputPath;
    summary.outputPath = plan->path;
    summary.outputFormat = plan->format;
    summary.sampleRate = input->sampleRate;
    summary.inputChannels = input->fileChannels;
    summary.inputFrames = input->frames;
    summary.outputFrames = input->frames + tailFrames;
    summary.input = levels->input;
    summary.output = levels->output;
    summary.wallSeconds = wall.count();
    return summary;
}

int listPresets(const PluginHost& host) {
    auto unit = host.createUnit();
    if (!unit) return fail(unit.error());
    for (const auto& preset : (*unit)->factoryPresets()) std::printf("%2lld  %s\n", static_cast<long long>(preset->number), preset->name.c_str());
    return 0;
}

/// The built-in demo clip through every factory preset into out/demo/.
int renderDemo(const PluginHost& host, RenderOptions options) {
    auto input = demoInputPath();
    if (!input) return fail(input.error());
    auto unit = host.createUnit();
    if (!unit) return fail(unit.error());
    const auto presets = (*unit)->factoryPresets();
    const std::filesystem::path folder = "out/demo";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return fail(makeError(ErrorCode::CreateFailed, "cannot create '" + folder.string() + "': " + error.message()));

    for (const auto& preset : presets) {
        char label[32];
        std::snprintf(label, sizeof label, "%02lld", static_cast<long long>(preset->number + 1));
        const std::string name = std::string(label) + "-" + preset->name;
        options.preset = PresetChoice{static_cast<std::uint32_t>(preset->number)};
        options.output = folder / (name + ".wav");
        options.quiet = true;
        auto summary = renderFile(host, options, *input);
        if (!summary) return fail(summary.error());
        std::printf("%s\n", formatSummaryLine(name, *summary).c_str());
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    auto parsed = parseCommandLine(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "orvane-render: %s\nTry 'orvane-render --help'.\n", parsed.error().c_str());
        return kExitUsage;
    }
    if (const auto* information = std::get_if<InformationRequest>(&*parsed)) {
        std::fputs(information->text.c_str(), stdout);
        return 0;
    }
    const auto& options = std::get<RenderOptions>(*parsed);

    auto host = PluginHost::open(options.plugin);
    if (!host) return fail(host.error());
    if (options.listPresets) return listPresets(*host);

    if (!options.input) {
        if (options.saveStateFile) {
            // Only a state to save: set the unit up and write it.
            auto unit = host->createUnit();
            if (!unit) return fail(unit.error());
            if (auto configured = configureUnit(**unit, options); !configured) return fail(configured.error());
            if (auto saved = saveState(**unit, *options.saveStateFile); !saved) return fail(saved.error());
            return 0;
        }
        return renderDemo(*host, options);
    }

    auto summary = renderFile(*host, options, *options.input);
    if (!summary) return fail(summary.error());
    if (!options.quiet) std::fputs(formatSummary(*summary).c_str(), stdout);
    return 0;
}
