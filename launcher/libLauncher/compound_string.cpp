#include "compound_string.hpp"

#include <fmt/format.h>

namespace zentravo::utils {

CompoundString::CompoundString(const std::string& text) : baseText{text}, workingText{text} {}

CompoundString& CompoundString::set(const std::string& name, const std::string& value) {
    const std::string placeholder = fmt::format("{{{}}}", name);
    // Searching on after the inserted value: a value holding its own placeholder is not refilled.
    for (std::size_t position = workingText.find(placeholder); position != std::string::npos;
         position = workingText.find(placeholder, position + value.size())) {
        workingText.replace(position, placeholder.size(), value);
    }
    return *this;
}

CompoundString& CompoundString::set(const std::string& name, int value) {
    return set(name, std::to_string(value));
}

std::string CompoundString::str() const {
    return workingText;
}

void CompoundString::reset() {
    workingText = baseText;
}

}  // namespace zentravo::utils
