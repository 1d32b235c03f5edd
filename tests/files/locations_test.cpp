// Where the launcher looks for the user's folders: relative XDG and temporary-folder values count
// as unset, since the launcher works in its own folder and would resolve them there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "paths.hpp"
#include "saved_environment.hpp"

namespace {

namespace fs = std::filesystem;

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>{value} : std::nullopt;
}

TEST(Locations, DataFolderIgnoresARelativeXdgDataHomeOrHome) {
    const launcher_test::SavedEnvironment environment{"XDG_DATA_HOME", "HOME"};
    struct Case {
        std::optional<std::string> xdg;
        std::optional<std::string> home;
        fs::path expected;
    };
    const std::vector<Case> cases{
        {"/x/data", "/home/u", "/x/data"},
        {"data", "/home/u", "/home/u/.local/share"},
        {"./data", "/home/u", "/home/u/.local/share"},
        {"", "/home/u", "/home/u/.local/share"},
        {std::nullopt, "/home/u", "/home/u/.local/share"},
        {"data", std::nullopt, {}},
        {std::nullopt, "relhome", {}},
        {std::nullopt, "", {}},
        {"/x/data", "relhome", "/x/data"},
    };
    for (const Case& c : cases) {
        for (const auto& [name, value] : {std::pair{"XDG_DATA_HOME", c.xdg}, {"HOME", c.home}}) {
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
        EXPECT_EQ(zentravo::path::applicationSupport(), c.expected) << c.xdg.value_or("unset");
    }
}

TEST(Locations, RelativeValuesLeaveTheEnvironment) {
    struct Case {
        const char* name;
        const char* value;
        std::optional<std::string> kept;
    };
    const std::vector<Case> cases{
        {"HOME", "relhome", std::nullopt},
        {"XDG_DATA_HOME", "/abs/data", "/abs/data"},
        {"XDG_CONFIG_HOME", "config", std::nullopt},
        {"XDG_CACHE_HOME", "../cache", std::nullopt},
        {"XDG_STATE_HOME", "", std::nullopt},
        {"XDG_RUNTIME_DIR", "run", std::nullopt},
        {"TMPDIR", "tmp", std::nullopt},
        {"TMP", "/", "/"},
        {"TEMP", "t", std::nullopt},
        {"TEMPDIR", "t", std::nullopt},
        {"XDG_DATA_DIRS", "/usr/share:share:/opt/share:", "/usr/share:/opt/share"},
        {"XDG_CONFIG_DIRS", "etc:xdg", std::nullopt},
        {"LANG", "C", "C"},  // nothing else is touched
    };
    const launcher_test::SavedEnvironment environment{"HOME",
                                                      "XDG_DATA_HOME",
                                                      "XDG_CONFIG_HOME",
                                                      "XDG_CACHE_HOME",
                                                      "XDG_STATE_HOME",
                                                      "XDG_RUNTIME_DIR",
                                                      "TMPDIR",
                                                      "TMP",
                                                      "TEMP",
                                                      "TEMPDIR",
                                                      "XDG_DATA_DIRS",
                                                      "XDG_CONFIG_DIRS",
                                                      "LANG"};
    for (const Case& c : cases) {
        ::setenv(c.name, c.value, 1);
    }
    zentravo::path::ignoreRelativeLocations();
    for (const Case& c : cases) {
        EXPECT_EQ(variable(c.name), c.kept) << c.name;
    }
    // The relative TMPDIR no longer hides the next absolute choice.
    EXPECT_EQ(fs::temp_directory_path(), fs::path{"/"});
}

}  // namespace
