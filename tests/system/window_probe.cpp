// Test helper: shows one top-level window, creates the file named by its first argument once the
// window is mapped, and runs until SIGTERM or 20 s.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <fstream>

int main(int argc, char** argv) {
    if (argc < 2 || !gtk_init_check(&argc, &argv)) {
        return 2;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 200, 200);
    gtk_window_move(GTK_WINDOW(window), 10, 10);
    g_signal_connect(window, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer ready) {
                         std::ofstream{static_cast<const char*>(ready)} << "mapped\n";
                         return FALSE;
                     }),
                     argv[1]);
    gtk_widget_show_all(window);
    const auto quit = [](gpointer) -> gboolean {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGTERM, quit, nullptr);
    g_timeout_add_seconds(20, quit, nullptr);
    gtk_main();
    return 0;
}
