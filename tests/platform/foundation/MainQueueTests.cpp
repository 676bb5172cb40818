#include "platform/foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace platform;

TEST(MainQueue, RunsWhatWasEnqueuedBeforeInOrder) {
    MainQueue queue;
    std::vector<int> ran;
    // A task that enqueues another: the newcomer waits for the next call.
    queue.enqueue([&] { ran.push_back(1); queue.enqueue([&] { ran.push_back(3); }); });
    queue.enqueue([&] { ran.push_back(2); });
    EXPECT_EQ(queue.runPending(), 2u);
    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(MainQueue, TasksFromManyThreadsRunInEachSendersOrder) {
    constexpr int kSenders = 4, kTasks = 1000;
    MainQueue queue;
    std::vector<int> next(kSenders, 0); // the tasks alone touch these, so on this thread alone
    int total = 0, outOfOrder = 0;
    std::vector<std::jthread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kTasks; ++i) queue.enqueue([&, s, i] { outOfOrder += next[s]++ != i; ++total; });
        });
    }
    // The time limit only keeps a broken queue from hanging the run.
    EXPECT_TRUE(queue.runUntil([&] { return total == kSenders * kTasks; }, std::chrono::minutes(1))) << total;
    EXPECT_EQ(outOfOrder, 0);
}

TEST(MainQueue, ScheduledTasksWaitForTheirTimeAndACancelledOneNeverRunsAndLetsGo) {
    MainQueue queue;
    std::vector<int> ran;
    auto held = std::make_shared<int>(0);
    queue.enqueueAfter(std::chrono::milliseconds(30), [&] { ran.push_back(2); });
    const auto dropped = queue.enqueueAfter(std::chrono::milliseconds(10), [&ran, held] { ran.push_back(9); });
    queue.enqueueAfter(std::chrono::milliseconds(20), [&] { ran.push_back(1); });
    EXPECT_EQ(queue.runPending(), 0u) << "nothing is due yet";
    EXPECT_EQ(queue.pendingCount(), 0u);
    EXPECT_TRUE(queue.cancel(dropped));
    EXPECT_EQ(held.use_count(), 1) << "a cancelled task lets go of what it held at once";
    EXPECT_FALSE(queue.cancel(dropped));
    EXPECT_TRUE(queue.runUntil([&] { return ran.size() == 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(ran, (std::vector<int>{1, 2})) << "earliest first";
    EXPECT_EQ(queue.scheduledCount(), 0u);
}
