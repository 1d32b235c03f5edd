// The web UI host on a machine without a display, and its pure helpers.

#include "desktop_window.hpp"
#include "editing_shortcuts.hpp"
#include "value.hpp"
#include "web_view.hpp"
#include "webui_test_env.hpp"
#include "window_cosmetics.hpp"

#include <gdk/gdk.h>
#include <gtest/gtest.h>

#include <cstdlib>

using vela::ui::WebView;

namespace {

// Before anything opens the display: this process has none.
class NoDisplay : public ::testing::Environment {
  public:
    void SetUp() override {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }
};
::testing::Environment* const kNoDisplay = ::testing::AddGlobalTestEnvironment(new NoDisplay);

}  // namespace

TEST(Headless, WindowAndWebViewStayInertWithoutADisplay) {
    vela::ui::DesktopWindow window(vela::ui::Bounds{0, 0, 390, 120});
    EXPECT_EQ(window.getWindowHandle(), nullptr);
    window.setVisible(true);
    window.toFront();
    window.setResizable(true);
    window.setContent(nullptr);

    bool completed = false;
    WebView::Options options;
    options.fetchResource = [](const std::string&) { return std::nullopt; };
    WebView view(options);
    EXPECT_EQ(view.getViewHandle(), nullptr);
    EXPECT_EQ(view.getDeletionChecker(), nullptr);
    EXPECT_FALSE(view.evaluateJavascript(
        "1", [&](const std::string&, const vela::value::ValueView&) { completed = true; }));
    EXPECT_FALSE(
        view.bind("f", [](const vela::value::ValueView&) { return vela::value::Value(); }));
    EXPECT_FALSE(view.navigate({}));
    EXPECT_FALSE(view.setHTML("<p>x</p>"));
    EXPECT_FALSE(view.addInitScript("1"));
    view.invokeBinding(R"({"id":2,"fn":"f","params":[]})");
    EXPECT_FALSE(completed);

    zentravo::ui::hideWindowTitleBar(window);
    zentravo::ui::hideWebViewBackground(view);
    zentravo::ui::centerWithSize(window, 390, 120);
    zentravo::ui::unifyAppIcons();
}

TEST(Headless, HomeURIAndScheme) {
    struct Case {
        const char* custom;
        const char* home;
        const char* scheme;
    };
    const Case cases[] = {
        {"", "vela://vela.vela/", "vela"},
        {"app://home.test", "app://home.test/", "app"},
        {"app://home.test/", "app://home.test/", "app"},
        {"custom:a:b", "custom:a:b/", "custom"},
        {"noscheme", "noscheme/", "noscheme/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.custom);
        WebView::Options options;
        options.customSchemeURI = c.custom;
        EXPECT_EQ(WebView::getHomeURI(options), c.home);
        EXPECT_EQ(WebView::getURIScheme(options), c.scheme);
    }
}

TEST(Headless, ErrorPageEscapesTheErrorText) {
    EXPECT_EQ(WebView::makeErrorPage("Can't <load> \"a\" & b"),
              "<!DOCTYPE html><html><head><title>Error</title></head><body><h2>"
              "Can&#39;t &lt;load&gt; &quot;a&quot; &amp; b</h2></body></html>");
}

TEST(Headless, EditingShortcuts) {
    using vela::ui::editingCommandFor;
    const unsigned ctrl = GDK_CONTROL_MASK;
    const unsigned shift = GDK_SHIFT_MASK;
    struct Case {
        unsigned state;
        char32_t character;
        const char* command;  // null: not a shortcut
    };
    const Case cases[] = {
        {ctrl, 'c', "Copy"},
        {ctrl, 'x', "Cut"},
        {ctrl, 'v', "Paste"},
        {ctrl, 'z', "Undo"},
        {ctrl, 'a', "SelectAll"},
        {ctrl | shift, 'Z', "Redo"},
        {ctrl | GDK_LOCK_MASK | GDK_MOD2_MASK, 'c', "Copy"},  // Caps and Num Lock do not block
        {ctrl, 'Z', nullptr},                                 // Ctrl alone with Z
        // With Caps Lock on, X sends the letter in the other case.
        {ctrl | GDK_LOCK_MASK, 'Z', "Undo"},
        {ctrl | GDK_LOCK_MASK, 'C', "Copy"},
        {ctrl | GDK_LOCK_MASK, 'X', "Cut"},
        {ctrl | GDK_LOCK_MASK, 'V', "Paste"},
        {ctrl | GDK_LOCK_MASK, 'A', "SelectAll"},
        {ctrl | shift | GDK_LOCK_MASK, 'z', "Redo"},
        {ctrl | shift | GDK_LOCK_MASK, 'Z', "Redo"},
        {ctrl | GDK_LOCK_MASK | GDK_MOD1_MASK, 'C', nullptr},
        {ctrl | shift | GDK_LOCK_MASK, 'c', nullptr},
        {GDK_LOCK_MASK, 'Z', nullptr},
        {ctrl | shift, 'z', nullptr},
        {ctrl | GDK_MOD1_MASK, 'c', nullptr},  // Alt too
        {ctrl | GDK_MOD4_MASK, 'c', nullptr},  // Super too
        {ctrl | shift, 'C', nullptr},
        {0, 'c', nullptr},
        {ctrl, 'b', nullptr},
        {GDK_MOD1_MASK, 'c', nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.state << " " << static_cast<char>(c.character));
        const auto command = editingCommandFor(c.state, c.character);
        if (c.command == nullptr) {
            EXPECT_FALSE(command);
        } else {
            ASSERT_TRUE(command);
            EXPECT_STREQ(*command, c.command);
        }
    }
}

TEST(Headless, CentredFrameOnTheScreenUnderThePointer) {
    using zentravo::ui::centeredFrame;
    using zentravo::ui::Frame;
    using zentravo::ui::Point;
    const Frame laptop{0, 0, 1440, 900};
    const Frame external{1440, 0, 1920, 1080};
    const Frame screens[] = {laptop, external};
    struct Case {
        Point pointer;
        std::int32_t width;
        std::int32_t height;
        Frame expected;
    };
    const Case cases[] = {
        {{700, 400}, 390, 120, {525, 390, 390, 120}},
        {{2000, 500}, 390, 120, {2205, 480, 390, 120}},
        {{-50, -50}, 390, 120, {525, 390, 390, 120}},  // on no screen: the first
        {{5000, 100}, 390, 120, {525, 390, 390, 120}},
        {{700, 400}, 391, 121, {525, 390, 391, 121}},    // halves drop the remainder
        {{1440, 900}, 390, 120, {2205, 480, 390, 120}},  // right edge belongs to the next
        {{1439.5, 899.5}, 390, 120, {525, 390, 390, 120}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pointer.x << "," << c.pointer.y);
        const Frame f = centeredFrame(screens, c.pointer, c.width, c.height);
        EXPECT_DOUBLE_EQ(f.x, c.expected.x);
        EXPECT_DOUBLE_EQ(f.y, c.expected.y);
        EXPECT_DOUBLE_EQ(f.width, c.expected.width);
        EXPECT_DOUBLE_EQ(f.height, c.expected.height);
    }
    const Frame none = centeredFrame({}, Point{10, 10}, 390, 120);
    EXPECT_DOUBLE_EQ(none.x, -195);
    EXPECT_DOUBLE_EQ(none.y, -60);
}
