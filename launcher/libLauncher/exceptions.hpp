#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace zentravo::except {

// The error vocabulary between the REST client and the Updater: the class decides whether a
// failed step is retried.
class BaseException : public std::exception {
public:
    BaseException(std::string_view title, std::string_view message)
        : title_{title}, message_{message} {}
    ~BaseException() override = default;

    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
    [[nodiscard]] virtual std::string_view getName() const noexcept = 0;

    // "title: message", for log lines and crash reports.
    [[nodiscard]] std::string describe() const noexcept;

    [[nodiscard]] const std::string& title() const noexcept { return title_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    std::string title_;
    std::string message_;
};

class GenericException final : public BaseException {
public:
    using BaseException::BaseException;
    [[nodiscard]] std::string_view getName() const noexcept override { return "GenericException"; }
};

// A TLS failure: retrying cannot help.
class UnrecoverableException final : public BaseException {
public:
    using BaseException::BaseException;
    [[nodiscard]] std::string_view getName() const noexcept override {
        return "UnrecoverableException";
    }
};

// Any other transfer failure that ended without a status code.
class RetryableException final : public BaseException {
public:
    using BaseException::BaseException;
    [[nodiscard]] std::string_view getName() const noexcept override {
        return "RetryableException";
    }
};

}  // namespace zentravo::except
