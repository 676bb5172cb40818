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
