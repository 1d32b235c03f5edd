#include "web_view.hpp"

#include "editing_shortcuts.hpp"
#include "glib_handles.hpp"
#include "javascript_bridge.hpp"
#include "json.hpp"
#include "toolkit.hpp"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <exception>
#include <stdexcept>
#include <utility>

namespace vela::ui {
namespace {

struct Descriptor {
    explicit Descriptor(int opened) : fd{opened} {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

// The page's storage holds its cookies and what it cached: a folder of this user's alone, made
// (with the missing folders on the way) mode 0700 whatever the umask, and closed to others when
// an earlier start left it open. WebKit's own subfolders in it are out of others' reach then.
// False for a link, no folder or another user's folder.
bool makePrivateFolder(const gchar* path) {
    if (g_mkdir_with_parents(path, 0700) != 0) {
        return false;
    }
    const Descriptor folder{
        ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY)};
    struct stat status {};
    return folder.fd >= 0 && ::fstat(folder.fd, &status) == 0 && status.st_uid == ::geteuid() &&
           ((status.st_mode & 07777) == 0700 || ::fchmod(folder.fd, 0700) == 0);
}

constexpr const char* kMessageHandlerName = "external";

GQuark schemeErrorQuark() {
    return g_quark_from_static_string("vela-scheme-error");
}

// Routes custom-scheme requests to the web view that owns the context. The context outlives
// the web view's private part when GTK still holds the view, so the route is cut on destruction
// instead of letting the context call into freed memory.
struct SchemeRoute {
    WebView::Pimpl* pimpl = nullptr;
};

// Where an address leads: scheme, host and port, without regard to case. Addresses without a
// host (about:, data:, file:, a text that is no URI) have none.
struct Origin {
    std::string scheme;
    std::string host;
    int port = -1;

