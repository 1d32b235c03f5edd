#include "i18n_translator.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

#include "resources.hpp"
#include "sentry_wrapper.hpp"

namespace zentravo::i18n {
namespace {

// Only text members count: a table holding anything else under the key has no text for it.
const std::string* findText(const nlohmann::json* table, const std::string& key) {
    if (table == nullptr || !table->is_object()) {
        return nullptr;
    }
    const auto it = table->find(key);
    if (it == table->end() || !it->is_string()) {
        return nullptr;
    }
    return it->get_ptr<const std::string*>();
}

}  // namespace

I18nTranslator::I18nTranslator() {
    for (const auto& [id, language] : translationFiles) {
        spdlog::info("Found i18n file '{}'", language);
        loadTranslationFile(system::getResource(id), language);
    }
    spdlog::info("Translator loaded {} languages", translations.size());
    if (const auto it = translations.find(defaultLanguage); it != translations.end()) {
        fallback = &it->second;
        current = &translations.at(currentLanguage);
        return;
    }
    utils::sentry::sharedWrapper.sendException(
        "Default language not found in i18n database",
        fmt::format("Translations file for default language '{}' not found", defaultLanguage));
    throw std::runtime_error{"Default language not found in i18n database"};
}

void I18nTranslator::loadTranslationFile(const std::string& text, const std::string& language) {
    if (text.empty()) {
        const std::string message =
            fmt::format("Empty translation file for '{}' language", language);
        spdlog::info(message);
        utils::sentry::sharedWrapper.setBreadcrumb(message);
        return;
    }
    try {
        const nlohmann::json document = nlohmann::json::parse(text, nullptr, true, false);
        translations.emplace(language, document);
        spdlog::info("Loaded language '{}' with {} entries", language, document.size());
    } catch (const std::exception& e) {
        const std::string message =
            fmt::format("Error parsing '{}' translations -> {}", language, e.what());
        spdlog::error(message);
        utils::sentry::sharedWrapper.sendException(
            "Error parsing translation file from i18n database", message);
    } catch (...) {
        utils::sentry::sharedWrapper.sendException(
            "Unexpected error parsing translation file from i18n database",
            fmt::format("Unexpected error parsing '{}' translations", language));
    }
}

utils::CompoundString I18nTranslator::getLocalizedString(const std::string& key) const {
    if (const std::string* text = findText(current, key)) {
        return utils::CompoundString{*text};
    }
    if (const std::string* text = findText(fallback, key)) {
        spdlog::warn("getLocalizedString from '{}' string not found in '{}', defaulting to '{}'",
                     key, currentLanguage, defaultLanguage);
        return utils::CompoundString{*text};
    }
    utils::sentry::sharedWrapper.sendException(
        "String not found in i18n database",
        fmt::format("getLocalizedString from '{}' string not found in i18n database", key));
    return utils::CompoundString{"Unsupported message"};
}

utils::CompoundString I18nTranslator::getLocalizedPlural(const std::string& key,
                                                         long long count) const {
    const std::string_view category = pluralCategory(currentLanguage, count);
    if (category != "other") {
        if (const std::string* text = findText(current, key + "." + std::string{category})) {
            return utils::CompoundString{*text};
        }
    }
    return getLocalizedString(key);
}

std::string_view pluralCategory(std::string_view language, long long count) {
    const unsigned long long n = count < 0 ? 0ULL - static_cast<unsigned long long>(count)
                                           : static_cast<unsigned long long>(count);
    if (language == "en" || language == "de" || language == "es" || language == "it") {
        return n == 1 ? "one" : "other";
    }
    if (language == "fr" || language == "pt") {
        return n <= 1 ? "one" : "other";
    }
    if (language == "ru") {
        const unsigned long long last = n % 10;
        const unsigned long long lastTwo = n % 100;
        if (last == 1 && lastTwo != 11) {
            return "one";
        }
        if (last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14)) {
            return "few";
        }
        return "many";
    }
    return "other";
}

void I18nTranslator::setCurrentLanguage(const std::string& language) {
    if (language == currentLanguage) {
        return;
    }
    if (const auto it = translations.find(language); it != translations.end()) {
        currentLanguage = language;
        current = &it->second;
        spdlog::debug("Current language set to '{}'", currentLanguage);
        return;
    }
    reportUnsupported(language);
}

bool I18nTranslator::checkLanguageCanBeSet(const std::string& language) const {
    if (translations.contains(language)) {
        return true;
    }
    reportUnsupported(language);
    return false;
}

void I18nTranslator::reportUnsupported(const std::string& language) const {
    utils::sentry::sharedWrapper.sendException(
        fmt::format("Unsupported language '{}'", language),
        fmt::format("Can't set '{}' as current language, '{}' will remain as current", language,
                    currentLanguage));
}

}  // namespace zentravo::i18n
