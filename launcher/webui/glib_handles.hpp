#pragma once

// Owning handles for GLib, GObject and GTK objects: one reference or one allocation each,
// released when the handle goes.

#include <glib-object.h>

#include <memory>

namespace vela::glib {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};

// One strong reference to a GObject (widgets included).
template <class T>
using Object = std::unique_ptr<T, ObjectUnref>;

// Takes over a reference the caller already owns (a "transfer full" result).
template <class T>
[[nodiscard]] Object<T> adopt(T* object) noexcept {
    return Object<T>(object);
}

// Takes a reference of its own; sinks a floating one, so it also owns a fresh widget.
template <class T>
[[nodiscard]] Object<T> retain(T* object) noexcept {
    if (object != nullptr) {
        g_object_ref_sink(object);
    }
    return Object<T>(object);
}

struct Free {
    void operator()(gpointer memory) const noexcept { g_free(memory); }
};
using String = std::unique_ptr<gchar, Free>;

struct ErrorFree {
    void operator()(GError* error) const noexcept {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct BytesUnref {
    void operator()(GBytes* bytes) const noexcept {
        if (bytes != nullptr) {
            g_bytes_unref(bytes);
        }
    }
};
using Bytes = std::unique_ptr<GBytes, BytesUnref>;

struct MainLoopUnref {
    void operator()(GMainLoop* loop) const noexcept {
        if (loop != nullptr) {
            g_main_loop_unref(loop);
        }
    }
};
using MainLoop = std::unique_ptr<GMainLoop, MainLoopUnref>;

struct SourceDestroy {
    void operator()(GSource* source) const noexcept {
        if (source != nullptr) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }
};
// A source attached to a context: detached and released together.
using AttachedSource = std::unique_ptr<GSource, SourceDestroy>;

}  // namespace vela::glib
