#include "PluginTestSupport.h"

#include <clocale>

namespace orvane {
namespace {

using testing::makeUnit;

TEST(ParameterTree, SixFlatParametersInAddressOrder) {
    auto unit = makeUnit();
    auto tree = unit->parameterTree();
    ASSERT_TRUE(tree);
    const char* ids[] = {"premix", "granularity", "incoherence", "impatience", "nausea", "gravitas"};
    const char* names[] = {"Premix", "Granularity", "Incoherence", "Impatience", "Nausea", "Gravitas"};
    ASSERT_EQ(tree->allParameters().size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const auto& p = tree->allParameters()[i];
        EXPECT_EQ(p->address(), i);
        EXPECT_EQ(p->identifier(), ids[i]);
        EXPECT_EQ(p->displayName(), names[i]);
        EXPECT_EQ(p->minValue(), 0.0f);
        EXPECT_EQ(p->maxValue(), 1.0f);
        EXPECT_EQ(p->unit(), platform::kAudioUnitParameterUnit_Generic);
        EXPECT_EQ(p->flags(), 0xC0000000u);
        EXPECT_FALSE(p->unitName().has_value());
        EXPECT_TRUE(p->valueStrings().empty());
        EXPECT_EQ(tree->parameterWithAddress(i), p);
    }
    EXPECT_EQ(tree->parameterWithAddress(6), nullptr);
}

TEST(ParameterTree, WritesReachTheKernelWithOneTailTimeNotificationPair) {
    auto unit = makeUnit();
    std::vector<platform::KeyValueChange> changes;
    const auto token = unit->addObserverForKey("tailTime", [&](std::string_view key, platform::KeyValueChange c) {
        EXPECT_EQ(key, "tailTime");
        changes.push_back(c);
    });
    unit->parameterTree()->parameterWithAddress(1)->setValue(0.25f);
    EXPECT_EQ(unit->dspKernel->granularity.load(), 0.25f);
    EXPECT_EQ(changes, (std::vector{platform::KeyValueChange::willChange, platform::KeyValueChange::didChange}));
    unit->removeObserver(token);

    // Values outside the range are stored unclamped, as written.
    unit->parameterTree()->parameterWithAddress(0)->setValue(1.5f);
    EXPECT_EQ(unit->dspKernel->premix.load(), 1.5f);
}

TEST(ParameterTree, DisplayStringsHaveThreeDecimalsWithAPointInAnyLocale) {
    auto unit = makeUnit();
    auto p = unit->parameterTree()->parameterWithAddress(0);
    const std::pair<float, const char*> cases[] = {
        {0.5f, "0.500"}, {1.0f, "1.000"}, {0.0f, "0.000"}, {0.25f, "0.250"}, {1.0f / 3.0f, "0.333"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(p->stringFromValue(&value), text);
    p->setValue(0.125f);
    EXPECT_EQ(p->stringFromValue(nullptr), "0.125");

    // A locale with a decimal comma, where one is installed, changes nothing.
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        const float half = 0.5f;
        EXPECT_EQ(p->stringFromValue(&half), "0.500");
        std::setlocale(LC_NUMERIC, "C");
    }
}

TEST(ParameterTree, CallbacksOutlivingTheUnitFallBackToStoredValues) {
    std::shared_ptr<platform::AUParameterTree> tree;
    {
        auto unit = makeUnit();
        tree = unit->parameterTree();
    }
    auto p = tree->parameterWithAddress(3);
    p->setValue(0.75f); // the observer finds no unit and does nothing
    EXPECT_EQ(p->value(), 0.75f);
}

} // namespace
} // namespace orvane
