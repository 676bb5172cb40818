#pragma once

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AUAudioUnitFactory.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::adapter {

/// One parameter as a plug-in format presents it to its host.
struct HostParameter {
    platform::AUParameterAddress address = 0;
    std::string identifier;
    std::string name;
    float minValue = 0.0f;
    float maxValue = 1.0f;
    /// The value a new instance starts at: factory preset 0's, as the unit
    /// selects that preset when it is made.
    float defaultValue = 0.0f;
};

/// One factory preset with the values it sets, in parameter order.
struct HostPreset {
    std::string name;
    std::vector<float> values;
};

/// A factory preset's label as hosts list it: its number in the factory
/// order, counted from 1, before its name ("04 Dark Wash"), so that hosts
/// that sort presets by label keep that order.
std::string presetLabel(std::size_t index, const std::string& name);

/// The unit's parameters and factory presets as every plug-in format lists
/// them, and the words for their values: the principal object's own (the
/// editor's readouts) when it offers them, else each parameter's display
/// string. Read once from a fresh unit on a host thread; after that it is
/// read-only and any thread may use it.
class ParameterTable {
public:
    /// Reads the parameters from a unit that has just been made and each
    /// factory preset's values by selecting it, then selects preset 0 again.
    static ParameterTable describe(platform::AUAudioUnit& unit,
                                   std::shared_ptr<platform::AUAudioUnitFactory> principal);

    const std::vector<HostParameter>& parameters() const { return parameters_; }
    const std::vector<HostPreset>& presets() const { return presets_; }
    /// The parameter at `address`, or null.
    const HostParameter* find(platform::AUParameterAddress address) const;

    /// The words a host shows for `value` of the parameter at `address`.
    std::string text(platform::AUParameterAddress address, float value) const;
    /// The value that `text`, typed by a user, names; null when it names none
    /// within the parameter's range.
    std::optional<float> valueFromText(platform::AUParameterAddress address, std::string_view text) const;

private:
    std::vector<HostParameter> parameters_;
    std::vector<HostPreset> presets_;
    std::shared_ptr<platform::AUParameterTree> tree_;
    std::shared_ptr<platform::AUAudioUnitFactory> principal_;
};

} // namespace orvane::adapter
