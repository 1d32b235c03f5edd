// The baseline for the launcher benchmark: a bare GTK window of the launcher's size with a
// WebKitGTK web view showing the same page, and nothing else.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_webview PAGE.html\n");
        return 2;
    }
    std::ifstream in{argv[1], std::ios::binary};
    const std::string page{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
    gtk_init(nullptr, nullptr);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 390, 120);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), page.c_str(), "vela://vela.vela/");
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
