#pragma once

#include <cstdint>
#include <span>

namespace vela::ui {

class DesktopWindow;
class WebView;

// Borderless, shadowless, transparent window with corners rounded to a radius of 10 (cut by a
// shape mask where no compositor draws transparency), centred on its monitor.
void hideWindowTitleBar(const DesktopWindow& window);

// The page's own background is not drawn: where the page draws nothing, the window shows.
void hideWebViewBackground(const WebView& webView);

}  // namespace vela::ui

namespace zentravo::ui {

using vela::ui::hideWebViewBackground;
using vela::ui::hideWindowTitleBar;

// Screen geometry, origin top-left, y growing downwards.
struct Point {
    double x = 0;
    double y = 0;
};
struct Frame {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Where a window of width x height goes: centred on the first screen containing the pointer,
// else on the first screen (an empty frame when there is none). The halves of the window's
// size are whole numbers, rounded down.
[[nodiscard]] Frame centeredFrame(std::span<const Frame> screens, Point pointer, std::int32_t width,
                                  std::int32_t height);

// No task-bar or pager entry for the launcher's windows.
void unifyAppIcons();

// Sizes the window and centres it on the monitor under the pointer.
void centerWithSize(const vela::ui::DesktopWindow& window, std::int32_t width, std::int32_t height);

}  // namespace zentravo::ui
