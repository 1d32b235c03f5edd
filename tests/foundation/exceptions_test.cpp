#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "exceptions.hpp"

namespace {

using namespace zentravo::except;

TEST(ExceptionsTest, CarryTitleMessageAndName) {
    const GenericException generic{"Unexpected error", "Failed to execute runChecker"};
    EXPECT_STREQ(generic.what(), "Failed to execute runChecker");
    EXPECT_EQ(generic.describe(), "Unexpected error: Failed to execute runChecker");
    EXPECT_EQ(generic.getName(), "GenericException");

    const UnrecoverableException tls{"SSL_CONNECT_ERROR", "handshake failed"};
    EXPECT_EQ(tls.getName(), "UnrecoverableException");
    EXPECT_EQ(tls.describe(), "SSL_CONNECT_ERROR: handshake failed");

    const RetryableException timeout{"OPERATION_TIMEDOUT", "Timeout was reached"};
    EXPECT_EQ(timeout.getName(), "RetryableException");
    EXPECT_STREQ(timeout.what(), "Timeout was reached");
}

TEST(ExceptionsTest, DescribeWithEmptyTitleStartsWithColon) {
    const RetryableException e{"", "no title"};
    EXPECT_EQ(e.describe(), ": no title");
}

TEST(ExceptionsTest, CopiesItsTexts) {
    std::string title = "T";
    std::string message = "M";
    const RetryableException e{title, message};
    title = "changed";
    message = "changed";
    EXPECT_EQ(e.describe(), "T: M");
}

template <typename Catch, typename Throw>
bool caughtAs(const Throw& thrown) {
    try {
        throw thrown;
    } catch (const Catch&) {
        return true;
    } catch (...) {
        return false;
    }
}

TEST(ExceptionsTest, CatchingByBaseReachesOnlyTheLaunchersOwn) {
    EXPECT_TRUE(caughtAs<std::exception>(GenericException{"a", "b"}));
    EXPECT_TRUE(caughtAs<std::exception>(UnrecoverableException{"a", "b"}));
    EXPECT_TRUE(caughtAs<std::exception>(RetryableException{"a", "b"}));
    EXPECT_TRUE(caughtAs<BaseException>(GenericException{"a", "b"}));
    EXPECT_TRUE(caughtAs<BaseException>(UnrecoverableException{"a", "b"}));
    EXPECT_TRUE(caughtAs<BaseException>(RetryableException{"a", "b"}));
    EXPECT_FALSE(caughtAs<BaseException>(std::runtime_error{"x"}));
    EXPECT_FALSE(caughtAs<BaseException>(std::invalid_argument{"x"}));
    try {
        const auto parsed = nlohmann::json::parse("{");
        ADD_FAILURE() << parsed.dump();
    } catch (const BaseException&) {
        ADD_FAILURE() << "a JSON error is not the launcher's";
    } catch (const std::exception&) {
    }
}

}  // namespace
