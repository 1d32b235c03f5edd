#include "toolkit.hpp"

#include <gtk/gtk.h>

namespace vela::ui {

bool ensureToolkit() {
    static const bool available = gtk_init_check(nullptr, nullptr) != FALSE;
    return available;
}

}  // namespace vela::ui
