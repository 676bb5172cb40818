#include "editor/KnobReadout.h"

#include "engine/ControlCurves.h"

#include <cmath>
#include <cstdio>

namespace orvane {

namespace {

constexpr double kMilliseconds = 1000.0;

/// Two significant digits below ten, whole numbers above: enough to tell
/// two settings apart by ear.
std::string amount(double value) {
    char text[32];
    if (value == 0.0) return "0";
    std::snprintf(text, sizeof text, value < 9.95 ? "%.1f" : "%.0f", value);
    return text;
}

std::string percent(double share) { return std::to_string(std::lround(share * 100.0)) + "%"; }

std::string frequency(double hertz) {
    return hertz < 999.5 ? amount(hertz) + " Hz" : amount(hertz / 1000.0) + " kHz";
}

} // namespace

KnobReadout knobReadout(platform::AUParameterAddress address, float value) {
    switch (address) {
    case 0:
        return {percent(curves::wetShare(value)) + " wet", {}};
    case 1:
        // The delays sweep from their offsets to twice the depth above them.
        return {"depth " + amount(2.0 * curves::streamDepthSeconds(value) * kMilliseconds) + " ms", {}};
    case 2:
        return {"spread " + amount(curves::streamSpreadSeconds(value) * kMilliseconds) + " ms", {}};
    case 3:
        return {"feedback " + percent(curves::streamFeedback(value)), {}};
    case 4:
        return {"wander " + amount(curves::outputWanderSeconds(value) * kMilliseconds) + " ms", {}};
    case 5: {
        const std::string corner = frequency(curves::filterCutoffHz(value));
        if (curves::reverbShare(value) == 0.0f) return {"no reverb", corner};
        return {"decay " + amount(curves::reverbDecaySeconds(value)) + " s", corner};
    }
    default:
        return {};
    }
}

} // namespace orvane
