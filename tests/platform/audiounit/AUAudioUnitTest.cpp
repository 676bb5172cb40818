#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AUAudioUnitFactory.h"
#include "tests/platform/audiounit/TestUnits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;
using audiounit_test::GainUnit;
using audiounit_test::kTestDescription;
using audiounit_test::PlainUnit;

TEST(AUAudioUnit, BaseConstructionNeedsAComponentType) {
    AudioComponentDescription noType = kTestDescription;
    noType.componentType = 0;
    auto failed = PlainUnit::create(noType);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().domain, kAudioUnitErrorDomain);
    EXPECT_EQ(failed.error().code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_NE(failed.error().message.find("component type"), std::string::npos);

    auto unit = PlainUnit::create();
    ASSERT_TRUE(unit);
    EXPECT_EQ((*unit)->componentDescription(), kTestDescription);
}

TEST(AUAudioUnit, DefaultsAreThoseOfAUnitThatOffersNothing) {
    auto unit = PlainUnit::create().value();
    auto inputs = unit->inputBusses();
    auto outputs = unit->outputBusses();
    ASSERT_TRUE(inputs && outputs);
    EXPECT_EQ(inputs->count(), 0u);
    EXPECT_EQ(inputs->busType(), AUAudioUnitBusType::input);
    EXPECT_EQ(outputs->busType(), AUAudioUnitBusType::output);
    EXPECT_EQ(outputs->ownerAudioUnit(), unit.get());
    EXPECT_EQ(unit->parameterTree(), nullptr);
    EXPECT_TRUE(unit->factoryPresets().empty());
    EXPECT_EQ(unit->currentPreset(), nullptr);
    EXPECT_TRUE(unit->channelCapabilities().empty());
    EXPECT_EQ(unit->latency(), 0.0);
    EXPECT_EQ(unit->tailTime(), 0.0);
    EXPECT_FALSE(unit->shouldBypassEffect());
    EXPECT_EQ(unit->maximumFramesToRender(), 512u);
    EXPECT_FALSE(unit->renderResourcesAllocated());

    auto preset = std::make_shared<AUAudioUnitPreset>(AUAudioUnitPreset{-1, "Mine"});
    unit->setCurrentPreset(preset);
    EXPECT_EQ(unit->currentPreset(), preset) << "the unit keeps the object given";
    unit->setShouldBypassEffect(true);
    EXPECT_TRUE(unit->shouldBypassEffect());
}

TEST(AUAudioUnit, AllocationChecksTheFrameLimitAndReportsThroughEitherForm) {
    auto unit = GainUnit::create().value();
    ASSERT_TRUE(unit->setMaximumFramesToRender(0));
    auto failed = unit->allocateRenderResources();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_NE(failed.error().message.find("maximumFramesToRender"), std::string::npos);
    EXPECT_FALSE(unit->renderResourcesAllocated());

    Error slot{"untouched", 1, ""};
    EXPECT_FALSE(unit->allocateRenderResourcesAndReturnError(&slot));
    EXPECT_EQ(slot.domain, kAudioUnitErrorDomain);
    EXPECT_EQ(slot.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_FALSE(unit->allocateRenderResourcesAndReturnError(nullptr));

    ASSERT_TRUE(unit->setMaximumFramesToRender(256));
    slot = Error{"untouched", 1, ""};
    EXPECT_TRUE(unit->allocateRenderResourcesAndReturnError(&slot));
    EXPECT_EQ(slot.domain, "untouched");
    EXPECT_TRUE(unit->renderResourcesAllocated());

    auto locked = unit->setMaximumFramesToRender(1024);
    ASSERT_FALSE(locked);
    EXPECT_EQ(locked.error().code, kAudioUnitErr_Initialized);
    EXPECT_EQ(unit->maximumFramesToRender(), 256u);

    unit->deallocateRenderResources();
    EXPECT_FALSE(unit->renderResourcesAllocated());
    EXPECT_TRUE(unit->setMaximumFramesToRender(1024));
    EXPECT_EQ(unit->maximumFramesToRender(), 1024u);
}

TEST(AUAudioUnit, KeyValueObserversHearWillThenDidForTheirKeyOnly) {
    auto unit = PlainUnit::create().value();
    std::vector<std::string> heard;
    auto record = [&heard](std::string_view tag) {
        return [&heard, tag](std::string_view key, KeyValueChange change) {
            heard.push_back(std::string(tag) + ":" + std::string(key) +
                            (change == KeyValueChange::willChange ? ":will" : ":did"));
        };
    };
    const auto first = unit->addObserverForKey("tailTime", record("1"));
    const auto second = unit->addObserverForKey("tailTime", record("2"));
    unit->addObserverForKey("latency", record("3"));
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);

    unit->announce("tailTime");
    EXPECT_EQ(heard, (std::vector<std::string>{"1:tailTime:will", "2:tailTime:will",
                                               "1:tailTime:did", "2:tailTime:did"}));

    heard.clear();
    unit->removeObserver(first);
    unit->removeObserver(first);
    unit->removeObserver(9999);
    unit->announce("tailTime");
    unit->announce("tailTimeX");
    EXPECT_EQ(heard, (std::vector<std::string>{"2:tailTime:will", "2:tailTime:did"}));
}

