#pragma once

#include "value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

typedef struct _GtkWidget GtkWidget;

namespace vela::ui {

// The page host: a WebKitGTK web view with a custom scheme for the page's resources, an error
// page for failed navigations, file choosing for file inputs, the editing shortcuts, script
// evaluation with results, and the page-to-host bridge. Main thread only.
class WebView {
  public:
    struct Options {
        // One reply body of the custom scheme.
        struct Resource {
            Resource(std::string_view text, std::string mimeTypeText)
                : data(text.begin(), text.end()), mimeType(std::move(mimeTypeText)) {}
            Resource(std::vector<std::uint8_t> bytes, std::string mimeTypeText)
                : data(std::move(bytes)), mimeType(std::move(mimeTypeText)) {}

            std::vector<std::uint8_t> data;
            std::string mimeType;
        };

        bool enableDebugMode = false;
        // Kept for callers; X11 delivers the click that activates a window to the page anyway.
        bool acceptsFirstMouseClick = false;
        std::string customUserAgent;
        // Given the request's path, the resource or nothing (404). When set, the scheme is
        // served and the home URI is loaded at once.
        std::function<std::optional<Resource>(const std::string& path)> fetchResource;
        // Home URI; empty means kDefaultHomeURI.
        std::string customSchemeURI;
        // The page's languages, most preferred first (navigator.language is the first), as
        // language tags ("de", "zh-TW"); empty for the system's.
        std::vector<std::string> preferredLanguages;
        // Name of the folders, under the user's data and cache folders (XDG), that keep the
        // page's web data and cache; empty for WebKit's choice, the program's file name.
        std::string storageName;
    };

    static constexpr std::string_view kDefaultHomeURI = "vela://vela.vela/";

    // A page call: its arguments (normally an array) in, its result out; void means no result.
    using CallbackFn = std::function<value::Value(const value::ValueView& arguments)>;
    // A script's outcome: the error text (empty on success) and the result (void for none).
    using CompletionHandler =
        std::function<void(const std::string& error, const value::ValueView& result)>;

    // Tells code that keeps a copy whether the web view went away meanwhile.
    struct DeletionChecker {
        bool deleted = false;
    };

    explicit WebView(Options options);
    ~WebView();

    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;
    WebView(WebView&&) = delete;
    WebView& operator=(WebView&&) = delete;

    // The WebKitWebView; null when no native view could be made (no display).
    [[nodiscard]] GtkWidget* getViewHandle() const;

    // Runs the script in the page; the completion, when given, gets the outcome later on the
    // main thread, exactly once (with an error when the web view went away first). False
    // without a native view (the completion is then never called).
    bool evaluateJavascript(const std::string& script, CompletionHandler completion = {});

    // Puts window[name] into this and every later page; calls reach fn. Binding a name again
    // replaces its callback. False without a native view.
    bool bind(const std::string& name, CallbackFn fn);

    // Runs one page call (the JSON text the bound function posted) and answers its promise.
    // Bad messages, oversized ones (bridge::kMaxMessageBytes), unknown names and id 0 are
    // dropped without a reply. Messages of pages outside the home URI's origin never get here.
    void invokeBinding(std::string_view message);

    // Loads url, or the home URI when empty. False for a text that is no URI. The page itself
    // can only go to addresses of the home URI's scheme and host (and open no windows); the
    // owner's own load goes anywhere.
    bool navigate(const std::string& url);
    // Loads the text as the page, at the home URI: the owner's HTML is the home's own page.
    bool setHTML(const std::string& html);
    // Adds a script that runs at document start in every later main-frame page.
    bool addInitScript(const std::string& script);

    // The copy that outlives this web view and says whether it was destroyed; null without a
    // native view.
    [[nodiscard]] std::shared_ptr<DeletionChecker> getDeletionChecker() const;

    // The page shown in place of one that failed to load; the error text is escaped as HTML.
    [[nodiscard]] static std::string makeErrorPage(std::string_view errorText);

    // The home URI for these options: customSchemeURI (or the default) ending in '/'.
    [[nodiscard]] static std::string getHomeURI(const Options& options);
    // The home URI's text before its first ':' (all of it without one).
    [[nodiscard]] static std::string getURIScheme(const Options& options);

    struct Pimpl;

  private:
    std::unique_ptr<Pimpl> pimpl;
    std::unordered_map<std::string, CallbackFn> bindings;
};

}  // namespace vela::ui
