// Property lists from untrusted bytes (saved states, presets, information
// dictionaries): parsing never crashes, and whatever parses survives both
// encodings unchanged.

#include "platform/foundation/PropertyList.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = platform::parsePropertyList({data, size});
    if (!parsed) return 0;
    for (auto format : {platform::PlistFormat::xml, platform::PlistFormat::binary}) {
        auto bytes = platform::serializePropertyList(*parsed, format);
        // Values without an encoding (dates far out of range) may be refused.
        if (!bytes) continue;
        auto again = platform::parsePropertyList(*bytes);
        if (!again) std::abort();
        // XML keeps whole seconds of dates only; the binary round trip must
        // give the same bytes again (which, unlike ==, holds for NaN too).
        if (format == platform::PlistFormat::binary) {
            auto twice = platform::serializePropertyList(*again, format);
            if (!twice || *twice != *bytes) std::abort();
        }
    }
    return 0;
}