    bool operator==(const Origin&) const = default;
};

std::optional<Origin> originOf(const char* uri) {
    if (uri == nullptr) {
        return std::nullopt;
    }
    const glib::Uri parsed(g_uri_parse(uri, G_URI_FLAGS_ENCODED, nullptr));
    const char* const host = parsed ? g_uri_get_host(parsed.get()) : nullptr;
    if (host == nullptr || *host == '\0') {
        return std::nullopt;
    }
    const glib::String scheme(g_ascii_strdown(g_uri_get_scheme(parsed.get()), -1));
    const glib::String lowerHost(g_ascii_strdown(host, -1));
    return Origin{scheme.get(), lowerHost.get(), g_uri_get_port(parsed.get())};
}

std::string escapeHTML(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::string WebView::makeErrorPage(std::string_view errorText) {
    return "<!DOCTYPE html><html><head><title>Error</title></head><body><h2>" +
           escapeHTML(errorText) + "</h2></body></html>";
}

std::string WebView::getHomeURI(const Options& options) {
    std::string home =
        options.customSchemeURI.empty() ? std::string(kDefaultHomeURI) : options.customSchemeURI;
    if (home.back() != '/') {
        home += '/';
    }
    return home;
}

std::string WebView::getURIScheme(const Options& options) {
    const std::string home = getHomeURI(options);
    return home.substr(0, home.find(':'));
}

struct WebView::Pimpl {
    std::shared_ptr<DeletionChecker> deletionChecker = std::make_shared<DeletionChecker>();
    WebView& owner;
    std::unique_ptr<const Options> options;
    glib::Object<WebKitWebContext> context;
    glib::Object<WebKitUserContentManager> contentController;
    glib::Object<GtkWidget> webView;
    SchemeRoute* schemeRoute = nullptr;  // owned by context
    std::string homeURI;
    std::optional<Origin> homeOrigin;
    // The address of the owner's latest navigate(), let through once wherever it leads.
    std::string ownerNavigation;
    // The page in the view (the last one committed) is of the home's origin: only such a page
    // reaches the bindings.
    bool ownPageShown = false;

    Pimpl(WebView& ownerRef, Options opts)
        : owner(ownerRef), options(std::make_unique<const Options>(std::move(opts))) {
        homeURI = getHomeURI(*options);
        homeOrigin = originOf(homeURI.c_str());
        if (!ensureToolkit()) {
            return;
        }

        const auto settings = glib::adopt(webkit_settings_new());
        webkit_settings_set_enable_fullscreen(settings.get(), TRUE);
        webkit_settings_set_javascript_can_access_clipboard(settings.get(), TRUE);
        if (options->enableDebugMode) {
            webkit_settings_set_enable_developer_extras(settings.get(), TRUE);
        }
        if (!options->customUserAgent.empty()) {
            webkit_settings_set_user_agent(settings.get(), options->customUserAgent.c_str());
        }

        if (options->storageName.empty()) {
            context = glib::adopt(webkit_web_context_new());
        } else {
            const auto folder = [&](const gchar* base) {
                return glib::String{g_build_filename(base, options->storageName.c_str(), nullptr)};
            };
            const auto dataFolder = folder(g_get_user_data_dir());
            const auto cacheFolder = folder(g_get_user_cache_dir());
            // What cannot be kept from others is not kept at all: the page's data then lasts
            // as long as the view.
            const auto dataManager =
                makePrivateFolder(dataFolder.get()) && makePrivateFolder(cacheFolder.get())
                    ? glib::adopt(webkit_website_data_manager_new(
                          "base-data-directory", dataFolder.get(), "base-cache-directory",
                          cacheFolder.get(), nullptr))
                    : glib::adopt(webkit_website_data_manager_new_ephemeral());
            context =
                glib::adopt(webkit_web_context_new_with_website_data_manager(dataManager.get()));
        }
        if (!options->preferredLanguages.empty()) {
            std::vector<const gchar*> languages;
            for (const std::string& language : options->preferredLanguages) {
                languages.push_back(language.c_str());
            }
            languages.push_back(nullptr);
            webkit_web_context_set_preferred_languages(context.get(), languages.data());
        }
        contentController = glib::adopt(webkit_user_content_manager_new());
        g_signal_connect(contentController.get(), "script-message-received::external",
                         G_CALLBACK(onScriptMessage), this);
        webkit_user_content_manager_register_script_message_handler(contentController.get(),
                                                                    kMessageHandlerName);

        if (options->fetchResource) {
            const std::string scheme = getURIScheme(*options);
            // Handed to the context, which frees it through the destroy notify.
            auto route = std::make_unique<SchemeRoute>(SchemeRoute{this});
            schemeRoute = route.get();
            webkit_web_context_register_uri_scheme(
                context.get(), scheme.c_str(), onResourceRequested, route.release(),
                [](gpointer data) {
                    std::unique_ptr<SchemeRoute>(static_cast<SchemeRoute*>(data));
                });
            WebKitSecurityManager* const security =
                webkit_web_context_get_security_manager(context.get());
            webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
            webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
        }

        webView = glib::retain(GTK_WIDGET(
            g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "user-content-manager",
                         contentController.get(), "settings", settings.get(), nullptr)));
        g_signal_connect(webView.get(), "decide-policy", G_CALLBACK(onDecidePolicy), this);
        g_signal_connect(webView.get(), "load-changed", G_CALLBACK(onLoadChanged), this);
        g_signal_connect(webView.get(), "load-failed", G_CALLBACK(onNavigationFailed), this);
        // A dropped link or file would be loaded as the page; the view takes no drops at all.
        gtk_drag_dest_unset(webView.get());
        g_signal_connect(webView.get(), "run-file-chooser", G_CALLBACK(runOpenPanel), nullptr);
        g_signal_connect(webView.get(), "key-press-event", G_CALLBACK(performKeyEquivalent),
                         nullptr);

        if (options->fetchResource) {
            navigate({});
        }
    }

    ~Pimpl() {
        deletionChecker->deleted = true;
        if (schemeRoute != nullptr) {
            schemeRoute->pimpl = nullptr;
        }
        if (webView) {
            g_signal_handlers_disconnect_by_data(webView.get(), this);
            if (GtkWidget* const parent = gtk_widget_get_parent(webView.get())) {
                gtk_container_remove(GTK_CONTAINER(parent), webView.get());
            }
            gtk_widget_destroy(webView.get());
            webView.reset();
        }
        if (contentController) {
            g_signal_handlers_disconnect_by_data(contentController.get(), this);
            webkit_user_content_manager_unregister_script_message_handler(contentController.get(),
                                                                          kMessageHandlerName);
            contentController.reset();
        }
    }

    Pimpl(const Pimpl&) = delete;
    Pimpl& operator=(const Pimpl&) = delete;

    [[nodiscard]] WebKitWebView* view() const { return WEBKIT_WEB_VIEW(webView.get()); }

    [[nodiscard]] bool isHomeOrigin(const char* uri) const {
        return homeOrigin && originOf(uri) == homeOrigin;
    }

    bool navigate(const std::string& url) {
        const std::string& target = url.empty() ? homeURI : url;
        if (!g_uri_is_valid(target.c_str(), G_URI_FLAGS_PARSE_RELAXED, nullptr)) {
            return false;
        }
        const auto request = glib::adopt(webkit_uri_request_new(target.c_str()));
        // WebKit's own spelling of the address, as the navigation decision will name it.
        ownerNavigation = webkit_uri_request_get_uri(request.get());
        webkit_web_view_load_request(view(), request.get());
        return true;
    }

    bool setHTML(const std::string& html) {
        webkit_web_view_load_html(view(), html.c_str(), homeURI.c_str());
        return true;
    }

    bool addInitScript(const std::string& script) {
        WebKitUserScript* const userScript =
            webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        if (userScript == nullptr) {
            return false;
        }
        webkit_user_content_manager_add_script(contentController.get(), userScript);
        webkit_user_script_unref(userScript);
        return true;
    }

    bool evaluateJavascript(const std::string& script, CompletionHandler completion) {
        if (!completion) {
            webkit_web_view_evaluate_javascript(view(), script.data(),
                                                static_cast<gssize>(script.size()), nullptr,
                                                nullptr, nullptr, nullptr, nullptr);
            return true;
        }
        auto pending = std::make_unique<CompletionHandler>(std::move(completion));
        webkit_web_view_evaluate_javascript(view(), script.data(),
                                            static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, onScriptEvaluated, pending.release());
        return true;
    }

    static void onScriptEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
        const std::unique_ptr<CompletionHandler> completion(static_cast<CompletionHandler*>(data));
        GError* rawError = nullptr;
        const auto jsValue = glib::adopt(
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError));
        const glib::Error error(rawError);

