#pragma once

// Owning handles for GLib, GObject and GTK objects: one reference or one allocation each,
// released when the handle goes.

#include <glib-object.h>

#include <memory>

namespace vela::glib {

// Deleter that calls the library's own release function, skipping null.
template <auto release>
struct Release {
    template <class T>
    void operator()(T* handle) const noexcept {
        if (handle != nullptr) {
            release(handle);
        }
    }
};

// One strong reference to a GObject (widgets included).
template <class T>
using Object = std::unique_ptr<T, Release<g_object_unref>>;

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

using String = std::unique_ptr<gchar, Release<g_free>>;
using Error = std::unique_ptr<GError, Release<g_error_free>>;
using Bytes = std::unique_ptr<GBytes, Release<g_bytes_unref>>;
using Uri = std::unique_ptr<GUri, Release<g_uri_unref>>;
using MainLoop = std::unique_ptr<GMainLoop, Release<g_main_loop_unref>>;

// A source attached to a context: detached and released together.
inline void destroySource(GSource* source) noexcept {
    g_source_destroy(source);
    g_source_unref(source);
}
using AttachedSource = std::unique_ptr<GSource, Release<destroySource>>;

}  // namespace vela::glib
