#include "hosts/render/DemoInput.h"

#include "hosts/render/RenderError.h"

#include <string>
#include <system_error>
#include <vector>

#ifndef ORVANE_DEMO_STAGED_PATH
#error "ORVANE_DEMO_STAGED_PATH must name the staged demo input"
#endif
#ifndef ORVANE_DEMO_SOURCE_PATH
#error "ORVANE_DEMO_SOURCE_PATH must name the demo input in the source tree"
#endif

namespace orvane::render {

std::expected<std::filesystem::path, platform::Error> demoInputPath()
{
    // An installed program finds the clip in <prefix>/share/orvane; a build
    // finds the copy staged in the build tree, or the source's own.
    std::vector<std::filesystem::path> candidates;
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        candidates.push_back(program.parent_path().parent_path() / "share" / "orvane" / "demo.flac");
    candidates.emplace_back(ORVANE_DEMO_STAGED_PATH);
    candidates.emplace_back(ORVANE_DEMO_SOURCE_PATH);
    std::string looked;
    for (const auto& candidate : candidates) {
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate;
        looked += (looked.empty() ? "'" : ", '") + candidate.string() + "'";
    }
    return std::unexpected(makeError(ErrorCode::DemoInputMissing,
        "the demo input is missing: none of " + looked + " exists"));
}

} // namespace orvane::render
