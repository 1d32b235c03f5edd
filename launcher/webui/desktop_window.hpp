#pragma once

#include <cstdint>
#include <functional>
#include <memory>

typedef struct _GtkWidget GtkWidget;

namespace vela::ui {

// Screen rectangle in points, origin top-left.
struct Bounds {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The launcher's one top-level window (a GtkWindow). Built hidden, with a title bar and close
// button, not resizable. All operations and callbacks run on the main thread. After the window
// was closed every operation does nothing.
class DesktopWindow {
  public:
    explicit DesktopWindow(Bounds bounds);
    ~DesktopWindow();

    // The private part points back here.
    DesktopWindow(const DesktopWindow&) = delete;
    DesktopWindow& operator=(const DesktopWindow&) = delete;
    DesktopWindow(DesktopWindow&&) = delete;
    DesktopWindow& operator=(DesktopWindow&&) = delete;

    // Replaces the window's content with the given widget (a web view's handle).
    void setContent(GtkWidget* view);
    void setVisible(bool visible);
    void toFront();
    void setResizable(bool resizable);

    // The GtkWindow; null when there is no display or once the window was closed.
    [[nodiscard]] GtkWidget* getWindowHandle() const;

    // Called at once, inside the size change, whenever the window's size changed.
    std::function<void()> windowResized;
    // Posted to the message loop once the window was asked to close and closed; runs once.
    std::function<void()> windowClosed;

    struct Pimpl;

  private:
    std::unique_ptr<Pimpl> pimpl;
};

}  // namespace vela::ui