TEST(AUAudioUnit, SettersAnnounceAroundTheChange) {
    auto unit = PlainUnit::create().value();
    std::vector<AUAudioFrameCount> seen;
    unit->addObserverForKey("maximumFramesToRender", [&](std::string_view, KeyValueChange) {
        seen.push_back(unit->maximumFramesToRender());
    });
    ASSERT_TRUE(unit->setMaximumFramesToRender(64));
    EXPECT_EQ(seen, (std::vector<AUAudioFrameCount>{512, 64}));

    // An observer may remove itself while it is being notified.
    int calls = 0;
    std::uint64_t self = 0;
    self = unit->addObserverForKey("shouldBypassEffect", [&](std::string_view, KeyValueChange) {
        ++calls;
        unit->removeObserver(self);
    });
    unit->setShouldBypassEffect(true);
    unit->setShouldBypassEffect(false);
    EXPECT_EQ(calls, 1);
}

TEST(AUAudioUnit, DefaultFullStateRoundTripsTheParameters) {
    auto unit = GainUnit::create().value();
    auto gain = unit->parameterTree()->parameterWithAddress(0);
    gain->setValue(2.5f);
    auto state = unit->fullState();
    ASSERT_TRUE(state);
    const PropertyList plist(*state);
    EXPECT_EQ(*plist.find("type")->integer(), 0x61756678);
    EXPECT_EQ(*plist.find("subtype")->integer(), fourCharCode("gain"));
    EXPECT_EQ(*plist.find("manufacturer")->integer(), fourCharCode("Test"));
    EXPECT_EQ(*plist.find("version")->integer(), 0);
    EXPECT_EQ(*plist.find("name")->string(), "Untitled");
    EXPECT_EQ(unit->fullStateForDocument(), state);

    gain->setValue(0.0f);
    unit->setFullState(std::nullopt);
    EXPECT_EQ(gain->value(), 0.0f);
    unit->setFullStateForDocument(state);
    EXPECT_EQ(gain->value(), 2.5f);

    unit->setCurrentPreset(std::make_shared<AUAudioUnitPreset>(AUAudioUnitPreset{3, "Loud"}));
    EXPECT_EQ(*PropertyList(*unit->fullState()).find("name")->string(), "Loud");
}

namespace {
class GainFactory : public AUAudioUnitFactory {
public:
    std::expected<std::shared_ptr<AUAudioUnit>, Error> createAudioUnit(
        const AudioComponentDescription& description) override {
        auto unit = GainUnit::create(description);
        if (!unit) return std::unexpected(unit.error());
        return std::shared_ptr<AUAudioUnit>(*unit);
    }
};
} // namespace

TEST(AUAudioUnitFactory, ErrorSlotFormReturnsNullAndFillsTheSlotOnFailure) {
    GainFactory factory;
    AudioComponentDescription noType{};
    Error slot{"untouched", 1, ""};
    EXPECT_EQ(factory.createAudioUnitAndReturnError(noType, &slot), nullptr);
    EXPECT_EQ(slot.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(factory.createAudioUnitAndReturnError(noType, nullptr), nullptr);

    slot = Error{"untouched", 1, ""};
    auto unit = factory.createAudioUnitAndReturnError(kTestDescription, &slot);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->componentDescription(), kTestDescription);
    EXPECT_EQ(slot.domain, "untouched");
}
