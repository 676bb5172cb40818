#include "hosts/render/BatchRender.h"

#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/FileRender.h"
#include "hosts/render/ProgressBar.h"
#include "hosts/render/RenderError.h"
#include "hosts/render/Summary.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace orvane::render {
namespace {

/// A path as one spelling of the file it names: absolute, with "." and ".."
/// and the symbolic links of its existing part resolved.
std::filesystem::path comparable(const std::filesystem::path& path)
{
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    if (error)
        return path.lexically_normal();
    auto resolved = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : resolved;
}

std::expected<void, platform::Error> checkOutputFolder(const std::filesystem::path& folder)
{
    std::error_code error;
    const auto kind = std::filesystem::status(folder, error);
    if (kind.type() == std::filesystem::file_type::not_found)
        return std::unexpected(
            makeError(ErrorCode::OutputFolderMissing, "--outdir: " + quotedPath(folder) + " does not exist"));
    if (kind.type() != std::filesystem::file_type::directory)
        return std::unexpected(
            makeError(ErrorCode::OutputFolderMissing, "--outdir: " + quotedPath(folder) + " is not a folder"));
    return {};
}

/// The reports of a running batch, from any worker: error lines at once,
/// summary lines in input order as soon as every file before them is done,
/// and the count of files done on a terminal, erased around every line.
class BatchReport {
public:
    BatchReport(std::size_t files, bool quiet)
        : quiet_(quiet)
        , progress_(ProgressBar::forFilesOnStandardError(quiet, static_cast<std::int64_t>(files)))
        , lines_(files)
        , finished_(files, false)
    {
        progress_.update(0);
    }

    ~BatchReport() { progress_.finish(); }

    void rendered(std::size_t index, const RenderSummary& summary)
    {
        const std::lock_guard lock(mutex_);
        lines_[index] = formatSummaryLine(summary.inputPath.string(), summary);
        if (const auto warning = formatTruncationWarning(summary); !warning.empty()) {
            progress_.finish();
            std::fprintf(stderr, "orvane-render: %s\n", warning.c_str());
            std::fflush(stderr);
        }
        finish(index);
    }

    void failed(std::size_t index, const std::filesystem::path& input, const std::string& reason)
    {
        const std::lock_guard lock(mutex_);
        progress_.finish();
        // Most reasons already name the input; the rest get it in front.
        const auto named = quotedPath(input);
        const std::string line = reason.find(named) == std::string::npos ? named + ": " + reason : reason;
        std::fprintf(stderr, "orvane-render: %s\n", line.c_str());
        std::fflush(stderr);
        finish(index);
    }

private:
    void finish(std::size_t index)
    {
        finished_[index] = true;
        ++done_;
        progress_.finish();
        for (; printed_ < finished_.size() && finished_[printed_]; ++printed_) {
            if (!quiet_ && lines_[printed_])
                std::printf("%s\n", lines_[printed_]->c_str());
            lines_[printed_].reset();
        }
        std::fflush(stdout);
        progress_.update(done_);
    }

    std::mutex mutex_;
    bool quiet_;
    ProgressBar progress_;
    std::vector<std::optional<std::string>> lines_;
    std::vector<bool> finished_;
    std::size_t printed_ = 0;
    std::int64_t done_ = 0;
};

/// Sets a unit up from the options once, so that a preset, state or setting
/// it refuses is reported once for the batch rather than once per file; what
/// it was set up with.
std::expected<std::string, platform::Error> checkSetup(const PluginHost& host, const RenderOptions& options)
{
    auto unit = host.createUnit();
    if (!unit)
        return std::unexpected(unit.error());
    if (auto configured = configureUnit(**unit, options); !configured)
        return std::unexpected(configured.error());
    return describeSettings(**unit, options);
}

} // namespace

namespace {

/// The files a command reads and writes, each known by its resolved path and,
/// when it exists, by device and inode, which catches every spelling and
/// every hard or symbolic link. A missing input counts too: another render
/// must not create it while its own worker may still be about to open it.
class FilesTouched {
public:
    enum class Role { Input, StateInput, Output };

    void read(const std::filesystem::path& path, Role role, std::string label)
    {
        if (!isStandardStream(path))
            remember(path, {role, std::move(label)});
    }

