#pragma once

#include <chrono>
#include <functional>

namespace corvex::cli {

/// Runs the event loop until `done` returns true or `timeout` has passed;
/// returns whether `done` became true. `done` is checked after every event and
/// at least every 10 ms.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

/// Runs the event loop for `duration`.
void runEventsFor(std::chrono::milliseconds duration);

/// Makes SIGINT and SIGTERM quit the application's event loop instead of
/// killing the process, so that commands can clean up (withdraw announcements,
/// reset the terminal).
void quitOnInterrupt();

} // namespace corvex::cli
