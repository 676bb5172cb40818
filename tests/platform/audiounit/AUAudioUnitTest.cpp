#include "platform/audiounit/AUAudioUnitBus.h"
#include "platform/audiounit/AUParameterTree.h"
#include "platform/audiounit/AVAudioFormat.h"
#include "tests/support/Signals.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <tuple>

using namespace platform;

namespace {

/// A unit without buses or parameters, rendering through the base class.
std::shared_ptr<AUAudioUnit> plainUnit() {
    struct Plain : AUAudioUnit {
        using AUAudioUnit::initWithComponentDescription;
    };
    auto unit = std::make_shared<Plain>();
    EXPECT_TRUE(unit->initWithComponentDescription({fourCharCode("aufx"), fourCharCode("gain"), 1, 0, 0}));
    return unit;
}

std::shared_ptr<AUParameter> makeParameter(AUParameterAddress address) {
    return AUParameterTree::createParameter("p" + std::to_string(address), "P", address, 0.0f, 1.0f,
                                            kAudioUnitParameterUnit_Generic, std::nullopt,
                                            kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable, {}, {});
}

// One notification: who heard it ('I' for the implementor), address and value.
using Call = std::tuple<char, AUParameterAddress, AUValue>;

} // namespace

// Hosts and units built against the C layout must meet the same offsets.
static_assert(sizeof(void*) == 8, "offsets below are those of a 64-bit target");
static_assert(offsetof(AudioBuffer, mDataByteSize) == 4 && offsetof(AudioBuffer, mData) == 8 &&
              sizeof(AudioBuffer) == 16 && offsetof(AudioBufferList, mBuffers) == 8);
static_assert(offsetof(AUParameterEvent, eventType) == 16 && offsetof(AUParameterEvent, parameterAddress) == 24 &&
              offsetof(AUParameterEvent, value) == 32 && offsetof(AUMIDIEvent, data) == 21);