    /// Adds a file that `writer` writes, refused when it is a file already
    /// read or written; `mayReplaceState` lets --save-state rewrite the
    /// --state file it started from.
    std::expected<void, platform::Error> write(
        const std::filesystem::path& path, std::string writer, std::string_view description, bool mayReplaceState = false)
    {
        if (isStandardStream(path))
            return {};
        const auto clash = [&](const Use& other) -> std::expected<void, platform::Error> {
            if (other.role == Role::StateInput && mayReplaceState)
                return {};
            if (other.role == Role::Output)
                return std::unexpected(makeError(ErrorCode::OutputsCollide,
                    other.label + " and " + writer + " would both write " + quotedPath(path)));
            return std::unexpected(makeError(ErrorCode::SameFileAsInput,
                std::string(description) + " is the " + other.label + "; refusing to overwrite it"));
        };
        const auto resolved = comparable(path);
        if (const auto found = byPath_.find(resolved); found != byPath_.end()) {
            if (auto ok = clash(found->second); !ok)
                return ok;
        }
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) {
            if (const auto found = byFile_.find({status.st_dev, status.st_ino}); found != byFile_.end()) {
                if (auto ok = clash(found->second); !ok)
                    return ok;
            }
        }
        remember(path, {Role::Output, std::move(writer)});
        return {};
    }

private:
    struct Use {
        Role role;
        std::string label;
    };

    void remember(const std::filesystem::path& path, const Use& use)
    {
        byPath_.emplace(comparable(path), use);
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0)
            byFile_.emplace(std::pair{status.st_dev, status.st_ino}, use);
    }

    std::map<std::filesystem::path, Use> byPath_;
    std::map<std::pair<dev_t, ino_t>, Use> byFile_;
};

} // namespace

std::expected<std::vector<BatchItem>, platform::Error> planRenders(const RenderOptions& options)
{
    const auto& outputFolder = options.outputFolder;
    if (outputFolder) {
        if (auto folder = checkOutputFolder(*outputFolder); !folder)
            return std::unexpected(folder.error());
    }
    FilesTouched files;
    for (const auto& input : options.inputs)
        files.read(input, FilesTouched::Role::Input, "input file " + quotedPath(input));
    if (options.stateFile)
        files.read(*options.stateFile, FilesTouched::Role::StateInput, "--state file " + quotedPath(*options.stateFile));

    std::vector<BatchItem> items;
    for (const auto& input : options.inputs) {
        const auto beside = defaultOutputPath(input, options.fileType.value_or(FileType::Wav));
        BatchItem item{input,
            options.output ? *options.output : outputFolder ? *outputFolder / beside.filename() : beside};
        // Its format and, with -n, its absence, before anything is rendered.
        RenderOptions single = options;
        single.output = item.output;
        if (auto plan = planOutput(input, single); !plan)
            return std::unexpected(plan.error());
        if (auto written = files.write(item.output, quotedPath(input),
                "output " + quotedPath(item.output) + " of " + quotedPath(input));
            !written)
            return std::unexpected(written.error());
        items.push_back(std::move(item));
    }
    if (options.saveStateFile) {
        if (auto writable = checkSaveStateTarget(*options.saveStateFile); !writable)
            return std::unexpected(writable.error());
        if (auto written = files.write(*options.saveStateFile, "--save-state",
                "--save-state " + quotedPath(*options.saveStateFile), true);
            !written)
            return std::unexpected(written.error());
    }
    return items;
}

std::expected<BatchOutcome, platform::Error> renderBatch(const PluginHost& host, const RenderOptions& options)
{
    auto items = planRenders(options);
    if (!items)
        return std::unexpected(items.error());
    auto setup = checkSetup(host, options);
    if (!setup)
        return std::unexpected(setup.error());
    // Every file of the batch renders with these settings: said once.
    if (!options.quiet) {
        std::printf("with    %s\n", setup->c_str());
        std::fflush(stdout);
    }

    // What every file's render shares: the settings, without the list of
    // inputs and with each file's own output filled in by its worker.
    RenderOptions shared = options;
    shared.inputs.clear();
    shared.outputFolder.reset();
    shared.quiet = true;

    const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t jobs = std::min<std::size_t>(options.jobs.value_or(processors), items->size());
    BatchReport report(items->size(), options.quiet);
    std::mutex setupLock;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failures{0};

    const auto work = [&] {
        RenderOptions fileOptions = shared;
        for (;;) {
            const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= items->size())
                return;
            const auto& item = (*items)[index];
            fileOptions.output = item.output;
            std::string reason;
            try {
                auto summary = renderFile(host, fileOptions, item.input, &setupLock);
                if (summary) {
                    report.rendered(index, *summary);
                    continue;
                }
                reason = summary.error().message;
            } catch (const std::exception& error) {
                // Out of memory for one file must not end the others.
                reason = error.what();
            }
            failures.fetch_add(1, std::memory_order_relaxed);
            report.failed(index, item.input, reason);
        }
    };
    {
        std::vector<std::jthread> workers;
        try {
            for (std::size_t i = 0; i < jobs; ++i)
                workers.emplace_back(work);
        } catch (const std::system_error&) {
            // Fewer threads than asked still share out every file; with
            // none at all this thread renders them.
            if (workers.empty())
                work();
        }
    }
    const std::size_t failed = failures.load();
    return BatchOutcome{items->size() - failed, failed};
}

} // namespace orvane::render
