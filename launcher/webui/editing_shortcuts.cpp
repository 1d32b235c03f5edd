#include "editing_shortcuts.hpp"

#include <gdk/gdk.h>
#include <webkit2/webkit2.h>
#include <cctype>

namespace vela::ui {

std::optional<const char*> editingCommandFor(unsigned modifierState, std::uint32_t character) {
    constexpr unsigned kRelevant = GDK_SHIFT_MASK | GDK_CONTROL_MASK | GDK_MOD1_MASK |
                                   GDK_MOD4_MASK | GDK_SUPER_MASK | GDK_META_MASK;
    const unsigned held = modifierState & kRelevant;
    // With Caps Lock on, X hands over the letter in the other case (Ctrl+z arrives as "Z", and
    // Ctrl+Shift+z as "z"); the lock must not block the shortcut, so Shift alone tells them apart.
    if ((modifierState & GDK_LOCK_MASK) != 0 && character < 128 &&
        std::isalpha(static_cast<int>(character)) != 0) {
        character = static_cast<std::uint32_t>((held & GDK_SHIFT_MASK) != 0
                                                   ? std::toupper(static_cast<int>(character))
                                                   : std::tolower(static_cast<int>(character)));
    }
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
