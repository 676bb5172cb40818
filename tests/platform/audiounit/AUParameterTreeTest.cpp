#include "platform/audiounit/AUParameterTree.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {

constexpr AudioUnitParameterOptions kReadWrite =
    kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;

std::shared_ptr<AUParameter> makeParameter(std::string identifier, AUParameterAddress address) {
    return AUParameterTree::createParameter(identifier, identifier, address, 0.0f, 1.0f,
                                            kAudioUnitParameterUnit_Generic, std::nullopt,
                                            kReadWrite, {}, {});
}

// What the observers of one tree heard, in order.
struct Call {
    std::string who;
    AUParameterAddress address;
    AUValue value;
    friend bool operator==(const Call&, const Call&) = default;
};

} // namespace

TEST(AUParameterTree, CreatesParametersAndFindsThemInChildOrder) {
    auto p = AUParameterTree::createParameter("mode", "Mode", 7, -1.0f, 3.0f,
                                              kAudioUnitParameterUnit_Indexed, "steps",
                                              kReadWrite | kAudioUnitParameterFlag_ValuesHaveStrings,
                                              {"A", "B"}, {8, 9});
    EXPECT_EQ(p->identifier(), "mode");
    EXPECT_EQ(p->displayName(), "Mode");
    EXPECT_EQ(p->address(), 7u);
    EXPECT_EQ(p->minValue(), -1.0f);
    EXPECT_EQ(p->maxValue(), 3.0f);
    EXPECT_EQ(p->unit(), kAudioUnitParameterUnit_Indexed);
    EXPECT_EQ(p->unitName(), "steps");
    EXPECT_EQ(p->flags(), 0xC0000000u | kAudioUnitParameterFlag_ValuesHaveStrings);
    EXPECT_EQ(p->valueStrings(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(p->dependentParameters(), (std::vector<AUParameterAddress>{8, 9}));

    auto c = makeParameter("c", 5), a = makeParameter("a", 0), twin = makeParameter("twin", 5);
    auto tree = AUParameterTree::createTree({c, nullptr, a, twin});
    ASSERT_EQ(tree->allParameters().size(), 3u);
    EXPECT_EQ(tree->allParameters()[0], c);
    EXPECT_EQ(tree->allParameters()[1], a);
    EXPECT_EQ(tree->parameterWithAddress(0), a);
    EXPECT_EQ(tree->parameterWithAddress(5), c) << "the first child with an address wins";
    EXPECT_EQ(tree->parameterWithAddress(1), nullptr);
    EXPECT_EQ(tree->parameterWithAddress(~AUParameterAddress{0}), nullptr);
}

TEST(AUParameterTree, SettingCallsTheImplementorThenEachObserverOnce) {
    auto p0 = makeParameter("zero", 0), p1 = makeParameter("one", 1);
    auto tree = AUParameterTree::createTree({p0, p1});
    std::vector<Call> calls;
    tree->implementorValueObserver = [&](AUParameter& p, AUValue v) {
        calls.push_back({"implementor", p.address(), v});
    };
    auto tokenA = tree->tokenByAddingParameterObserver(
        [&](AUParameterAddress a, AUValue v) { calls.push_back({"A", a, v}); });
    auto tokenB = tree->tokenByAddingParameterObserver(
        [&](AUParameterAddress a, AUValue v) { calls.push_back({"B", a, v}); });
    ASSERT_NE(tokenA, nullptr);
    ASSERT_NE(tokenA, tokenB);

    p1->setValue(0.25f);
    EXPECT_EQ(calls, (std::vector<Call>{{"implementor", 1, 0.25f}, {"A", 1, 0.25f}, {"B", 1, 0.25f}}));

    calls.clear();
    p0->setValue(2.5f, tokenA); // unclamped, and A made the change
    EXPECT_EQ(calls, (std::vector<Call>{{"implementor", 0, 2.5f}, {"B", 0, 2.5f}}));
    EXPECT_EQ(p0->storedValue(), 2.5f);

    calls.clear();
    tree->removeParameterObserverWithToken(tokenB);
    tree->removeParameterObserverWithToken(tokenB);   // twice: ignored
    tree->removeParameterObserverWithToken(nullptr);  // never issued: ignored
    p0->setValue(0.5f);
    EXPECT_EQ(calls, (std::vector<Call>{{"implementor", 0, 0.5f}, {"A", 0, 0.5f}}));
}

TEST(AUParameterTree, ObserversMayChangeValuesAndObserversFromInsideANotification) {
    auto p0 = makeParameter("zero", 0), p1 = makeParameter("one", 1);
    auto tree = AUParameterTree::createTree({p0, p1});
    std::vector<Call> calls;
    AUParameterObserverToken self = nullptr;
    self = tree->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue v) {
        calls.push_back({"linker", a, v});
        if (a == 0) {
            tree->removeParameterObserverWithToken(self);
            p1->setValue(v * 2.0f); // a linked parameter follows
        }
    });
    tree->tokenByAddingParameterObserver(
        [&](AUParameterAddress a, AUValue v) { calls.push_back({"other", a, v}); });

    p0->setValue(0.25f);
    // The nested change is announced to the observers still registered; the
    // outer notification still finishes with the list it started with.
    EXPECT_EQ(calls, (std::vector<Call>{{"linker", 0, 0.25f},
                                        {"other", 1, 0.5f},
                                        {"other", 0, 0.25f}}));
    EXPECT_EQ(p1->value(), 0.5f);
}

