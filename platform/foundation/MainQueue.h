#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace platform {

/// The main dispatch queue: any thread hands it tasks, and the main thread
/// runs them, one at a time, in the order they were enqueued. Whoever owns the
/// main thread's loop (a window's event loop, a test) drains it with
/// runPending or runUntil. Guarded by a mutex: never enqueue from the render
/// thread.
class MainQueue {
public:
    /// The process's main queue.
    static MainQueue& shared();

    MainQueue() = default;
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    /// Any thread. The task runs later on the main thread, after every task
    /// enqueued before it.
    void enqueue(std::function<void()> task);

    /// Main thread. Runs the tasks that were enqueued before the call, in
    /// order, and returns how many ran; tasks those enqueue wait for the next
    /// call. If a task throws, the exception propagates and the tasks after it
    /// stay queued.
    std::size_t runPending();

    /// Main thread. Runs tasks as they arrive until done() returns true (then
    /// returns true) or the timeout passes (then returns done()). done() is
    /// asked after each batch of tasks and at least every few milliseconds,
    /// so it may also watch state that other threads change.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    /// How many tasks wait. Any thread; the answer may be stale at once.
    std::size_t pendingCount() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable taskArrived_;
    std::deque<std::function<void()>> tasks_;
};

} // namespace platform
