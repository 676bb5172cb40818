#include "hosts/adapter/ParameterTable.h"

#include "platform/audiounit/AUParameterText.h"

#include <charconv>
#include <cstdio>
#include <cmath>

namespace orvane::adapter {

std::string presetLabel(std::size_t index, const std::string& name) {
    char number[24];
    std::snprintf(number, sizeof number, "%02zu ", index + 1);
    return number + name;
}

ParameterTable ParameterTable::describe(platform::AUAudioUnit& unit,
                                        std::shared_ptr<platform::AUAudioUnitFactory> principal) {
    ParameterTable table;
    table.principal_ = std::move(principal);
    table.tree_ = unit.parameterTree();
    if (!table.tree_) return table;
    const auto& all = table.tree_->allParameters();
    for (const auto& p : all)
        table.parameters_.push_back({p->address(), p->identifier(), p->displayName(), p->minValue(), p->maxValue(), p->value()});

    const auto presets = unit.factoryPresets();
    for (const auto& preset : presets) {
        unit.setCurrentPreset(preset);
        HostPreset values{preset->name, {}};
        for (const auto& p : all) values.values.push_back(p->value());
        table.presets_.push_back(std::move(values));
    }
    if (!presets.empty()) unit.setCurrentPreset(presets.front());
    return table;
}

const HostParameter* ParameterTable::find(platform::AUParameterAddress address) const {
    for (const auto& parameter : parameters_) {
        if (parameter.address == address) return &parameter;
    }
    return nullptr;
}

std::string ParameterTable::text(platform::AUParameterAddress address, float value) const {
    if (auto* words = dynamic_cast<const platform::AUParameterTextProvider*>(principal_.get())) {
        if (auto text = words->displayTextForValue(address, value); !text.empty()) return text;
    }
    auto parameter = tree_ ? tree_->parameterWithAddress(address) : nullptr;
    return parameter ? parameter->stringFromValue(&value) : std::string{};
}

std::optional<float> ParameterTable::valueFromText(platform::AUParameterAddress address, std::string_view text) const {
    const auto* parameter = find(address);
    if (!parameter) return std::nullopt;
    if (auto* words = dynamic_cast<const platform::AUParameterTextProvider*>(principal_.get()))
        return words->valueForDisplayText(address, text);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    float value = 0.0f;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    if (value < parameter->minValue || value > parameter->maxValue) return std::nullopt;
    return value;
}

} // namespace orvane::adapter
