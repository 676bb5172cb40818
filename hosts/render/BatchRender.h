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

/// What a command renders: each input with its output (options.output for a
/// single input, else "<input stem>-orvane.wav" in options.outputFolder or
/// beside the input). Refuses, before anything is rendered or written, an
/// output folder that is not a folder, and any file the command would write
/// (the outputs and options.saveStateFile) that is one of the files it reads
/// (the inputs and options.stateFile) or another file it writes, compared by
/// resolved path and by device and inode. --save-state may name the --state
/// file: rewriting a state in place is an edit the user asks for.
std::expected<std::vector<BatchItem>, platform::Error> planRenders(const RenderOptions& options);

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
