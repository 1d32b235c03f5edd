#include "proxy.hpp"

namespace proxy {

ProxyConfiguration getProxyConfiguration() {
    return getProxyConfiguration(systemPlatform());
}

ProxyConfiguration getProxyConfiguration(const Platform& platform) {
    ProxyConfiguration result;
    const auto settings = platform.readHttpProxySettings();
    // An enabled proxy without a host cannot be used: treat it as no proxy.
    if (!settings || !settings->enabled || settings->host.empty()) {
        return result;
    }
    result.proxy =
        settings->scheme.empty() ? settings->host : settings->scheme + "://" + settings->host;
    if (settings->port) {
        result.proxy += ":" + std::to_string(*settings->port);
    }
    if (auto credentials = platform.lookupCredentials(settings->host)) {
        result.user = std::move(credentials->account);
        result.password = std::move(credentials->password);
    }
    return result;
}

}  // namespace proxy
