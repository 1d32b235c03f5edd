#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <utility>

#include "compound_string.hpp"

namespace zentravo::i18n {

// Resource id and language code of every translation file, in load order. The code names the
// language in the translator and the file (<code>.json).
inline const std::array<std::pair<int, std::string>, 10> translationFiles{{
    {104, "de"},
    {105, "en"},
    {106, "es"},
    {107, "fr"},
    {108, "it"},
    {109, "ja"},
    {110, "ko"},
    {111, "pt"},
    {112, "ru"},
    {113, "zhTW"},
}};

// All translation tables, loaded once; lookups fall back to English.
class I18nTranslator {
  public:
    // Throws std::runtime_error when English could not be loaded.
    I18nTranslator();
    I18nTranslator(const I18nTranslator&) = delete;
    I18nTranslator& operator=(const I18nTranslator&) = delete;
    ~I18nTranslator() = default;

    // Never throws: a broken file is logged and reported, and its language stays absent.
    void loadTranslationFile(const std::string& text, const std::string& language);
    [[nodiscard]] utils::CompoundString getLocalizedString(const std::string& key) const;
    void setCurrentLanguage(const std::string& language);
    [[nodiscard]] bool checkLanguageCanBeSet(const std::string& language) const;

  private:
    void reportUnsupported(const std::string& language) const;

    std::string defaultLanguage{"en"};
    std::string currentLanguage{"en"};
    const nlohmann::json* current{nullptr};
    const nlohmann::json* fallback{nullptr};
    std::unordered_map<std::string, nlohmann::json> translations;
};

}  // namespace zentravo::i18n
