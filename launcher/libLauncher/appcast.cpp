#include "appcast.hpp"

#include <glib.h>
#include <sys/utsname.h>

#include <charconv>
#include <cstring>
#include <memory>

namespace zentravo::appcast {
namespace {

// GMarkup keeps prefixed names as written, so the feed's own elements are matched with their
// prefix; the parser knows no DTDs or external entities, which keeps the feed harmless.
constexpr std::string_view kPrefix = "zentravo:";

struct ParseState {
    std::vector<Item> items;
    std::vector<std::string> path;  // open elements
    bool inItem = false;
    bool sawChannel = false;
    Item current;
    std::string text;  // character data of the innermost element
};

bool isOwn(std::string_view name, std::string_view local) {
    return name.size() == kPrefix.size() + local.size() && name.starts_with(kPrefix) &&
           name.substr(kPrefix.size()) == local;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string{text.substr(first, last - first + 1)};
}

std::int64_t parseLength(std::string_view text) {
    std::int64_t value = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < 0) {
        return -1;
    }
    return value;
}

void onStart(GMarkupParseContext*, const gchar* element, const gchar** names, const gchar** values,
             gpointer data, GError**) {
    auto& state = *static_cast<ParseState*>(data);
    const std::string_view name = element;
    state.path.emplace_back(name);
    state.text.clear();
    if (name == "channel" && state.path.size() == 2 && state.path.front() == "rss") {
        state.sawChannel = true;
    }
    if (name == "item" && state.path.size() == 3 && state.path[1] == "channel") {
        state.inItem = true;
        state.current = Item{};
        return;
    }
    if (!state.inItem || name != "enclosure") {
        return;
    }
    for (std::size_t i = 0; names[i] != nullptr; ++i) {
        const std::string_view attribute = names[i];
        const std::string value = trimmed(values[i]);
        if (attribute == "url") {
            state.current.url = value;
        } else if (attribute == "length") {
            state.current.length = parseLength(value);
        } else if (isOwn(attribute, "signature")) {
            state.current.signature = value;
        } else if (isOwn(attribute, "arch")) {
            state.current.arch = value;
        } else if (isOwn(attribute, "version") && state.current.version.empty()) {
            state.current.version = value;
        } else if (isOwn(attribute, "shortVersionString") &&
                   state.current.shortVersionString.empty()) {
            state.current.shortVersionString = value;
        }
    }
}

void onEnd(GMarkupParseContext*, const gchar* element, gpointer data, GError**) {
    auto& state = *static_cast<ParseState*>(data);
    const std::string_view name = element;
    if (state.inItem) {
        if (name == "item" && state.path.size() == 3) {
            state.inItem = false;
            Item& item = state.current;
            for (const std::string* text : {&item.shortVersionString, &item.version}) {
                if (item.semanticVersion || text->empty()) {
                    continue;
                }
                try {
                    item.semanticVersion = semver::version::from_string(*text);
                } catch (const std::exception&) {
                    // Left empty: choose() passes over items without a readable version.
                }
            }
            state.items.push_back(std::move(item));
        } else if (state.path.size() == 4) {
            // Only the item's direct children count; the element form wins over attributes.
            if (name == "title") {
                state.current.title = trimmed(state.text);
            } else if (isOwn(name, "version")) {
                state.current.version = trimmed(state.text);
            } else if (isOwn(name, "shortVersionString")) {
                state.current.shortVersionString = trimmed(state.text);
            }
        }
    }
    state.path.pop_back();
    state.text.clear();
}

void onText(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**) {
    static_cast<ParseState*>(data)->text.append(text, length);
}

struct ContextFree {
    void operator()(GMarkupParseContext* context) const { g_markup_parse_context_free(context); }
};

}  // namespace

std::vector<Item> parse(std::string_view text) {
    static const GMarkupParser parser{onStart, onEnd, onText, nullptr, nullptr};
    ParseState state;
    const std::unique_ptr<GMarkupParseContext, ContextFree> context{
        g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &state, nullptr)};
    GError* error = nullptr;
    const bool ok =
        g_markup_parse_context_parse(context.get(), text.data(), static_cast<gssize>(text.size()),
                                     &error) != FALSE &&
        g_markup_parse_context_end_parse(context.get(), &error) != FALSE;
    if (!ok) {
        std::string message = error != nullptr ? error->message : "unknown error";
        if (error != nullptr) {
            g_error_free(error);
        }
        throw FeedError{"Update feed is not well-formed: " + message};
    }
    if (!state.sawChannel) {
        throw FeedError{"Update feed has no RSS channel"};
    }
    return std::move(state.items);
}

std::optional<Item> choose(const std::vector<Item>& items, const semver::version& current,
                           const std::optional<semver::version>& skipped, std::string_view arch) {
    const Item* best = nullptr;
    for (const Item& item : items) {
        const bool usable = item.semanticVersion && item.url.starts_with("https://") &&
                            item.length > 0 && !item.signature.empty() &&
                            (item.arch.empty() || item.arch == arch);
        if (!usable || *item.semanticVersion <= current ||
            (skipped && *item.semanticVersion <= *skipped)) {
            continue;
        }
        if (best == nullptr || *item.semanticVersion > *best->semanticVersion) {
            best = &item;
        }
    }
    if (best == nullptr) {
        return std::nullopt;
    }
    return *best;
}

std::string machineArch() {
    utsname name{};
    if (::uname(&name) != 0) {
        return {};
    }
    const std::string_view machine = name.machine;
    if (machine == "aarch64" || machine == "arm64") {
        return "arm64";
    }
    if (machine == "x86_64" || machine == "amd64") {
        return "x86_64";
    }
    return std::string{machine};
}

}  // namespace zentravo::appcast
