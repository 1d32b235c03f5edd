// Prints, one per line, the command line a desktop runs for a desktop entry and the link
// "zentravo://open": the Exec value read with GKeyFile and split with g_shell_parse_argv, as GIO
// (behind xdg-open and gio open) does when it launches an entry. Exit status 1 when the entry has
// no Exec value or it cannot be split.
#include <glib.h>

#include <cstdio>
#include <memory>
#include <string>

#include "glib_handles.hpp"

namespace {

struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
struct StrvFree {
    void operator()(gchar** strv) const { g_strfreev(strv); }
};
struct GFree {
    void operator()(gchar* text) const { g_free(text); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: desktop_entry_probe <file.desktop>\n", stderr);
        return 2;
    }
    using zentravo::system::GErrorPtr;
    using zentravo::system::out;
    const std::unique_ptr<GKeyFile, KeyFileFree> file{g_key_file_new()};
    GErrorPtr error;
    if (!g_key_file_load_from_file(file.get(), argv[1], G_KEY_FILE_NONE, out(error))) {
        std::fprintf(stderr, "%s\n", error->message);
        return 1;
    }
    const std::unique_ptr<gchar, GFree> exec{
        g_key_file_get_string(file.get(), "Desktop Entry", "Exec", out(error))};
    if (!exec) {
        std::fprintf(stderr, "%s\n", error->message);
        return 1;
    }
    gchar** raw = nullptr;
    if (!g_shell_parse_argv(exec.get(), nullptr, &raw, out(error))) {
        std::fprintf(stderr, "%s\n", error->message);
        return 1;
    }
    const std::unique_ptr<gchar*, StrvFree> arguments{raw};
    for (gchar** argument = arguments.get(); *argument != nullptr; ++argument) {
        const std::string text{*argument};
        std::printf("%s\n", text == "%u" ? "zentravo://open" : text.c_str());
    }
    return 0;
}
