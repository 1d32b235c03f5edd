#include "editing_shortcuts.hpp"

#include <gdk/gdk.h>
#include <webkit2/webkit2.h>

namespace vela::ui {

std::optional<const char*> editingCommandFor(unsigned modifierState, std::uint32_t character) {
    constexpr unsigned kRelevant = GDK_SHIFT_MASK | GDK_CONTROL_MASK | GDK_MOD1_MASK |
                                   GDK_MOD4_MASK | GDK_SUPER_MASK | GDK_META_MASK;
    const unsigned held = modifierState & kRelevant;
    if (held == (GDK_CONTROL_MASK | GDK_SHIFT_MASK) && character == 'Z') {
        return WEBKIT_EDITING_COMMAND_REDO;
    }
    if (held != GDK_CONTROL_MASK) {
        return std::nullopt;
    }
    switch (character) {
        case 'c':
            return WEBKIT_EDITING_COMMAND_COPY;
        case 'x':
            return WEBKIT_EDITING_COMMAND_CUT;
        case 'v':
            return WEBKIT_EDITING_COMMAND_PASTE;
        case 'z':
            return WEBKIT_EDITING_COMMAND_UNDO;
        case 'a':
            return WEBKIT_EDITING_COMMAND_SELECT_ALL;
        default:
            return std::nullopt;
    }
}

}  // namespace vela::ui
