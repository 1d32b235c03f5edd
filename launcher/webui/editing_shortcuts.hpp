#pragma once

#include <cstdint>
#include <optional>

namespace vela::ui {

// The editing command ("Copy", "Cut", "Paste", "Undo", "Redo", "SelectAll") for a key press,
// given its GDK modifier state and the character of its key (shift applied). Ctrl stands where
// other desktops use Command: Ctrl with c, x, v, z, a, and Ctrl+Shift with Z for redo. Any other
// of Shift, Ctrl, Alt and Super held makes it no shortcut; lock keys do not matter, Caps Lock
// included: under it a letter matches in either case.
[[nodiscard]] std::optional<const char*> editingCommandFor(unsigned modifierState,
                                                           std::uint32_t character);

}  // namespace vela::ui
