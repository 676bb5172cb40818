#include "editor/OrvaneAUViewControllerMac.h"

#include "platform/foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using orvane::OrvaneAudioUnit;
using orvane::OrvaneAUViewControllerMac;
using platform::AudioComponentDescription;
using platform::fourCharCode;
using platform::MainQueue;

namespace {

constexpr AudioComponentDescription kOrvane{fourCharCode("aufx"), fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0};
// The audio-unit base refuses a description without a component type.
constexpr AudioComponentDescription kRefused{0, fourCharCode("orvn"), fourCharCode("Orvn"), 0, 0};

/// Counts the connections the main queue runs, in a counter that outlives it.
class CountingController : public OrvaneAUViewControllerMac {
public:
    explicit CountingController(std::shared_ptr<std::atomic<int>> connections)
        : connections_(std::move(connections)) {}

    void connectViewToAudioUnit() override {
        ++*connections_;
        OrvaneAUViewControllerMac::connectViewToAudioUnit();
    }

private:
    std::shared_ptr<std::atomic<int>> connections_;
};

std::size_t drainMainQueue() {
    std::size_t ran = 0;
    while (std::size_t batch = MainQueue::shared().runPending()) ran += batch;
    return ran;
}

/// Each test starts and ends with an empty main queue.
class ViewControllerFactory : public ::testing::Test {
protected:
    void SetUp() override { drainMainQueue(); }
    void TearDown() override { drainMainQueue(); }

    std::shared_ptr<std::atomic<int>> connections = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<CountingController> controller = std::make_shared<CountingController>(connections);
};

} // namespace

TEST_F(ViewControllerFactory, EachSuccessReplacesTheHeldUnitAndQueuesOneConnection) {
    std::weak_ptr<platform::AUAudioUnit> first;
    {
        auto created = controller->createAudioUnit(kOrvane);
        ASSERT_TRUE(created) << created.error().message;
        first = *created;
        EXPECT_EQ(controller->audioUnit(), *created) << "the unit returned is the unit kept";
        EXPECT_EQ((*created)->componentDescription(), kOrvane) << "the description is passed on unchanged";
    }
    EXPECT_FALSE(first.expired()) << "the controller owns the unit it made";
    // Nothing connects until the main thread runs the queue; with no view
    // loaded, connecting registers no observer.
    EXPECT_EQ(*connections, 0);
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(*connections, 1);
    EXPECT_EQ(controller->paramObserverToken, nullptr);

    auto second = controller->createAudioUnit(kOrvane);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_TRUE(first.expired()) << "the first unit must be released when replaced";
    EXPECT_EQ(controller->audioUnit(), *second);
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(*connections, 2);
}

TEST_F(ViewControllerFactory, FailureReturnsTheErrorAndKeepsTheHeldUnit) {
    // Before any unit: the failure leaves the controller empty.
    auto refused = controller->createAudioUnit(kRefused);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().domain, platform::kAudioUnitErrorDomain);
    EXPECT_EQ(refused.error().code, platform::kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(controller->audioUnit(), nullptr);
    EXPECT_EQ(MainQueue::shared().pendingCount(), 0u) << "a failure queues nothing";

    auto created = controller->createAudioUnit(kOrvane);
    ASSERT_TRUE(created) << created.error().message;
    const auto held = controller->audioUnit();
    EXPECT_EQ(drainMainQueue(), 1u);

    // Through the error-slot form, with and without a slot.
    platform::Error error;
    EXPECT_EQ(controller->createAudioUnitAndReturnError(kRefused, &error), nullptr);
    EXPECT_EQ(error.code, platform::kAudioUnitErr_InvalidPropertyValue);
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(controller->createAudioUnitAndReturnError(kRefused, nullptr), nullptr);

    EXPECT_EQ(controller->audioUnit(), held) << "failures keep the unit held before";
    EXPECT_EQ(MainQueue::shared().pendingCount(), 0u);
    EXPECT_EQ(*connections, 1);
}

TEST_F(ViewControllerFactory, QueuedConnectionDoesNothingOnceTheControllerIsGone) {
    std::weak_ptr<platform::AUAudioUnit> unit;
    {
        auto created = controller->createAudioUnit(kOrvane);
        ASSERT_TRUE(created) << created.error().message;
        unit = *created;
    }
    std::weak_ptr<OrvaneAUViewControllerMac> watch = controller;
    controller.reset();
    EXPECT_TRUE(watch.expired()) << "the queued task must not keep the controller alive";
    EXPECT_TRUE(unit.expired()) << "the unit goes with the controller that owned it";

    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(*connections, 0);
}

TEST_F(ViewControllerFactory, HostThreadsMayCallTheFactoryAtOnce) {
    constexpr int kThreads = 4;
    std::vector<std::shared_ptr<platform::AUAudioUnit>> made(kThreads);
    std::atomic<bool> done{false};
    std::atomic<bool> torn{false};

    // The main thread keeps reading the held unit while the factory stores it.
    std::thread reader([&] {
        while (!done.load()) {
            auto held = controller->audioUnit();
            if (held && held->componentDescription() != kOrvane) torn.store(true);
        }
    });
    std::vector<std::thread> hosts;
    for (int i = 0; i < kThreads; ++i) {
        hosts.emplace_back([&, i] {
            auto created = controller->createAudioUnit(kOrvane);
            if (created) made[static_cast<std::size_t>(i)] = *created;
        });
    }
    for (auto& host : hosts) host.join();
    done.store(true);
    reader.join();
    EXPECT_FALSE(torn.load()) << "the reader saw a unit that was not whole";

    std::set<const platform::AUAudioUnit*> distinct;
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_NE(made[static_cast<std::size_t>(i)], nullptr) << "call " << i << " failed";
        distinct.insert(made[static_cast<std::size_t>(i)].get());
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(distinct.count(controller->audioUnit().get()), 1u) << "the held unit is one of those made";
    EXPECT_EQ(drainMainQueue(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(*connections, kThreads);
}
