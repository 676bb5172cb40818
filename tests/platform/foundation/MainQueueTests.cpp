#include "platform/foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, RunsWhatWasEnqueuedBeforeInOrder) {
    MainQueue queue;
    std::vector<int> ran;
    for (int i = 0; i < 5; ++i) queue.enqueue([&ran, i] { ran.push_back(i); });
    // A task that enqueues another: the newcomer waits for the next call.
    queue.enqueue([&] { queue.enqueue([&ran] { ran.push_back(99); }); });
    queue.enqueue({}); // an empty task is dropped

    EXPECT_EQ(queue.pendingCount(), 6u);
    EXPECT_EQ(queue.runPending(), 6u);
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(queue.pendingCount(), 1u);
    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(ran.back(), 99);
    EXPECT_EQ(queue.runPending(), 0u);
}

TEST(MainQueue, AThrowingTaskLeavesTheRestQueued) {
    MainQueue queue;
    int ran = 0;
    queue.enqueue([&] { ++ran; });
    queue.enqueue([] { throw std::runtime_error("task failed"); });
    queue.enqueue([&] { ++ran; });
    EXPECT_THROW(queue.runPending(), std::runtime_error);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(ran, 2);
}

TEST(MainQueue, TasksFromManyThreadsRunOnTheCallingThreadInEachSendersOrder) {
    constexpr int kThreads = 4;
    constexpr int kTasksPerThread = 1000;
    MainQueue queue;
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::vector<int>> seen(kThreads);
    int total = 0;
    bool offMainThread = false;

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kTasksPerThread; ++i) {
                queue.enqueue([&, t, i] {
                    offMainThread |= std::this_thread::get_id() != mainThread;
                    seen[t].push_back(i);
                    ++total;
                });
            }
        });
    }
    const bool finished = queue.runUntil([&] { return total == kThreads * kTasksPerThread; }, 60s);
    for (auto& sender : senders) sender.join();
    ASSERT_TRUE(finished) << "ran " << total << " tasks";
    EXPECT_FALSE(offMainThread);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kTasksPerThread)) << "thread " << t;
        for (int i = 0; i < kTasksPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t << " task " << i;
    }
}

TEST(MainQueue, RunUntilWatchesStateChangedWithoutTasks) {
    MainQueue queue;
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(queue.runUntil([&] { return flag.load(); }, 60s));
    setter.join();

    EXPECT_FALSE(queue.runUntil([] { return false; }, 10ms));
    EXPECT_EQ(&MainQueue::shared(), &MainQueue::shared());
}

} // namespace
} // namespace platform
