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
        releaseDue();
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

MainQueue::ScheduledID MainQueue::enqueueAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
    if (!task) return 0;
    const std::lock_guard lock(mutex_);
    const ScheduledID id = nextScheduledID_++;
    scheduled_.push_back({id, std::chrono::steady_clock::now() + delay, std::move(task)});
    return id;
}

bool MainQueue::cancel(ScheduledID id) {
    std::function<void()> dropped;
    {
        const std::lock_guard lock(mutex_);
        const auto found = std::find_if(scheduled_.begin(), scheduled_.end(), [id](const auto& s) { return s.id == id; });
        if (found == scheduled_.end()) return false;
        dropped = std::move(found->task);
        scheduled_.erase(found);
    }
    // The task's captures go here, outside the lock.
    return true;
}

std::size_t MainQueue::scheduledCount() const {
    const std::lock_guard lock(mutex_);
    return scheduled_.size();
}

void MainQueue::releaseDue() {
    if (scheduled_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    // Earliest first, then in the order they were scheduled (ids grow).
    std::sort(scheduled_.begin(), scheduled_.end(),
              [](const auto& a, const auto& b) { return a.due < b.due || (a.due == b.due && a.id < b.id); });
    auto firstLater = std::find_if(scheduled_.begin(), scheduled_.end(), [now](const auto& s) { return s.due > now; });
    for (auto it = scheduled_.begin(); it != firstLater; ++it) tasks_.push_back(std::move(it->task));
    scheduled_.erase(scheduled_.begin(), firstLater);
}

} // namespace platform
