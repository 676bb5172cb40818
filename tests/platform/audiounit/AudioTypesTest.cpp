#include "platform/audiounit/AUAudioUnitBus.h"
#include "platform/audiounit/AVAudioFormat.h"
#include "platform/audiounit/AudioTypes.h"
#include "tests/platform/audiounit/TestUnits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>

using namespace platform;
using audiounit_test::GainUnit;

TEST(AudioTypes, FourCharCodesPackFirstCharacterHighest) {
    static_assert(fourCharCode("aufx") == 0x61756678u);
    EXPECT_EQ(fourCharCode("\xff\x01\x02\x03"), 0xff010203u);
    AudioComponentDescription a{fourCharCode("aufx"), 1, 2, 0, 0};
    AudioComponentDescription b = a;
    EXPECT_EQ(a, b);
    b.componentFlagsMask = 1;
    EXPECT_NE(a, b);
}

// Hosts and units written against the C layout must meet the same offsets.
TEST(AudioTypes, RenderStructsHaveThePlatformLayout) {
    static_assert(sizeof(void*) == 8, "offsets below are those of a 64-bit target");
    EXPECT_EQ(offsetof(AudioBuffer, mNumberChannels), 0u);
    EXPECT_EQ(offsetof(AudioBuffer, mDataByteSize), 4u);
    EXPECT_EQ(offsetof(AudioBuffer, mData), 8u);
    EXPECT_EQ(sizeof(AudioBuffer), 16u);
    EXPECT_EQ(offsetof(AudioBufferList, mNumberBuffers), 0u);
    EXPECT_EQ(offsetof(AudioBufferList, mBuffers), 8u);

    // Every event starts with the header's fields, so a list is walked
    // through head whatever the event's kind.
    EXPECT_EQ(offsetof(AURenderEventHeader, eventSampleTime), 8u);
    EXPECT_EQ(offsetof(AURenderEventHeader, eventType), 16u);
    EXPECT_EQ(offsetof(AUParameterEvent, eventSampleTime), 8u);
    EXPECT_EQ(offsetof(AUParameterEvent, eventType), 16u);
    EXPECT_EQ(offsetof(AUParameterEvent, rampDurationSampleFrames), 20u);
    EXPECT_EQ(offsetof(AUParameterEvent, parameterAddress), 24u);
    EXPECT_EQ(offsetof(AUParameterEvent, value), 32u);
    EXPECT_EQ(offsetof(AUMIDIEvent, eventType), 16u);
    EXPECT_EQ(offsetof(AUMIDIEvent, length), 18u);
    EXPECT_EQ(offsetof(AUMIDIEvent, cable), 20u);
    EXPECT_EQ(offsetof(AUMIDIEvent, data), 21u);
}

TEST(AudioBufferListStorage, HoldsTheRequestedBuffersContiguouslyAndZeroed) {
    EXPECT_EQ(AudioBufferListStorage::byteSize(0), sizeof(AudioBufferList));
    EXPECT_EQ(AudioBufferListStorage::byteSize(1), sizeof(AudioBufferList));
    EXPECT_EQ(AudioBufferListStorage::byteSize(3), 8u + 3u * sizeof(AudioBuffer));

    AudioBufferListStorage storage(3);
    AudioBufferList* list = storage.get();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->mNumberBuffers, 3u);
    EXPECT_EQ(storage.bufferCount(), 3u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(list) % alignof(AudioBufferList), 0u);
    const auto* base = reinterpret_cast<const std::byte*>(list);
    float sample = 0.0f;
    for (std::uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        AudioBuffer& buffer = storage.buffer(i);
        EXPECT_EQ(reinterpret_cast<const std::byte*>(&buffer), base + 8 + 16 * i);
        EXPECT_EQ(buffer.mNumberChannels, 0u);
        EXPECT_EQ(buffer.mDataByteSize, 0u);
        EXPECT_EQ(buffer.mData, nullptr);
        buffer.mNumberChannels = i + 1;
        buffer.mData = &sample;
        EXPECT_EQ(list->mBuffers[i].mNumberChannels, i + 1);
    }

    AudioBufferListStorage moved(std::move(storage));
    EXPECT_EQ(moved.get(), list);
    EXPECT_EQ(moved.buffer(2).mNumberChannels, 3u);
    EXPECT_EQ(storage.get(), nullptr);
    EXPECT_EQ(storage.bufferCount(), 0u);
    AudioBufferListStorage empty(0);
    EXPECT_EQ(empty->mNumberBuffers, 0u);
    moved = std::move(empty);
    EXPECT_EQ(moved->mNumberBuffers, 0u);
}

