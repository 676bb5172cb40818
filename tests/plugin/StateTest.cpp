#include "PluginTestSupport.h"

#include <bit>
#include <cmath>
#include <limits>

namespace orvane {
namespace {

using platform::PropertyList;
using testing::makeUnit;
using testing::treeValues;

PropertyList::Dictionary stateWith(PropertyList params) {
    return PropertyList::Dictionary{{"orvane_params", std::move(params)}, {"name", "Saved"}};
}

const std::map<std::string, float> kDefaults{{"premix", 0.5f}, {"granularity", 0.0f}, {"incoherence", 0.0f},
                                             {"impatience", 0.5f}, {"nausea", 0.0f}, {"gravitas", 0.0f}};

TEST(SavedState, ClampsValuesAndReturnsMissingOnesToDefaults) {
    auto unit = makeUnit();
    unit->setFullState(stateWith(PropertyList::Dictionary{{"premix", 2.5}, {"nausea", -1}, {"unknown", 0.3}}));
    auto expected = kDefaults;
    expected["premix"] = 1.0f;
    expected["nausea"] = 0.0f;
    EXPECT_EQ(treeValues(*unit), expected);

    // Integers count; NaN falls back to the default.
    unit->setFullState(stateWith(PropertyList::Dictionary{
        {"premix", 1}, {"gravitas", std::numeric_limits<double>::quiet_NaN()}, {"nausea", 0.25}}));
    expected["nausea"] = 0.25f;
    EXPECT_EQ(treeValues(*unit), expected);
    EXPECT_FALSE(std::isnan(unit->dspKernel->gravitas.load()));
}

TEST(SavedState, MalformedParametersMeanDefaultsEverywhere) {
    auto unit = makeUnit();
    const PropertyList malformed[] = {
        PropertyList::Dictionary{{"premix", 0.9}, {"gravitas", "loud"}},
        PropertyList(PropertyList::Array{0.1, 0.2}),
        PropertyList(0.7),
        PropertyList::Dictionary{{"premix", true}},
    };
    for (const auto& params : malformed) {
        unit->parameterTree()->parameterWithAddress(5)->setValue(0.8f);
        unit->setFullState(stateWith(params));
        EXPECT_EQ(treeValues(*unit), kDefaults);
    }
    unit->parameterTree()->parameterWithAddress(5)->setValue(0.8f);
    unit->setFullState(PropertyList::Dictionary{{"version", 0}});
    EXPECT_EQ(treeValues(*unit), kDefaults);
}

TEST(SavedState, HoldsExactlyTheDocumentedKeysAndRestoringNothingChangesNothing) {
    auto unit = makeUnit();
    const auto state = *unit->fullState();
    std::vector<std::string> keys;
    for (const auto& [key, value] : state) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"manufacturer", "name", "orvane_params", "orvane_state_version", "subtype",
                                              "type", "version"}));
    EXPECT_EQ(*state.at("version").integer(), 0);
    EXPECT_EQ(*state.at("type").integer(), 0x61756678);
    EXPECT_EQ(*state.at("subtype").integer(), platform::fourCharCode("orvn"));
    EXPECT_EQ(*state.at("manufacturer").integer(), platform::fourCharCode("Orvn"));
    EXPECT_EQ(*state.at("orvane_state_version").integer(), 1);
    EXPECT_EQ(*state.at("name").string(), unit->currentPreset()->name);
    EXPECT_EQ(state.at("orvane_params").dictionary()->size(), 6u);
    EXPECT_EQ(unit->fullStateForDocument(), unit->fullState());

    // Restoring nothing changes nothing; restoring a state keeps the current preset.
    unit->parameterTree()->parameterWithAddress(2)->setValue(0.4f);
    const auto before = treeValues(*unit);
    const auto preset = unit->currentPreset();
    unit->setFullState(std::nullopt);
    unit->setFullStateForDocument(std::nullopt);
    EXPECT_EQ(treeValues(*unit), before);
    unit->setFullState(stateWith(PropertyList::Dictionary{{"premix", 0.2}}));
    EXPECT_EQ(unit->currentPreset(), preset);
}

TEST(SavedState, RoundTripsBitForBitThroughEveryEncoding) {
    const float odd[] = {0.1f, 1.0f / 3.0f, 0.70710677f, 1e-7f, std::nextafter(1.0f, 0.0f), 0.999f};
    for (auto format : {platform::PlistFormat::xml, platform::PlistFormat::binary}) {
        auto source = makeUnit();
        for (std::size_t i = 0; i < 6; ++i) source->parameterTree()->parameterWithAddress(i)->setValue(odd[i]);
        auto bytes = platform::serializePropertyList(PropertyList(*source->fullState()), format);
        ASSERT_TRUE(bytes.has_value());
        auto parsed = platform::parsePropertyList(*bytes);
        ASSERT_TRUE(parsed.has_value());

        auto target = makeUnit();
        target->setFullStateForDocument(*parsed->dictionary());
        for (std::size_t i = 0; i < 6; ++i) {
            const auto& id = source->parameterTree()->allParameters()[i]->identifier();
            EXPECT_EQ(std::bit_cast<std::uint32_t>(treeValues(*target).at(id)), std::bit_cast<std::uint32_t>(odd[i]))
                << id;
        }
    }
}

} // namespace
} // namespace orvane
