// orvane-render: audio files through the Orvane plug-in, loaded from its
// bundle and driven through the host contract like any host drives it.

#include "hosts/render/BatchRender.h"
#include "hosts/render/DemoInput.h"
#include "hosts/render/FileRender.h"
#include "hosts/render/PluginHost.h"
#include "hosts/render/RenderError.h"
#include "hosts/render/RenderOptions.h"
#include "hosts/render/Summary.h"

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
    auto& options = std::get<RenderOptions>(*parsed);

    auto host = PluginHost::open(options.plugin);
    if (!host) return fail(host.error());
    if (options.listPresets) return listPresets(*host);

    if (options.inputs.empty()) {
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

    if (options.inputs.size() > 1) {
        auto batch = renderBatch(*host, options);
        if (!batch) return fail(batch.error());
        return batch->failed > 0 ? kExitFailure : 0;
    }

    const auto input = options.inputs.front();
    if (options.outputFolder) {
        auto planned = planBatch(options.inputs, options.outputFolder);
        if (!planned) return fail(planned.error());
        options.output = planned->front().output;
    }
    auto summary = renderFile(*host, options, input);
    if (!summary) return fail(summary.error());
    if (!options.quiet) std::fputs(formatSummary(*summary).c_str(), stdout);
    return 0;
}
