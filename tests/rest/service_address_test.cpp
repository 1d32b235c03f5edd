// The compiled-in service address, pins and CA reach the demo service on its fixed port.
#include <gtest/gtest.h>

#include "build_config.hpp"
#include "rest.hpp"
#include "update_service.hpp"
#include "updater_response.hpp"

namespace {

TEST(ServiceAddress, CompiledInAddressReachesTheDemoService) {
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    launcher_test::UpdateService::Options options;
    options.port = LAUNCHER_FIXTURE_PORT;
    launcher_test::UpdateService service{options};

    const std::string base = zentravo::config::kServiceUrl.reveal();
    const auto answer =
        zentravo::rest::getRequest(base + "/v1/tarvine/update/launcher/1.6.24", true, true);
    ASSERT_TRUE(answer.has_value());
    const zentravo::request::UpdaterResponse launcher{*answer};
    EXPECT_EQ(launcher.launcherVersion, "1.6.24");
    EXPECT_EQ(launcher.arm64, base + "/appcast.xml");
    ASSERT_EQ(service.records().size(), 1u);
    EXPECT_EQ(service.records()[0]["params"].size(), 1u);
}

}  // namespace
