#pragma once

#include "platform/audiounit/AudioTypes.h"

#include <string>

namespace orvane {

/// What a knob's plaque says about a value: `text`, short enough for the
/// plaque of the smallest knob, and a `detail` shown after it where the
/// plaque has room (empty when there is none).
struct KnobReadout {
    std::string text;
    std::string detail;
};

/// The readout of the parameter at `address` (0 premix to 5 gravitas) set to
/// `value`: the quantity the effect really sets, worked out by the engine's
/// own curves. Empty for any other address.
KnobReadout knobReadout(platform::AUParameterAddress address, float value);

} // namespace orvane
