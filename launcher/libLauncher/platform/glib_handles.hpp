#pragma once

#include <glib-object.h>

#include <memory>

namespace zentravo::system {

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
// Owns a GError filled through an out-parameter: `GErrorPtr e; f(..., out(e))`.
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

class GErrorOut {
  public:
    explicit GErrorOut(GErrorPtr& owner) : owner_{owner} {}
    ~GErrorOut() { owner_.reset(raw_); }
    GErrorOut(const GErrorOut&) = delete;
    GErrorOut& operator=(const GErrorOut&) = delete;
    operator GError**() { return &raw_; }

  private:
    GErrorPtr& owner_;
    GError* raw_ = nullptr;
};

inline GErrorOut out(GErrorPtr& owner) {
    return GErrorOut{owner};
}

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
// Owns one reference to a GObject.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GVariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
// Owns one reference to a GVariant.
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

}  // namespace zentravo::system
