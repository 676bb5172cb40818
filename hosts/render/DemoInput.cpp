#include "hosts/render/DemoInput.h"

#include "hosts/render/RenderError.h"

#include <system_error>

#ifndef ORVANE_DEMO_STAGED_PATH
#error "ORVANE_DEMO_STAGED_PATH must name the staged demo input"
#endif
#ifndef ORVANE_DEMO_SOURCE_PATH
#error "ORVANE_DEMO_SOURCE_PATH must name the demo input in the source tree"
#endif

namespace orvane::render {

std::expected<std::filesystem::path, platform::Error> demoInputPath()
{
    for (const char* candidate : {ORVANE_DEMO_STAGED_PATH, ORVANE_DEMO_SOURCE_PATH}) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error))
            return std::filesystem::path(candidate);
    }
    return std::unexpected(makeError(ErrorCode::DemoInputMissing,
        "the demo input is missing: neither '" + std::string(ORVANE_DEMO_STAGED_PATH) + "' nor '" +
            ORVANE_DEMO_SOURCE_PATH + "' exists"));
}

} // namespace orvane::render
