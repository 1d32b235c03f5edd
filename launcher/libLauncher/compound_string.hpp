#pragma once

#include <string>

namespace zentravo::utils {

// A text with named placeholders, {name}, filled in by the caller. reset() brings back the
// unfilled text so one instance can be filled again (a countdown fills it every second).
class CompoundString {
  public:
    explicit CompoundString(const std::string& text);

    CompoundString& set(const std::string& name, const std::string& value);
    CompoundString& set(const std::string& name, int value);
    [[nodiscard]] std::string str() const;
    void reset();

  private:
    std::string baseText;
    std::string workingText;
};

}  // namespace zentravo::utils
