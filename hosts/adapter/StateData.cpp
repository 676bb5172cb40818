#include "hosts/adapter/StateData.h"

#include "hosts/adapter/UnitBundle.h"
#include "platform/foundation/PropertyList.h"

#include <string>

namespace orvane::adapter {

namespace {

platform::Error refused(std::string message) { return platform::Error{"Orvane", 2, std::move(message)}; }

} // namespace

std::expected<std::vector<std::uint8_t>, platform::Error> saveStateData(platform::AUAudioUnit& unit) {
    return saveStateData(unit, {});
}

std::expected<std::vector<std::uint8_t>, platform::Error> saveStateData(platform::AUAudioUnit& unit,
                                                                        const platform::PropertyList::Dictionary& extra) {
    auto state = unit.fullState();
    if (!state) return std::unexpected(refused("the unit has no state to save"));
    for (const auto& [key, value] : extra) state->insert_or_assign(key, value);
    return platform::serializePropertyList(platform::PropertyList(std::move(*state)), platform::PlistFormat::binary);
}

std::expected<platform::PropertyList::Dictionary, platform::Error> restoreStateData(platform::AUAudioUnit& unit,
                                                                                    std::span<const std::uint8_t> bytes) {
    auto parsed = platform::parsePropertyList(bytes);
    if (!parsed) return std::unexpected(refused("the saved state is not a property list: " + parsed.error().message));
    const auto* dictionary = parsed->dictionary();
    if (!dictionary) return std::unexpected(refused("the saved state is not a dictionary"));
    const std::pair<const char*, std::uint32_t> identity[] = {{"type", kOrvaneDescription.componentType},
                                                              {"subtype", kOrvaneDescription.componentSubType},
                                                              {"manufacturer", kOrvaneDescription.componentManufacturer}};
    for (const auto& [key, expected] : identity) {
        const auto* value = parsed->find(key);
        if (value && (!value->integer() || *value->integer() != static_cast<std::int64_t>(expected)))
            return std::unexpected(refused(std::string("the saved state belongs to another plug-in (") + key + ")"));
    }
    if (const auto* version = parsed->find("orvane_state_version"); version && (!version->integer() || *version->integer() != 1))
        return std::unexpected(refused("the saved state has an orvane_state_version other than 1"));
    unit.setFullState(*dictionary);
    return *dictionary;
}

} // namespace orvane::adapter