TEST(AUParameterTree, ReadsGoThroughTheProviderButStoredValueDoesNot) {
    auto p = makeParameter("p", 3);
    p->setValue(0.75f); // in no tree yet: stored, nothing called
    EXPECT_EQ(p->value(), 0.75f);

    auto tree = AUParameterTree::createTree({p});
    int provided = 0;
    AUValue held = 0.125f;
    tree->implementorValueProvider = [&](AUParameter& param) {
        ++provided;
        EXPECT_EQ(param.address(), 3u);
        return held;
    };
    EXPECT_EQ(p->value(), 0.125f);
    EXPECT_EQ(provided, 1);
    EXPECT_EQ(p->storedValue(), 0.75f);
    EXPECT_EQ(provided, 1);

    // Once the tree is gone, the parameter answers from its own value.
    tree.reset();
    EXPECT_EQ(p->value(), 0.75f);
    EXPECT_EQ(provided, 1);
    p->setValue(0.5f);
    EXPECT_EQ(p->value(), 0.5f);
}

TEST(AUParameterTree, StringsComeFromTheCallbackOrAPlainDefault) {
    auto p = makeParameter("p", 0);
    auto switchParam = AUParameterTree::createParameter(
        "switch", "Switch", 1, 0.0f, 1.0f, kAudioUnitParameterUnit_Indexed, std::nullopt,
        kReadWrite | kAudioUnitParameterFlag_ValuesHaveStrings, {"Off", "On"}, {});
    auto tree = AUParameterTree::createTree({p, switchParam});
    p->setValue(0.25f);
    EXPECT_EQ(p->stringFromValue(nullptr), "0.25");
    const AUValue third = 1.0f / 3.0f;
    EXPECT_EQ(p->stringFromValue(&third), "0.33333334");
    const AUValue on = 1.0f, between = 0.5f;
    EXPECT_EQ(switchParam->stringFromValue(&on), "On");
    EXPECT_EQ(switchParam->stringFromValue(&between), "0.5");

    tree->implementorStringFromValueCallback = [](AUParameter& param, const AUValue* v) {
        return param.identifier() + "=" + (v ? std::to_string(*v) : std::string("current"));
    };
    EXPECT_EQ(p->stringFromValue(nullptr), "p=current");
    EXPECT_EQ(switchParam->stringFromValue(&on), "switch=1.000000");
}

// Values set from two threads while a third adds and removes observers and a
// fourth reads through the provider. Labelled for ThreadSanitizer.
TEST(AUParameterTreeThreads, ConcurrentSettersReadersAndObserverChurn) {
    constexpr int kSets = 4000;
    auto p0 = makeParameter("zero", 0), p1 = makeParameter("one", 1);
    auto tree = AUParameterTree::createTree({p0, p1});
    std::array<std::atomic<AUValue>, 2> storage{};
    std::atomic<int> implementorCalls{0};
    tree->implementorValueObserver = [&](AUParameter& p, AUValue v) {
        storage[p.address()].store(v, std::memory_order_relaxed);
        implementorCalls.fetch_add(1, std::memory_order_relaxed);
    };
    tree->implementorValueProvider = [&](AUParameter& p) {
        return storage[p.address()].load(std::memory_order_relaxed);
    };
    std::array<std::atomic<int>, 2> steadyHeard{};
    tree->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue) {
        steadyHeard[a].fetch_add(1, std::memory_order_relaxed);
    });
    auto churnHeard = std::make_shared<std::atomic<int>>(0);
    std::atomic<bool> badRead{false};

    {
        std::vector<std::jthread> threads;
        for (auto* p : {p0.get(), p1.get()})
            threads.emplace_back([p] {
                for (int i = 0; i < kSets; ++i) p->setValue(static_cast<AUValue>(i));
            });
        threads.emplace_back([&tree, churnHeard] {
            for (int i = 0; i < 500; ++i) {
                auto token = tree->tokenByAddingParameterObserver(
                    [churnHeard](AUParameterAddress, AUValue) { churnHeard->fetch_add(1); });
                tree->removeParameterObserverWithToken(token);
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < kSets; ++i) {
                const AUValue v = tree->allParameters()[i % 2]->value();
                if (!(v >= 0.0f && v < kSets)) badRead = true;
            }
        });
    }

    EXPECT_EQ(implementorCalls.load(), 2 * kSets);
    EXPECT_EQ(steadyHeard[0].load(), kSets);
    EXPECT_EQ(steadyHeard[1].load(), kSets);
    EXPECT_FALSE(badRead.load());
    for (auto* p : {p0.get(), p1.get()}) {
        EXPECT_EQ(p->value(), kSets - 1);
        EXPECT_EQ(p->storedValue(), kSets - 1);
    }
    // Every churned observer is gone: nobody hears a later change.
    const int heardBefore = churnHeard->load();
    p0->setValue(0.0f);
    EXPECT_EQ(churnHeard->load(), heardBefore);
}
