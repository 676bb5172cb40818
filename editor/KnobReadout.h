#pragma once

#include "platform/audiounit/AudioTypes.h"

#include <optional>
#include <string>
#include <string_view>

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

/// The parameter value whose readout `text` names, for the parameter at
/// `address` (0 premix to 5 gravitas); nothing when the text cannot be
/// read or lies outside the knob's range.
///
/// The text is a number with a decimal point (never a comma), an optional
/// unit and optionally the readout's own word before or after it ("depth",
/// "spread", "feedback", "wander", "decay", "wet"); any case, spaces
/// optional. Units: ms or s for granularity, incoherence and nausea, and for
/// gravitas's decay, which also takes its filter corner in Hz or kHz; % for
/// premix and impatience. "no reverb" (or "off") is gravitas 0.
///
/// A bare number is in the readout's own unit (ms for granularity,
/// incoherence and nausea, s for gravitas, % for premix and impatience),
/// except that on the two percentage knobs a bare number from 0 to 1 is a
/// share: 0.62 is 62%.
///
/// A quantity outside the knob's range by no more than half the readout's
/// last displayed step is taken as the end (so every readout reads back:
/// "feedback 98%" is impatience 1); farther out is refused. A decay names a
/// reverberation that is on, so the shortest decay is a hair above gravitas
/// 0, which is "no reverb".
///
/// The value is found on the engine's curves themselves, so the readout of
/// the result is the text read, to the readout's precision.
std::optional<float> knobValueFromText(platform::AUParameterAddress address, std::string_view text);

} // namespace orvane
