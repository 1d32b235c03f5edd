#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "build_config.hpp"
#include "secret.hpp"

namespace {

constexpr zentravo::secret::Scrambled kSample{"sha256//abc;sha256//def"};

TEST(SecretTest, RevealsTheOriginalText) {
    EXPECT_EQ(kSample.reveal(), "sha256//abc;sha256//def");
    EXPECT_EQ(kSample.size(), 23u);
    constexpr zentravo::secret::Scrambled empty{""};
    EXPECT_EQ(empty.reveal(), "");
}

TEST(SecretTest, TheStoredBytesAreNotThePlainText) {
    const auto* raw = reinterpret_cast<const char*>(&kSample);
    EXPECT_EQ(std::memcmp(raw, "sha256//abc", 11) == 0, false);
}

TEST(SecretTest, CompiledInEndpointsAreUsable) {
    EXPECT_EQ(zentravo::config::kServiceUrl.reveal().rfind("http", 0), 0u);
    EXPECT_EQ(zentravo::config::kPinnedKeys.reveal().rfind("sha256//", 0), 0u);
    EXPECT_NE(zentravo::config::kPinnedKeys.reveal().find(";sha256//"), std::string::npos);
}

}  // namespace
