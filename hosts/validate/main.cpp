// orvane-validate: loads the plug-in bundle as a host does and puts it
// through the checks of the chosen level, one line per check, then
// "N passed, N failed". Exit status 0 only when every check passed.

#include "hosts/render/PluginHost.h"
#include "hosts/validate/Validator.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;
constexpr const char* kProgramName = "orvane-validate";

std::optional<fs::path> firstExisting(std::initializer_list<fs::path> candidates) {
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (fs::exists(candidate, error)) return fs::canonical(candidate, error);
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Checks that the Orvane plug-in behaves as hosts rely on: call order, every rate and block size, "
                 "buffer layouts, real-time safety, state, threads, tail, reproducible renders.",
                 kProgramName};
    std::string plugin;
    int level = 5;
    std::uint32_t seed = 1;
    std::string only;
    app.add_option("--plugin", plugin, "The plug-in bundle to check (default: the one installed beside the program)")
        ->type_name("FOLDER");
    app.add_option("--level", level, "How thorough, 1 (seconds) to 10 (everything, minutes); default 5")
        ->check(CLI::Range(1, 10).description(""))
        ->type_name("1..10");
    app.add_option("--seed", seed, "Seed of every random choice (default 1)")->check(CLI::Range(1u, 4294967294u).description(""))->type_name("N");
    app.add_option("--only", only, "Run only the checks of the level whose name contains this text")->type_name("TEXT");
    app.footer("Exit status: 0 when every check passed, 1 when one failed or the plug-in could not be loaded, 2 for "
               "a command line it cannot take (including --only matching no check).");
    app.set_version_flag("--version", std::string(kProgramName) + " " + ORVANE_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }

    // The checks to run, known before the plug-in is loaded, so that a typo
    // in --only says so at once instead of passing with nothing checked.
    const auto checks = orvane::validate::allChecks();
    std::vector<const orvane::validate::Check*> chosen;
    for (const auto& check : checks) {
        if (check.level <= level && (only.empty() || check.name.find(only) != std::string::npos)) chosen.push_back(&check);
    }
    if (chosen.empty()) {
        std::fprintf(stderr, "%s: --only: no check of level %d or below has '%s' in its name; the checks are:\n",
                     kProgramName, level, only.c_str());
        for (const auto& check : checks)
            std::fprintf(stderr, "  %-28s level %d\n", check.name.c_str(), check.level);
        return 2;
    }

    auto host = orvane::render::PluginHost::open(plugin.empty() ? std::nullopt : std::optional<fs::path>(plugin));
    if (!host) {
        std::fprintf(stderr, "%s: %s\n", kProgramName, host.error().message.c_str());
        return 1;
    }
    std::error_code error;
    const auto program = fs::read_symlink("/proc/self/exe", error).parent_path();
    const auto bundle = host->plugIn().bundlePath;
    orvane::validate::Context context{*host, level, seed, bundle,
                                      firstExisting({program / "orvane-render", program / "../render/orvane-render"}),
                                      firstExisting({program / "../lib/lv2/orvane.lv2", program / "../../lv2/orvane.lv2",
                                                     bundle / "../lv2/orvane.lv2"})};
    std::printf("%s %s: %s, level %d, seed %u\n", kProgramName, ORVANE_VERSION, bundle.c_str(), level, seed);
    std::fflush(stdout);

    int passed = 0, failed = 0;
    for (const auto* chosenCheck : chosen) {
        const auto& check = *chosenCheck;
        const auto started = std::chrono::steady_clock::now();
        orvane::validate::CheckResult result;
        try {
            result = check.run(context);
        } catch (const std::exception& e) {
            result = {false, std::string("threw: ") + e.what()};
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        std::printf("%s  %s (%.1f s): %s\n", result.passed ? "PASS" : "FAIL", check.name.c_str(), took.count(),
                    result.detail.c_str());
        std::fflush(stdout);
        (result.passed ? passed : failed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
