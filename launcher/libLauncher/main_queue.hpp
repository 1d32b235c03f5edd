#pragma once

#include <functional>

namespace zentravo::mainqueue {

// Runs `work` on the main thread, after everything posted before it; returns at once. Safe from
// any thread. `work` must not throw.
void post(std::function<void()> work);

}  // namespace zentravo::mainqueue
