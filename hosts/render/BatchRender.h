#pragma once

#include "hosts/render/PluginHost.h"
#include "hosts/render/RenderOptions.h"
#include "platform/foundation/Error.h"

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <vector>

namespace orvane::render {

/// One file of a batch: the input and the output it renders to.
struct BatchItem {
    std::filesystem::path input;
    std::filesystem::path output;
};

/// Each input's "<input stem>-orvane.wav", in `outputFolder` or else beside
/// the input. Refuses, before anything is rendered, an output folder that is
/// not an existing folder, two inputs that would write the same file however
/// their paths are spelt, and an output that is one of the inputs (so no
/// input is ever replaced, even by another input's render).
std::expected<std::vector<BatchItem>, platform::Error> planBatch(
    const std::vector<std::filesystem::path>& inputs, const std::optional<std::filesystem::path>& outputFolder);

/// How many files of a batch were rendered and how many failed.
struct BatchOutcome {
    std::size_t rendered = 0;
    std::size_t failed = 0;
};

/// Renders options.inputs into their planned outputs on options.jobs worker
/// threads (one per processor by default), each file through a fresh unit
/// configured and seeded from the options, so that a file's output depends
/// on its own input and the options alone, whatever the number of jobs.
/// Errors that concern the whole batch (the plan, or a preset, state or
/// setting the unit refuses) come back before anything is rendered. A file's
/// own failure is one line on standard error naming the file; it leaves no
/// output and the other files go on. Unless options.quiet, each rendered file
/// prints one summary line on standard output, in input order, and a
/// terminal shows how many files are done.
std::expected<BatchOutcome, platform::Error> renderBatch(const PluginHost& host, const RenderOptions& options);

} // namespace orvane::render
