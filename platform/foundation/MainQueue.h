#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

/// The main dispatch queue: any thread hands it tasks, and the main thread
/// runs them, one at a time, in the order they were enqueued. Whoever owns the
/// main thread's loop (a window's event loop, a test) drains it with
/// runPending or runUntil. Guarded by a mutex: never enqueue from the render
/// thread.
///
/// A task may also be scheduled to run after a delay (the platform's
/// dispatch_after, here cancellable): a pointer that lingers, a gesture that
/// ends when the wheel rests. Such a task runs from the first runPending at
/// or after its time; the loops that drain the queue look at it every few
/// milliseconds.
class MainQueue {
public:
    /// Names a scheduled task; 0 names none.
    using ScheduledID = std::uint64_t;

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
    /// Scheduled tasks whose time has not come are not counted.
    std::size_t pendingCount() const;

    /// Any thread. The task runs on the main thread from the first runPending
    /// once `delay` has passed, after the tasks enqueued before that call.
    ScheduledID enqueueAfter(std::chrono::steady_clock::duration delay, std::function<void()> task);
    /// Any thread. Drops a scheduled task that has not run yet, and with it
    /// whatever the task holds; false when there was none (ran, or unknown).
    /// Code that may be unloaded cancels its scheduled tasks before it goes.
    bool cancel(ScheduledID id);
    /// How many scheduled tasks wait for their time.
    std::size_t scheduledCount() const;

private:
    struct Scheduled {
        ScheduledID id;
        std::chrono::steady_clock::time_point due;
        std::function<void()> task;
    };
    /// Moves the scheduled tasks that are due to the end of the queue.
    void releaseDue();

    mutable std::mutex mutex_;
    std::condition_variable taskArrived_;
    std::deque<std::function<void()>> tasks_;
    std::vector<Scheduled> scheduled_;
    ScheduledID nextScheduledID_ = 1;
};

} // namespace platform
