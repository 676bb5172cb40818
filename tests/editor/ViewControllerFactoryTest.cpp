#include "editor/OrvaneAUViewControllerMac.h"

#include "platform/foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <utility>
#include <vector>

using platform::fourCharCode;
using platform::MainQueue;

namespace {

constexpr platform::AudioComponentDescription kOrvane{fourCharCode("aufx"), fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0};

/// How many connections the main queue ran, counted outside any controller.
std::atomic<int> connections{0};

/// A controller that counts its connections.
struct CountingController : orvane::OrvaneAUViewControllerMac {
    void connectViewToAudioUnit() override {
        ++connections;
        OrvaneAUViewControllerMac::connectViewToAudioUnit();
    }
};

std::size_t drainMainQueue() {
    std::size_t ran = 0;
    while (std::size_t batch = MainQueue::shared().runPending()) ran += batch;
    return ran;
}

/// Each test starts and ends with an empty main queue and no connections.
class ViewControllerFactory : public ::testing::Test {
protected:
    void SetUp() override { drainMainQueue(), connections = 0; }
    void TearDown() override { drainMainQueue(); }
    std::shared_ptr<CountingController> controller = std::make_shared<CountingController>();
};

} // namespace

TEST_F(ViewControllerFactory, SuccessReplacesTheHeldUnitFailureKeepsItAndALateConnectionDoesNothing) {
    auto held = controller->createAudioUnit(kOrvane).value();
    EXPECT_EQ(controller->audioUnit(), held) << "the controller owns the unit it returned";
    EXPECT_EQ(drainMainQueue(), 1u) << "each success queues one connection";

    auto refused = controller->createAudioUnit({0, fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0});
    ASSERT_FALSE(refused) << "a unit needs a component type";
    EXPECT_EQ(refused.error().code, platform::kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(controller->audioUnit(), held) << "a failure keeps the unit held before";
    EXPECT_EQ(MainQueue::shared().pendingCount(), 0u) << "a failure queues nothing";

    const std::weak_ptr<platform::AUAudioUnit> first = std::exchange(held, nullptr);
    auto second = controller->createAudioUnit(kOrvane);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_TRUE(first.expired()) << "the replaced unit must be released";
    EXPECT_EQ(controller->audioUnit(), *second);
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(connections, 2);

    // A connection still queued when the controller goes must do nothing.
    std::weak_ptr<platform::AUAudioUnit> third = controller->createAudioUnit(kOrvane).value();
    std::weak_ptr<orvane::OrvaneAUViewControllerMac> watch = controller;
    controller.reset();
    EXPECT_TRUE(watch.expired()) << "the queued task must not keep the controller alive";
    EXPECT_TRUE(third.expired()) << "the unit goes with the controller that owned it";
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(connections, 2);
}

// Labelled "thread": host threads call the factory while the main thread
// reads the held unit.
TEST_F(ViewControllerFactory, HostThreadsMayCallTheFactoryAtOnce) {
    constexpr std::size_t kThreads = 4;
    std::vector<std::shared_ptr<platform::AUAudioUnit>> made(kThreads);
    {
        std::vector<std::jthread> hosts;
        for (std::size_t i = 0; i < kThreads; ++i)
            hosts.emplace_back([&, i] { made[i] = controller->createAudioUnit(kOrvane).value_or(nullptr); });
        for (int i = 0; i < 1000; ++i)
            if (auto held = controller->audioUnit(); held && held->componentDescription() != kOrvane) FAIL() << "a torn unit";
    }
    std::set<const platform::AUAudioUnit*> distinct;
    for (const auto& unit : made) distinct.insert(unit.get());
    EXPECT_EQ(distinct.size(), kThreads);
    EXPECT_FALSE(distinct.contains(nullptr)) << "a call failed";
    EXPECT_TRUE(distinct.contains(controller->audioUnit().get())) << "the held unit is one of those made";
    EXPECT_EQ(drainMainQueue(), kThreads);
    EXPECT_EQ(connections, static_cast<int>(kThreads));
}
