// Placeholder wrapper: accepts every call and reports nothing. The error-tracker client
// replaces this unit.
#include "sentry_wrapper.hpp"

namespace zentravo::utils::sentry {

Wrapper sharedWrapper;

Wrapper::Wrapper() = default;
Wrapper::~Wrapper() = default;
void Wrapper::setDsnOption(std::string_view) {}
void Wrapper::setVersionOption(std::string_view) {}
void Wrapper::setEnvironmentOption(std::string_view) {}
void Wrapper::setDebugOption(bool) {}
void Wrapper::setCrashpadHandlerPathOption(const std::filesystem::path&) {}
void Wrapper::setPathToDatabaseOption(const std::filesystem::path&) {}
void Wrapper::initOptions() {}
void Wrapper::setUser(std::string_view) {}
void Wrapper::removeUser() {}
void Wrapper::setTag(std::string_view, std::string_view) {}
void Wrapper::sendMessage(std::string_view) {}
void Wrapper::setBreadcrumb(std::string_view) {}
void Wrapper::sendException(std::string_view, std::string_view) {}

}  // namespace zentravo::utils::sentry