        std::string errorText = error ? error->message : "";
        value::Value resultValue;
        try {
            if (jsValue && !jsc_value_is_undefined(jsValue.get())) {
                const glib::String json(jsc_value_to_json(jsValue.get(), 0));
                if (json && *json != '\0') {
                    resultValue = json::parseValue(json.get());
                }
            }
        } catch (const std::exception& e) {
            errorText = e.what();
        }
        (*completion)(errorText, resultValue);
    }

    // Custom-scheme request: answered in one go, 200 with the body, 404 without headers, or a
    // failed request when the resource callback throws.
    static void onResourceRequested(WebKitURISchemeRequest* request, gpointer data) {
        const auto* const route = static_cast<SchemeRoute*>(data);
        try {
            if (route->pimpl == nullptr) {
                throw std::runtime_error("The web view is gone");
            }
            // The owner is given the path decoded ("/a%20b" names "/a b"). A path that does not
            // decode to UTF-8 text without NUL names nothing.
            const char* const rawPath = webkit_uri_scheme_request_get_path(request);
            const glib::String decoded(
                g_uri_unescape_string(rawPath != nullptr ? rawPath : "", nullptr));
            std::optional<Options::Resource> resource;
            if (decoded && g_utf8_validate(decoded.get(), -1, nullptr)) {
                resource = route->pimpl->options->fetchResource(decoded.get());
            }

            glib::Object<WebKitURISchemeResponse> response;
            if (resource) {
                const glib::Bytes bytes(g_bytes_new(resource->data.data(), resource->data.size()));
                const auto stream = glib::adopt(g_memory_input_stream_new_from_bytes(bytes.get()));
                response = glib::adopt(webkit_uri_scheme_response_new(
                    stream.get(), static_cast<gint64>(resource->data.size())));
                webkit_uri_scheme_response_set_status(response.get(), 200, nullptr);
                webkit_uri_scheme_response_set_content_type(response.get(),
                                                            resource->mimeType.c_str());
                const std::string length = std::to_string(resource->data.size());
                SoupMessageHeaders* const headers =
                    soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
                soup_message_headers_append(headers, "Content-Length", length.c_str());
                soup_message_headers_append(headers, "Content-Type", resource->mimeType.c_str());
                soup_message_headers_append(headers, "Cache-Control", "no-store");
                soup_message_headers_append(headers, "Access-Control-Allow-Origin", "*");
                webkit_uri_scheme_response_set_http_headers(response.get(), headers);  // takes it
            } else {
                const auto stream = glib::adopt(g_memory_input_stream_new());
                response = glib::adopt(webkit_uri_scheme_response_new(stream.get(), 0));
                webkit_uri_scheme_response_set_status(response.get(), 404, nullptr);
            }
            webkit_uri_scheme_request_finish_with_response(request, response.get());
        } catch (const std::exception& e) {
            finishWithError(request, e.what());
        } catch (...) {
            finishWithError(request, "Resource request failed");
        }
    }

