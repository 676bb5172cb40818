// orvane-render: audio files through the Orvane plug-in, loaded from its
// bundle and driven through the host contract like any host drives it.

#include "hosts/render/BatchRender.h"
#include "hosts/render/DemoInput.h"
#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/FileRender.h"
#include "hosts/render/PluginHost.h"
#include "hosts/render/RenderError.h"
#include "hosts/render/RenderOptions.h"
#include "hosts/render/Summary.h"
#include "platform/foundation/PendingFiles.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using namespace orvane::render;

constexpr const char* kProgramName = "orvane-render";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

/// Prints the error; a command line that cannot be (an unknown preset, a
/// format that does not go with --bits, a file it would write that is one it
/// reads) is a usage error, anything else a failure.
int fail(const platform::Error& error) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, error.message.c_str());
    return isCommandLineRefusal(error) ? kExitUsage : kExitFailure;
}

/// The presets numbered as their labels and the demo's files are, from 1.
int listPresets(const PluginHost& host) {
    auto unit = host.createUnit();
    if (!unit) return fail(unit.error());
    for (const auto& preset : (*unit)->factoryPresets()) std::printf("%lld  %s\n", static_cast<long long>(preset->number + 1), preset->name.c_str());
    return 0;
}

/// Removes what killed runs left in the folders about to be written, and
/// says so in one line.
void sweepOutputFolders(const std::vector<std::filesystem::path>& outputs, bool quiet) {
    std::vector<std::filesystem::path> folders;
    for (const auto& output : outputs) {
        if (isStandardStream(output)) continue;
        auto folder = resolvedOutputPath(output).parent_path();
        if (folder.empty()) folder = ".";
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
    for (const auto& folder : folders) {
        const auto removed = removeStaleTemporaries(folder);
        if (removed > 0 && !quiet) {
            std::fprintf(stderr, "%s: removed %zu unfinished file%s that interrupted runs left in '%s'\n", kProgramName,
                         removed, removed == 1 ? "" : "s", folder.c_str());
        }
    }
}

/// Renders one file as planned and reports it; the exit status.
int renderOne(const PluginHost& host, RenderOptions options, const std::filesystem::path& input,
              const std::filesystem::path& output, const std::string& label = {}) {
    options.output = output;
    auto summary = renderFile(host, options, input);
    if (!summary) return fail(summary.error());
    if (const auto warning = formatTruncationWarning(*summary); !warning.empty())
        std::fprintf(stderr, "%s: %s\n", kProgramName, warning.c_str());
    // Standard output carries the audio then, and nothing else.
    std::FILE* report = isStandardStream(output) ? stderr : stdout;
    if (!options.quiet) {
        std::fputs(label.empty() ? formatSummary(*summary).c_str() : (formatSummaryLine(label, *summary) + "\n").c_str(),
                   report);
    }
    std::fflush(report);
    return 0;
}

/// "NN-Name", the demo's name for a factory preset, NN counted from 1.
std::string demoName(const platform::AUAudioUnitPreset& preset) {
    char label[32];
    std::snprintf(label, sizeof label, "%02lld", static_cast<long long>(preset.number + 1));
    return std::string(label) + "-" + preset.name;
}

/// The built-in demo clip in place of an input. With nothing that picks a
/// sound or a file (no --preset, --state or -o) it goes through every factory
/// preset into out/demo/NN-Name.wav, --set applied on top of each; otherwise
/// it is rendered once, with the settings given, into -o, or else
/// out/demo/NN-Name.wav for a --preset and out/demo/demo-orvane.wav for a
/// --state.
int renderDemo(const PluginHost& host, RenderOptions options) {
    auto input = demoInputPath();
    if (!input) return fail(input.error());
    auto unit = host.createUnit();
    if (!unit) return fail(unit.error());
    const auto presets = (*unit)->factoryPresets();
    const std::filesystem::path folder = "out/demo";

    std::vector<std::pair<std::string, std::filesystem::path>> renders; // label, output
    const bool tour = !options.preset && !options.stateFile && !options.output;
    if (tour) {
        for (const auto& preset : presets) renders.emplace_back(demoName(*preset), folder / (demoName(*preset) + ".wav"));
    } else {
        if (auto configured = configureUnit(**unit, options); !configured) return fail(configured.error());
        const auto current = (*unit)->currentPreset();
        const std::string name =
            options.preset && current && current->number >= 0 ? demoName(*current) : std::string("demo-orvane");
        renders.emplace_back(name, options.output.value_or(folder / (name + ".wav")));
    }
    for (const auto& [label, output] : renders) {
        RenderOptions planned = options;
        planned.inputs = {*input};
        planned.output = output;
        if (auto plan = planRenders(planned); !plan) return fail(plan.error());
    }
    if (!options.output) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) return fail(makeError(ErrorCode::CreateFailed, "cannot create '" + folder.string() + "': " + error.message()));
    }
    std::vector<std::filesystem::path> outputs;
    for (const auto& render : renders) outputs.push_back(render.second);
    sweepOutputFolders(outputs, options.quiet);
    for (std::size_t i = 0; i < renders.size(); ++i) {
        RenderOptions each = options;
        if (tour) each.preset = PresetChoice{static_cast<std::uint32_t>(presets[i]->number + 1)};
        // A summary line per file of the tour; the full summary for one render.
        if (const int status = renderOne(host, each, *input, renders[i].second, tour ? renders[i].first : std::string());
            status != 0)
            return status;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    auto parsed = parseCommandLine(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgramName, parsed.error().c_str(), kProgramName);
        return kExitUsage;
    }
    if (const auto* information = std::get_if<InformationRequest>(&*parsed)) {
        std::fputs(information->text.c_str(), stdout);
        return 0;
    }
    auto& options = std::get<RenderOptions>(*parsed);
    // Ctrl+C, a closed terminal or a kill: every half-written file goes.
    platform::removePendingFilesOnSignals(kProgramName);

    auto host = PluginHost::open(options.plugin);
    if (!host) return fail(host.error());
    if (options.listPresets) return listPresets(*host);

    if (options.inputs.empty()) {
        if (options.saveStateFile && !options.output) {
            // Only a state to save: set the unit up and write it.
            if (auto plan = planRenders(options); !plan) return fail(plan.error());
            auto unit = host->createUnit();
            if (!unit) return fail(unit.error());
            if (auto configured = configureUnit(**unit, options); !configured) return fail(configured.error());
            if (auto saved = saveState(**unit, *options.saveStateFile); !saved) return fail(saved.error());
            return 0;
        }
        return renderDemo(*host, options);
    }

    auto planned = planRenders(options);
    if (!planned) return fail(planned.error());
    std::vector<std::filesystem::path> outputs;
    for (const auto& item : *planned) outputs.push_back(item.output);
    sweepOutputFolders(outputs, options.quiet);

    if (options.inputs.size() > 1) {
        auto batch = renderBatch(*host, options);
        if (!batch) return fail(batch.error());
        return batch->failed > 0 ? kExitFailure : 0;
    }
    return renderOne(*host, options, planned->front().input, planned->front().output);
}
