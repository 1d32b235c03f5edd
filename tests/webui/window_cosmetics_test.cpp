#include "window_cosmetics.hpp"

#include "desktop_window.hpp"
#include "private_display.hpp"
#include "web_view.hpp"
#include "web_view_harness.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>

using namespace std::chrono_literals;
using vela::ui::WebView;

namespace {

::testing::Environment* const kDisplay =
    ::testing::AddGlobalTestEnvironment(new launcher_test::PrivateDisplay);

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

Rgb pixelAt(GdkPixbuf* image, int x, int y) {
    const guchar* const p = gdk_pixbuf_get_pixels(image) + y * gdk_pixbuf_get_rowstride(image) +
                            x * gdk_pixbuf_get_n_channels(image);
    return Rgb{p[0], p[1], p[2]};
}

// The root window as the X server shows it, taken by ImageMagick's import.
GdkPixbuf* takeScreenshot(const std::filesystem::path& file) {
    GError* error = nullptr;
    GSubprocess* const import = g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, &error, "import",
                                                 "-window", "root", file.c_str(), nullptr);
    if (import == nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return nullptr;
    }
    bool finished = false;
    g_subprocess_wait_async(
        import, nullptr,
        [](GObject*, GAsyncResult*, gpointer done) { *static_cast<bool*>(done) = true; },
        &finished);
    // The window keeps being served while import reads the screen.
    const bool done = webui_test::serveUntil([&] { return finished; }, 30s);
    const bool ok = done && g_subprocess_get_successful(import);
    g_object_unref(import);
    if (!ok) {
        ADD_FAILURE() << "import failed";
        return nullptr;
    }
    GdkPixbuf* const image = gdk_pixbuf_new_from_file(file.c_str(), &error);
    if (image == nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
    }
    return image;
}

}  // namespace

TEST(WindowCosmetics, ScreenshotShowsThePageDrawnCornersCutAndTheWindowCentred) {
    vela::ui::DesktopWindow window(vela::ui::Bounds{0, 0, 0, 0});
    WebView::Options options;
    options.fetchResource =
        [](const std::string& path) -> std::optional<WebView::Options::Resource> {
        if (path != "/") {
            return std::nullopt;
        }
        return WebView::Options::Resource(
            "<!DOCTYPE html><html><body style='margin:0;background:rgb(0,160,80)'>"
            "<script>window.ready = true;</script></body></html>",
            "text/html");
    };
    WebView view(options);
    window.setContent(view.getViewHandle());

    // As the launcher does it.
    zentravo::ui::hideWindowTitleBar(window);
    zentravo::ui::hideWebViewBackground(view);
    zentravo::ui::centerWithSize(window, 390, 120);
    window.setVisible(true);
    zentravo::ui::unifyAppIcons();
    window.toFront();

    GtkWidget* const handle = window.getWindowHandle();
    ASSERT_NE(handle, nullptr);
    EXPECT_FALSE(gtk_window_get_decorated(GTK_WINDOW(handle)));
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(handle)));
    EXPECT_TRUE(gtk_window_get_skip_taskbar_hint(GTK_WINDOW(handle)));
    EXPECT_TRUE(gtk_window_get_skip_pager_hint(GTK_WINDOW(handle)));
    ASSERT_TRUE(webui_test::waitForPage(view, "window.ready === true", "true"));
    ASSERT_TRUE(webui_test::serveUntil([&] {
        return gtk_widget_get_allocated_width(handle) == 390 &&
               gtk_widget_get_allocated_height(handle) == 120;
    })) << gtk_widget_get_allocated_width(handle)
        << "x" << gtk_widget_get_allocated_height(handle);

    const int left = (launcher_test::PrivateDisplay::kWidth - 390) / 2;  // 445
    const int top = (launcher_test::PrivateDisplay::kHeight - 120) / 2;  // 340
    int originX = 0;
    int originY = 0;
    gdk_window_get_origin(gtk_widget_get_window(handle), &originX, &originY);
    EXPECT_EQ(originX, left);
    EXPECT_EQ(originY, top);

    const std::filesystem::path file =
        std::filesystem::path(LAUNCHER_BINARY_DIR) / "tests/webui/window_screenshot.png";
    const auto isPage = [](Rgb c) {
        return std::abs(c.r - 0) <= 8 && std::abs(c.g - 160) <= 8 && std::abs(c.b - 80) <= 8;
    };
    // The web process paints in its own time: shoot until the page reached the screen.
    GdkPixbuf* image = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (true) {
        image = takeScreenshot(file);
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(gdk_pixbuf_get_width(image), launcher_test::PrivateDisplay::kWidth);
        if (isPage(pixelAt(image, left + 195, top + 60)) ||
            std::chrono::steady_clock::now() > deadline) {
            break;
        }
        g_object_unref(image);
        webui_test::serveFor(100ms);
    }
    // The page fills the window: its bounding box is exactly the centred window.
    int minX = INT_MAX, minY = INT_MAX, maxX = -1, maxY = -1, count = 0;
    for (int y = 0; y < gdk_pixbuf_get_height(image); ++y) {
        for (int x = 0; x < gdk_pixbuf_get_width(image); ++x) {
            if (isPage(pixelAt(image, x, y))) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
                ++count;
            }
        }
    }
    EXPECT_EQ(minX, left);
    EXPECT_EQ(maxX, left + 389);
    EXPECT_EQ(minY, top);
    EXPECT_EQ(maxY, top + 119);
    // Nearly every pixel of the window is page: only the four rounded corners are missing
    // (each about (1 - pi/4) * 10 * 10 = 21 pixels).
    EXPECT_GT(count, 390 * 120 - 4 * 30);
    EXPECT_LT(count, 390 * 120 - 4 * 12);

    // Corners cut to the screen below, edges between them drawn.
    // The screen below is the white root: a black corner would be an unshaped window.
    const Rgb background = pixelAt(image, 10, 10);
    EXPECT_EQ(background, (Rgb{255, 255, 255}));
    for (const auto& [x, y] : {std::pair{left, top},
                               {left + 389, top},
                               {left, top + 119},
                               {left + 389, top + 119},
                               {left + 1, top + 1}}) {
        SCOPED_TRACE(testing::Message() << x << "," << y);
        EXPECT_EQ(pixelAt(image, x, y), background);
    }
    for (const auto& [x, y] : {std::pair{left + 10, top},
                               {left, top + 10},
                               {left + 195, top + 60},
                               {left + 379, top + 119},
                               {left + 389, top + 109}}) {
        SCOPED_TRACE(testing::Message() << x << "," << y);
        EXPECT_TRUE(isPage(pixelAt(image, x, y)));
    }
    g_object_unref(image);
}
