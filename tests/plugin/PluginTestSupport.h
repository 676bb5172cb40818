#pragma once

#include "plugin/OrvaneAudioUnit.h"
#include "platform/audiounit/AudioTypes.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace orvane::testing {

inline platform::AudioComponentDescription orvaneDescription() {
    return {platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0};
}

inline std::shared_ptr<OrvaneAudioUnit> makeUnit() {
    auto unit = OrvaneAudioUnit::create(orvaneDescription());
    EXPECT_TRUE(unit.has_value()) << (unit ? "" : unit.error().message);
    return unit ? *unit : nullptr;
}

inline std::vector<float> noise(std::size_t n, unsigned seed, float level = 0.5f) {
    return testsignals::noise(n, seed, level);
}

/// Identifier -> value as the tree reports it.
inline std::map<std::string, float> treeValues(OrvaneAudioUnit& unit) {
    std::map<std::string, float> values;
    for (const auto& p : unit.parameterTree()->allParameters()) values[p->identifier()] = p->value();
    return values;
}

} // namespace orvane::testing
