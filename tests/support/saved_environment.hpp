// Puts the named environment variables back, when dropped, to what they were when it was made:
// the same value, or unset. Tests that change HOME, the XDG folders and the like leave the
// process as they found it for the tests after them.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace launcher_test {

class SavedEnvironment {
  public:
    SavedEnvironment(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved_.emplace_back(
                name, value != nullptr ? std::optional<std::string>{value} : std::nullopt);
        }
    }
    ~SavedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace launcher_test
