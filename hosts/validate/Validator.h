#pragma once

#include "hosts/render/PluginHost.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace orvane::validate {

/// What one check found: whether it passed, and a line saying what it saw.
struct CheckResult {
    bool passed = true;
    std::string detail;
};

/// What every check may use: the loaded plug-in, how thorough to be, the
/// seed of every random choice, and where the other programs are.
struct Context {
    const render::PluginHost& host;
    int level = 5;
    std::uint32_t seed = 1;
    std::filesystem::path pluginBundle;
    /// orvane-render and orvane.lv2, when they can be found.
    std::optional<std::filesystem::path> renderProgram;
    std::optional<std::filesystem::path> lv2Bundle;
};

/// One named check, run from `level` up.
struct Check {
    std::string name;
    int level = 1;
    std::function<CheckResult(const Context&)> run;
};

/// Every check, cheapest first.
std::vector<Check> allChecks();

} // namespace orvane::validate
