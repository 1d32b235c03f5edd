#pragma once

#include <pthread.h>

#include <functional>

// The main thread's event loop (the GLib default main context, which also serves GTK) and a
// FIFO queue through which any thread hands work to it.
namespace vela::messageloop {

// The thread that entered run(); zero until then.
[[nodiscard]] pthread_t& getMainThreadIDRef();

// Serves the main context until a stop takes effect. Main thread only.
void run();

// Queues fn to run on the main thread after everything queued before it; returns at once.
// Safe from any thread. Functions run only while run() is serving the loop; each is destroyed
// exactly once, right after it ran (or at process exit when it never got to run). A posted
// function must not throw.
void postMessage(std::function<void()>&& fn);

// Posts the stop: once everything queued before it has run, run() returns without waiting for
// any further event. Functions queued after it stay queued.
void stop();

}  // namespace vela::messageloop