TEST(AVAudioFormat, StandardFormatIsNonInterleavedFloatAndValidatesItsInput) {
    auto format = AVAudioFormat::standardFormat(44100.0, 2);
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->sampleRate(), 44100.0);
    EXPECT_EQ(format->channelCount(), 2u);
    EXPECT_FALSE(format->isInterleaved());
    EXPECT_EQ(format->commonFormat(), AVAudioCommonFormat::pcmFormatFloat32);
    EXPECT_TRUE(format->isStandard());

    // Each call makes a new object: identity is the caller's to share.
    auto again = AVAudioFormat::standardFormat(44100.0, 2);
    EXPECT_NE(again.get(), format.get());
    EXPECT_EQ(*again, *format);
    EXPECT_NE(*AVAudioFormat::standardFormat(48000.0, 2), *format);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double rate : {0.0, -44100.0, nan, inf, -inf}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(AVAudioFormat::standardFormat(rate, 2), nullptr);
    }
    EXPECT_EQ(AVAudioFormat::standardFormat(44100.0, 0), nullptr);
    EXPECT_NE(AVAudioFormat::standardFormat(1.0, 1), nullptr);

    auto interleaved =
        AVAudioFormat::create(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 2, true);
    ASSERT_NE(interleaved, nullptr);
    EXPECT_TRUE(interleaved->isInterleaved());
    EXPECT_FALSE(interleaved->isStandard());
    EXPECT_EQ(AVAudioFormat::create(AVAudioCommonFormat::otherFormat, 48000.0, 2, false), nullptr);
}

TEST(AUAudioUnitBus, CreationRefusesMissingAndUnsupportedFormats) {
    auto missing = AUAudioUnitBus::create(nullptr);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kAudioUnitErrorDomain);
    EXPECT_EQ(missing.error().code, kAudioUnitErr_InvalidPropertyValue);

    auto nine = AUAudioUnitBus::create(AVAudioFormat::standardFormat(44100.0, 9));
    ASSERT_FALSE(nine);
    EXPECT_EQ(nine.error().code, kAudioUnitErr_FormatNotSupported);
    EXPECT_NE(nine.error().message.find('9'), std::string::npos) << nine.error().message;

    auto integer = AUAudioUnitBus::create(
        AVAudioFormat::create(AVAudioCommonFormat::pcmFormatInt16, 44100.0, 2, true));
    ASSERT_FALSE(integer);
    EXPECT_EQ(integer.error().code, kAudioUnitErr_FormatNotSupported);

    auto eight = AVAudioFormat::standardFormat(44100.0, 8);
    auto bus = AUAudioUnitBus::create(eight);
    ASSERT_TRUE(bus);
    EXPECT_EQ((*bus)->format(), eight);
    EXPECT_EQ((*bus)->ownerAudioUnit(), nullptr);
}

TEST(AUAudioUnitBus, FormatIsLockedWhileTheOwnerHasRenderResources) {
    auto unit = GainUnit::create().value();
    auto bus = (*unit->outputBusses())[0];
    auto before = bus->format();
    auto mono = AVAudioFormat::standardFormat(48000.0, 1);

    ASSERT_TRUE(unit->allocateRenderResources());
    auto refused = bus->setFormat(mono);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, kAudioUnitErr_Initialized);
    EXPECT_EQ(bus->format(), before);

    unit->deallocateRenderResources();
    ASSERT_TRUE(bus->setFormat(mono));
    EXPECT_EQ(bus->format(), mono) << "the bus keeps the very object given";

    auto tooWide = bus->setFormat(AVAudioFormat::standardFormat(48000.0, 9));
    ASSERT_FALSE(tooWide);
    EXPECT_EQ(tooWide.error().code, kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(bus->setFormat(nullptr));
    EXPECT_EQ(bus->format(), mono);
}

TEST(AUAudioUnitBusArray, PlacesItsBusesAndForgetsAnOwnerThatIsGone) {
    auto format = AVAudioFormat::standardFormat(44100.0, 2);
    auto first = AUAudioUnitBus::create(format).value();
    auto second = AUAudioUnitBus::create(format).value();
    auto unit = audiounit_test::PlainUnit::create().value();
    auto array = std::make_shared<AUAudioUnitBusArray>(unit.get(), AUAudioUnitBusType::input,
                                                       std::vector{first, second});
    EXPECT_EQ(array->count(), 2u);
    EXPECT_EQ((*array)[1], second);
    EXPECT_EQ(array->at(0), first);
    EXPECT_EQ(array->at(2), nullptr);
    EXPECT_EQ(array->busType(), AUAudioUnitBusType::input);
    EXPECT_EQ(array->ownerAudioUnit(), unit.get());
    EXPECT_EQ(second->index(), 1);
    EXPECT_EQ(second->busType(), AUAudioUnitBusType::input);
    EXPECT_EQ(second->ownerAudioUnit(), unit.get());

    // The host may hold buses longer than the unit; the lock goes with it.
    ASSERT_TRUE(unit->allocateRenderResources());
    unit.reset();
    EXPECT_EQ(array->ownerAudioUnit(), nullptr);
    EXPECT_EQ(first->ownerAudioUnit(), nullptr);
    EXPECT_TRUE(first->setFormat(AVAudioFormat::standardFormat(48000.0, 2)));
}
