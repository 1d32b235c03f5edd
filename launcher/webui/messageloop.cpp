#include "messageloop.hpp"

#include "glib_handles.hpp"

#include <glib.h>

#include <deque>
#include <memory>
#include <mutex>

namespace vela::messageloop {
namespace {

using Message = std::unique_ptr<std::function<void()>>;

// Stands in for the platform's main dispatch queue: shared by every thread, drained on the
// main thread by a source attached to the default main context while run() is active.
struct Queue {
    std::mutex mutex;
    std::deque<Message> messages;
    GMainLoop* loop = nullptr;  // main thread only
};

Queue& queue() {
    static Queue instance;
    return instance;
}

bool hasMessages() {
    Queue& q = queue();
    const std::lock_guard lock(q.mutex);
    return !q.messages.empty();
}

gboolean prepareQueue(GSource*, gint* timeout) {
    *timeout = -1;
    return hasMessages() ? TRUE : FALSE;
}

gboolean checkQueue(GSource*) {
    return hasMessages() ? TRUE : FALSE;
}

void runMessage(const std::function<void()>& fn) noexcept {
    fn();
}

gboolean dispatchQueue(GSource*, GSourceFunc, gpointer) {
    Queue& q = queue();
    // Only what was queued when this dispatch began: work posted meanwhile waits for the next
    // iteration, so a poster that keeps posting cannot starve input and drawing.
    std::size_t budget = 0;
    {
        const std::lock_guard lock(q.mutex);
        budget = q.messages.size();
    }
    for (; budget > 0; --budget) {
        if (q.loop == nullptr || !g_main_loop_is_running(q.loop)) {
            break;  // a stop took effect: the rest waits for a later run()
        }
        Message message;
        {
            const std::lock_guard lock(q.mutex);
            if (q.messages.empty()) {
                break;
            }
            message = std::move(q.messages.front());
            q.messages.pop_front();
        }
        runMessage(*message);
    }
    return G_SOURCE_CONTINUE;
}

GSourceFuncs queueSourceFuncs = {prepareQueue, checkQueue, dispatchQueue,
                                 nullptr,      nullptr,    nullptr};

}  // namespace

pthread_t& getMainThreadIDRef() {
    static pthread_t mainThreadID{};
    return mainThreadID;
}

void run() {
    getMainThreadIDRef() = pthread_self();

    const glib::MainLoop loop(g_main_loop_new(nullptr, FALSE));
    const glib::AttachedSource source(g_source_new(&queueSourceFuncs, sizeof(GSource)));
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_set_name(source.get(), "vela message queue");
    g_source_attach(source.get(), nullptr);

    Queue& q = queue();
    GMainLoop* const outer = q.loop;
    q.loop = loop.get();
    g_main_loop_run(loop.get());
    q.loop = outer;
}

void postMessage(std::function<void()>&& fn) {
    auto message = std::make_unique<std::function<void()>>(std::move(fn));
    Queue& q = queue();
    {
        const std::lock_guard lock(q.mutex);
        q.messages.push_back(std::move(message));
    }
    g_main_context_wakeup(nullptr);
}

void stop() {
    postMessage([] {
        GMainLoop* const loop = queue().loop;
        if (loop != nullptr) {
            g_main_loop_quit(loop);
        }
    });
}

}  // namespace vela::messageloop