    static void finishWithError(WebKitURISchemeRequest* request, const char* message) {
        const glib::Error error(g_error_new_literal(schemeErrorQuark(), -1, message));
        webkit_uri_scheme_request_finish_error(request, error.get());
    }

    static gboolean onNavigationFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error,
                                       gpointer data) {
        if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
            return FALSE;  // stopped or replaced by another navigation: the current page stays
        }
        static_cast<Pimpl*>(data)->setHTML(makeErrorPage(error->message));
        return TRUE;
    }

    // The page stays on the home's scheme and host, in every frame: anything else is refused
    // (a link meant for the browser goes through a binding). No page opens a window.
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer data) {
        auto* const self = static_cast<Pimpl*>(data);
        if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
            return FALSE;
        }
        WebKitNavigationAction* const action =
            webkit_navigation_policy_decision_get_navigation_action(
                WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* const uri =
            webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const bool ownersLoad =
            uri != nullptr && !self->ownerNavigation.empty() && self->ownerNavigation == uri;
        if (ownersLoad) {
            self->ownerNavigation.clear();
        }
        if (ownersLoad || self->isHomeOrigin(uri)) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        return TRUE;
    }

    static void onLoadChanged(WebKitWebView* webView, WebKitLoadEvent event, gpointer data) {
        if (event == WEBKIT_LOAD_COMMITTED) {
            auto* const self = static_cast<Pimpl*>(data);
            self->ownPageShown = self->isHomeOrigin(webkit_web_view_get_uri(webView));
        }
    }

    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* message,
                                gpointer data) {
        auto* const self = static_cast<Pimpl*>(data);
        if (!self->ownPageShown) {
            return;  // a page of another origin gets no answer
        }
        JSCValue* const body = webkit_javascript_result_get_js_value(message);
        if (!jsc_value_is_string(body)) {
            return;  // the bound functions only ever post text
        }
        // Each UTF-16 unit is at least one UTF-8 byte: a longer text is refused before any copy.
        const auto length = glib::adopt(jsc_value_object_get_property(body, "length"));
        if (!length || !jsc_value_is_number(length.get()) ||
            jsc_value_to_double(length.get()) > static_cast<double>(bridge::kMaxMessageBytes)) {
            return;
        }
        const glib::String text(jsc_value_to_string(body));
        // May destroy this web view; nothing here touches it afterwards.
        self->owner.invokeBinding(text.get());
    }

    // A file input asked for files: a modal chooser on the view's window, set up from the
    // request (multiple selection, accepted types).
    static gboolean runOpenPanel(WebKitWebView* webView, WebKitFileChooserRequest* request,
                                 gpointer) {
        GtkWidget* const toplevel = gtk_widget_get_toplevel(GTK_WIDGET(webView));
        GtkWindow* const parent = gtk_widget_is_toplevel(toplevel) ? GTK_WINDOW(toplevel) : nullptr;
        GtkWidget* const dialog =
            gtk_file_chooser_dialog_new(nullptr, parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                        GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT, nullptr);
        GtkFileChooser* const chooser = GTK_FILE_CHOOSER(dialog);
        gtk_file_chooser_set_select_multiple(
            chooser, webkit_file_chooser_request_get_select_multiple(request));
        if (GtkFileFilter* const filter =
                webkit_file_chooser_request_get_mime_types_filter(request)) {
            gtk_file_chooser_set_filter(chooser, filter);
        }
        gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
        g_object_set_data_full(G_OBJECT(dialog), "vela-file-request", g_object_ref(request),
                               g_object_unref);
        g_signal_connect(dialog, "response", G_CALLBACK(onOpenPanelResponse), nullptr);
        gtk_widget_show(dialog);
        return TRUE;
    }

    static void onOpenPanelResponse(GtkDialog* dialog, gint response, gpointer) {
        auto* const request = static_cast<WebKitFileChooserRequest*>(
            g_object_get_data(G_OBJECT(dialog), "vela-file-request"));
        if (response == GTK_RESPONSE_ACCEPT) {
            GSList* const files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
            std::vector<const gchar*> names;
            for (GSList* item = files; item != nullptr; item = item->next) {
                names.push_back(static_cast<const gchar*>(item->data));
            }
            names.push_back(nullptr);
            webkit_file_chooser_request_select_files(request, names.data());
            g_slist_free_full(files, g_free);
        } else {
            webkit_file_chooser_request_cancel(request);
        }
        gtk_widget_destroy(GTK_WIDGET(dialog));
    }

    static gboolean performKeyEquivalent(GtkWidget* widget, GdkEventKey* event, gpointer) {
        const std::optional<const char*> command =
            editingCommandFor(event->state, gdk_keyval_to_unicode(event->keyval));
        if (!command) {
            return FALSE;
        }
        webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(widget), *command);
        return TRUE;
    }
};

WebView::WebView(Options options) : pimpl(std::make_unique<Pimpl>(*this, std::move(options))) {
    if (!pimpl->webView) {
        pimpl.reset();
    }
}

WebView::~WebView() {
    pimpl.reset();
}

GtkWidget* WebView::getViewHandle() const {
    return pimpl ? pimpl->webView.get() : nullptr;
}

bool WebView::evaluateJavascript(const std::string& script, CompletionHandler completion) {
    return pimpl && pimpl->evaluateJavascript(script, std::move(completion));
}

bool WebView::navigate(const std::string& url) {
    return pimpl && pimpl->navigate(url);
}

bool WebView::setHTML(const std::string& html) {
    return pimpl && pimpl->setHTML(html);
}

bool WebView::addInitScript(const std::string& script) {
    return pimpl && pimpl->addInitScript(script);
}

std::shared_ptr<WebView::DeletionChecker> WebView::getDeletionChecker() const {
    return pimpl ? pimpl->deletionChecker : nullptr;
}

}  // namespace vela::ui
