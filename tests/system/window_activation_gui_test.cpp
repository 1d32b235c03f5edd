// Bringing the found application's window forward on an X display.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "mainapp_fixture.hpp"
#include "platform/instance_detection.hpp"
#include "private_display.hpp"
#include "scratch_folder.hpp"
#include "system_test_support.hpp"

namespace {

using namespace std::chrono_literals;

// The stacking order is the whole screen's: other GUI tests' windows on a shared display would
// come and go in it.
::testing::Environment* const kDisplay =
    ::testing::AddGlobalTestEnvironment(new launcher_test::PrivateDisplay);

// Owners (_NET_WM_PID) of the root's mapped children, bottom of the stack first.
std::vector<uint32_t> stackingByPid() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const char* name = "_NET_WM_PID";
    auto* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
    auto* tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
    std::vector<uint32_t> owners;
    const auto* children = xcb_query_tree_children(tree);
    for (int index = 0; index < xcb_query_tree_children_length(tree); ++index) {
        auto* property = xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, children[index], atom->atom, XCB_ATOM_CARDINAL, 0, 1),
            nullptr);
        auto* attributes = xcb_get_window_attributes_reply(
            connection, xcb_get_window_attributes(connection, children[index]), nullptr);
        const bool mapped =
            attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attributes);
        if (mapped && property != nullptr && xcb_get_property_value_length(property) == 4) {
            owners.push_back(*static_cast<uint32_t*>(xcb_get_property_value(property)));
        }
        std::free(property);
    }
    std::free(tree);
    std::free(atom);
    xcb_disconnect(connection);
    return owners;
}

ptrdiff_t level(const std::vector<uint32_t>& stack, pid_t pid) {
    const auto found = std::find(stack.begin(), stack.end(), static_cast<uint32_t>(pid));
    return found == stack.end() ? -1 : found - stack.begin();
}

TEST(BringWindowForward, RaisesTheWindowOfTheGivenProcess) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "needs a display";
    const fixture::ScratchFolder scratch;
    fixture::ChildProcess lower{{WINDOW_PROBE, (scratch / "lower").string()}};
    ASSERT_TRUE(system_test::waitForFile(scratch / "lower"));
    fixture::ChildProcess upper{{WINDOW_PROBE, (scratch / "upper").string()}};
    ASSERT_TRUE(system_test::waitForFile(scratch / "upper"));
    std::this_thread::sleep_for(200ms);
    ASSERT_LT(level(stackingByPid(), lower.pid()), level(stackingByPid(), upper.pid()));

    // A toolkit that is still settling its new window may restack it once more on a loaded
    // machine, so the request is repeated until it holds (or 5 s pass).
    std::vector<uint32_t> stack;
    for (int round = 0; round < 50; ++round) {
        EXPECT_TRUE(zentravo::system::bringWindowForward(lower.pid()));
        std::this_thread::sleep_for(100ms);
        stack = stackingByPid();
        if (level(stack, lower.pid()) > level(stack, upper.pid())) {
            break;
        }
    }
    EXPECT_GT(level(stack, lower.pid()), level(stack, upper.pid()));
    EXPECT_FALSE(zentravo::system::bringWindowForward(::getpid())) << "no window of ours";
}

TEST(BringWindowForward, WithoutADisplayDoesNothing) {
    ::unsetenv("DISPLAY");
    EXPECT_FALSE(zentravo::system::bringWindowForward(1));
}

}  // namespace
