#include "resources.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "i18n_translator.hpp"
#include "sentry_wrapper.hpp"

namespace zentravo::system {
namespace {

constexpr int kPageId = 103;
constexpr std::string_view kPagePath = "../resources/index.html";
constexpr std::string_view kTranslationsDirectory = "../resources/translations";

void reportAndLog(std::string_view title, const std::string& message) {
    spdlog::error(message);
    utils::sentry::sharedWrapper.sendException(title, message);
}

std::string readPage() {
    const std::string path{kPagePath};
    std::ifstream in{path, std::ios::in | std::ios::binary};
    if (in.fail()) {
        reportAndLog("system::getResource Error", fmt::format("Failed to open file: {}", path));
        return {};
    }
    return std::string{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
}

std::string readTranslation(const std::string& language) {
    const std::string path = fmt::format("{}/{}.json", kTranslationsDirectory, language);
    spdlog::debug("Searching for translation files in '{}'", kTranslationsDirectory);
    try {
        std::ifstream in{path};
        if (in.is_open()) {
            std::ostringstream content;
            content << in.rdbuf();
            return content.str();
        }
        utils::sentry::sharedWrapper.sendException(
            "Unable to read translation file from i18n database",
            fmt::format("Unable to read translations file in '{}'", path));
    } catch (const std::exception& e) {
        reportAndLog("Error reading translation file",
                     fmt::format("Error reading '{}' translation file -> {}", path, e.what()));
    } catch (...) {
        utils::sentry::sharedWrapper.sendException(
            "Unexpected error while reading translation file",
            fmt::format("Unexpected error while reading '{}' translation file", path));
    }
    return {};
}

}  // namespace

std::string getResource(int id) {
    if (id == kPageId) {
        return readPage();
    }
    for (const auto& [fileId, language] : i18n::translationFiles) {
        if (fileId == id) {
            return readTranslation(language);
        }
    }
    reportAndLog("Error finding translation file",
                 fmt::format("Error finding '{}' translation -> Id not registered", id));
    return {};
}

}  // namespace zentravo::system
