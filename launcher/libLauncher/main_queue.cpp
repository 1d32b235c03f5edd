#include "main_queue.hpp"

#include <glib.h>

#include <memory>

namespace zentravo::mainqueue {
namespace {

using Work = std::function<void()>;

gboolean runOnce(gpointer data) {
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

void destroy(gpointer data) {
    delete static_cast<Work*>(data);
}  // owned by the idle source

}  // namespace

void post(std::function<void()> work) {
    // Idle sources of one priority run in the order they were added.
    auto owned = std::make_unique<Work>(std::move(work));
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, owned.release(), destroy);
}

}  // namespace zentravo::mainqueue
