#pragma once

#include <functional>

namespace orvane::editor {

/// Turns SIGINT, SIGTERM and SIGHUP into a task on the main queue, so that
/// the window's own loop ends as on a close and whatever follows a close
/// (saving the state) still happens. Call once from the main thread before
/// any other thread starts: the signals are blocked in every thread and
/// taken by one of this program's own. `onSignal` runs on the main thread.
void stopOnSignals(std::function<void(int signal)> onSignal);

/// The signal that arrived, or 0.
int stopSignal();

} // namespace orvane::editor
