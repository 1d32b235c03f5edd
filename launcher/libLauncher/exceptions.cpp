#include "exceptions.hpp"

#include <fmt/format.h>

namespace zentravo::except {

std::string BaseException::describe() const noexcept {
    try {
        return fmt::format("{}: {}", title_, message_);
    } catch (...) {
        return {};  // only on allocation failure; describe is used inside error handlers
    }
}

}  // namespace zentravo::except
