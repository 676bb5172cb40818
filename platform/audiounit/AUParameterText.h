#pragma once

#include "platform/audiounit/AudioTypes.h"

#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// What a plug-in's principal object may offer hosts besides making units:
/// the words a host shows for a parameter's value, and the value a user's
/// typed words name. Hosts ask the principal for it with a dynamic cast; a
/// principal without it leaves hosts to each parameter's own display string.
/// Any thread; the answers depend on the arguments alone.
class AUParameterTextProvider {
public:
    virtual ~AUParameterTextProvider();

    /// The text for `value` of the parameter at `address`; empty for an
    /// address the plug-in does not know.
    virtual std::string displayTextForValue(AUParameterAddress address, AUValue value) const = 0;
    /// The value `text` names for the parameter at `address`; null when it
    /// cannot be read or lies outside the parameter's range.
    virtual std::optional<AUValue> valueForDisplayText(AUParameterAddress address, std::string_view text) const = 0;
};

} // namespace platform
