#include "hosts/editor/StopSignals.h"

#include "platform/foundation/MainQueue.h"

#include <signal.h>

#include <atomic>
#include <thread>

namespace orvane::editor {
namespace {

std::atomic<int> arrived{0};

} // namespace

void stopOnSignals(std::function<void(int)> onSignal)
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // Lives as long as the process; it only ever waits.
    std::thread([signals, onSignal = std::move(onSignal)] {
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }
        arrived.store(signal, std::memory_order_relaxed);
        platform::MainQueue::shared().enqueue([onSignal, signal] { onSignal(signal); });
    }).detach();
}

int stopSignal()
{
    return arrived.load(std::memory_order_relaxed);
}

} // namespace orvane::editor