TEST(AUAudioUnit, AllocationNeedsAFrameLimitAndLocksTheBusFormats) {
    auto unit = plainUnit();
    auto stereo = AVAudioFormat::standardFormat(44100.0, 2), mono = AVAudioFormat::standardFormat(48000.0, 1);
    auto bus = AUAudioUnitBus::create(stereo).value();
    AUAudioUnitBusArray busses(unit.get(), AUAudioUnitBusType::output, {bus});
    ASSERT_TRUE(unit->setMaximumFramesToRender(0));
    // The error-slot form fills the slot on failure only, and may be given none.
    Error slot{"untouched", 1, ""};
    EXPECT_FALSE(unit->allocateRenderResourcesAndReturnError(&slot));
    EXPECT_EQ(slot.domain, kAudioUnitErrorDomain);
    EXPECT_EQ(slot.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_FALSE(unit->allocateRenderResourcesAndReturnError(nullptr));
    ASSERT_TRUE(unit->setMaximumFramesToRender(256));
    slot = Error{"untouched", 1, ""};
    EXPECT_TRUE(unit->allocateRenderResourcesAndReturnError(&slot));
    EXPECT_EQ(slot.domain, "untouched");

    auto refused = bus->setFormat(mono);
    ASSERT_FALSE(refused) << "a bus format is locked while its unit is allocated";
    EXPECT_EQ(refused.error().code, kAudioUnitErr_Initialized);
    EXPECT_EQ(bus->format(), stereo);
    unit->deallocateRenderResources();
    ASSERT_TRUE(bus->setFormat(mono));
    EXPECT_EQ(bus->format(), mono);
}

TEST(AUAudioUnit, ObserversHearWillBeforeAndDidAfterAChangeOfTheirOwnKeyOnly) {
    const auto registered = AUAudioUnit::registeredObserverCount();
    auto unit = plainUnit();
    std::vector<std::string> heard;
    auto record = [&](std::string tag) {
        return [&, tag](std::string_view, KeyValueChange change) {
            heard.push_back(tag + (change == KeyValueChange::willChange ? " will " : " did ") +
                            std::to_string(unit->maximumFramesToRender()));
        };
    };
    const auto first = unit->addObserverForKey("maximumFramesToRender", record("1"));
    unit->addObserverForKey("maximumFramesToRender", record("2"));
    // Keys one letter short, one long, in another case, and empty hear nothing.
    for (const char* near : {"maximumFramesToRende", "maximumFramesToRenderX", "MaximumFramesToRender", ""})
        unit->addObserverForKey(near, record(std::string("near key '") + near + "'"));
    EXPECT_EQ(AUAudioUnit::registeredObserverCount(), registered + 6);
    ASSERT_TRUE(unit->setMaximumFramesToRender(64));
    unit->removeObserver(first);
    unit->removeObserver(first);
    EXPECT_EQ(AUAudioUnit::registeredObserverCount(), registered + 5) << "removed once, however often asked";
    ASSERT_TRUE(unit->setMaximumFramesToRender(128));
    EXPECT_EQ(heard, (std::vector<std::string>{"1 will 512", "2 will 512", "1 did 64", "2 did 64", "2 will 64", "2 did 128"}));
    unit.reset();
    EXPECT_EQ(AUAudioUnit::registeredObserverCount(), registered) << "a unit's observers go with it";
}

TEST(AUParameterTree, SetNotifiesTheImplementorThenEachOtherObserverOnceGetAsksTheProviderAndTouchesChangeNothing) {
    const auto registered = AUParameterTree::registeredObserverCount();
    auto p0 = makeParameter(0), p1 = makeParameter(1);
    auto tree = AUParameterTree::createTree({p0, p1});
    std::vector<Call> calls;
    int provided = 0;
    tree->implementorValueObserver = [&](AUParameter& p, AUValue v) { calls.push_back({'I', p.address(), v}); };
    tree->implementorValueProvider = [&](AUParameter& p) { return ++provided, p.address() == 1 ? 0.125f : -1.0f; };
    auto a = tree->tokenByAddingParameterObserver([&](AUParameterAddress at, AUValue v) { calls.push_back({'A', at, v}); });
    auto b = tree->tokenByAddingParameterObserver([&](AUParameterAddress at, AUValue v) { calls.push_back({'B', at, v}); });

    p1->setValue(0.25f);
    p0->setValue(2.5f, a); // A made this change, so A is not told; not clamped
    tree->removeParameterObserverWithToken(b);
    p0->setValue(0.5f);
    EXPECT_EQ(calls, (std::vector<Call>{{'I', 1, 0.25f}, {'A', 1, 0.25f}, {'B', 1, 0.25f}, // everyone, implementor first
                                        {'I', 0, 2.5f}, {'B', 0, 2.5f},                    // not the originator
                                        {'I', 0, 0.5f}, {'A', 0, 0.5f}}));                 // not the removed B
    EXPECT_EQ(p1->value(), 0.125f);
    EXPECT_EQ(p1->storedValue(), 0.25f);
    EXPECT_EQ(provided, 1) << "value() asks the provider, storedValue() must not";

    // Touch and release reach only automation observers and change nothing.
    calls.clear();
    std::vector<AUParameterAutomationEventType> kinds;
    auto automation = tree->tokenByAddingParameterAutomationObserver([&](NSInteger count, const AUParameterAutomationEvent* e) {
        for (NSInteger i = 0; i < count; ++i) calls.push_back({'T', e[i].address, e[i].value}), kinds.push_back(e[i].eventType);
    });
    p0->setValue(0.6f);
    p0->setValue(0.6f, nullptr, 0, AUParameterAutomationEventTypeTouch);
    p0->setValue(0.75f, nullptr, 0, AUParameterAutomationEventTypeRelease);
    EXPECT_EQ(calls, (std::vector<Call>{{'I', 0, 0.6f}, {'A', 0, 0.6f}, {'T', 0, 0.6f}, {'T', 0, 0.6f}, {'T', 0, 0.75f}}));
    EXPECT_EQ(kinds, (std::vector{AUParameterAutomationEventTypeValue, AUParameterAutomationEventTypeTouch,
                                  AUParameterAutomationEventTypeRelease}));
    EXPECT_EQ(p0->storedValue(), 0.6f) << "a release stores nothing";
    tree->removeParameterObserverWithToken(automation);
    p0->setValue(0.6f, nullptr, 0, AUParameterAutomationEventTypeTouch);
    EXPECT_EQ(calls.size(), 5u);

    EXPECT_EQ(AUParameterTree::registeredObserverCount(), registered + 1);
    tree.reset();
    EXPECT_EQ(AUParameterTree::registeredObserverCount(), registered) << "a tree's observers go with it";
}

// Two threads set values while a third adds and removes observers.
// Labelled for ThreadSanitizer.
TEST(AUParameterTreeThreads, ObserversComeAndGoWhileThreadsSetValues) {
    constexpr int kSets = 4000;
    auto p0 = makeParameter(0), p1 = makeParameter(1);
    auto tree = AUParameterTree::createTree({p0, p1});
    std::atomic<int> steadyHeard{0}, churnHeard{0};
    tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++steadyHeard; });
    {
        std::vector<std::jthread> threads;
        for (auto* p : {p0.get(), p1.get()})
            threads.emplace_back([p] { for (int i = 0; i < kSets; ++i) p->setValue(static_cast<AUValue>(i)); });
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                tree->removeParameterObserverWithToken(
                    tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++churnHeard; }));
        });
    }
    EXPECT_EQ(steadyHeard.load(), 2 * kSets) << "an observer there throughout hears every change once";
    const int churned = churnHeard.load();
    p0->setValue(0.0f);
    EXPECT_EQ(churnHeard.load(), churned) << "every removed observer is gone";
}

TEST(AUAudioUnit, TheBaseRenderBlockPullsTheInputOrFailsEveryCallWithoutAPullBlock) {
    const auto left = testsignals::noise(1000, 31), right = testsignals::noise(1000, 32);
    testhost::TestHost host(plainUnit());
    ASSERT_TRUE(host.start());
    const auto pulled = host.render(left, right, {.blockSize = 64});
    EXPECT_TRUE(pulled.allSucceeded());
    EXPECT_EQ(pulled.left, left);
    EXPECT_EQ(pulled.right, right);
    // Without a pull block the unit has no input: every call fails and leaves the host's buffers alone.
    auto noPull = host.render(left, right, {.blockSize = 128, .withPullBlock = false, .prefill = 7.0f});
    EXPECT_EQ(noPull.statuses, std::vector<OSStatus>(8, kAudioUnitErr_NoConnection));
    EXPECT_EQ(noPull.left, std::vector<float>(1000, 7.0f));
}
