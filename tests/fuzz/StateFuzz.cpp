// Saved states and presets from untrusted bytes, applied to a unit: whatever
// the dictionary holds, every parameter ends up a number from 0 to 1 and the
// state saves again.

#include "plugin/OrvaneAudioUnit.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto unit = *orvane::OrvaneAudioUnit::create(
        {platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0});
    auto parsed = platform::parsePropertyList({data, size});
    if (!parsed || !parsed->dictionary()) return 0;
    unit->setFullState(*parsed->dictionary());
    for (const auto& parameter : unit->parameterTree()->allParameters()) {
        const float value = parameter->value();
        if (!(value >= 0.0f && value <= 1.0f)) std::abort();
    }
    if (!unit->fullState()) std::abort();
    return 0;
}
