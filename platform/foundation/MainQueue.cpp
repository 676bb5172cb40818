#include "platform/foundation/MainQueue.h"

#include <algorithm>

namespace platform {
namespace {

// How long runUntil sleeps at most before it asks done() again when no task
// arrives: done() may watch state that changes without any task.
constexpr std::chrono::milliseconds kDonePollInterval{5};

} // namespace

MainQueue& MainQueue::shared() {
    static MainQueue queue;
    return queue;
}

void MainQueue::enqueue(std::function<void()> task) {
    if (!task) return;
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    taskArrived_.notify_all();
}

std::size_t MainQueue::runPending() {
    std::size_t due = 0;
    {
        const std::lock_guard lock(mutex_);
        due = tasks_.size();
    }
    // One task at a time, outside the lock: a task may enqueue more, and a
    // task that throws leaves the rest in place.
    std::size_t ran = 0;
    for (; ran < due; ++ran) {
        std::function<void()> task;
        {
            const std::lock_guard lock(mutex_);
            if (tasks_.empty()) break;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
    return ran;
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        runPending();
        if (done()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(mutex_);
        taskArrived_.wait_until(lock, std::min(deadline, now + kDonePollInterval),
                                [this] { return !tasks_.empty(); });
    }
}

std::size_t MainQueue::pendingCount() const {
    const std::lock_guard lock(mutex_);
    return tasks_.size();
}

} // namespace platform
