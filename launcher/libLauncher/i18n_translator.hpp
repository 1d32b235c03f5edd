#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
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

// The plural category ("one", "few", "many" or "other") of the whole number `count` in a
// translation's language: English, German, Spanish and Italian say "one" for 1 only; French and
// (Brazilian) Portuguese for 0 and 1; Russian tells one, few and many apart by the last two
// digits; Japanese, Korean and Chinese have no plural.
[[nodiscard]] std::string_view pluralCategory(std::string_view language, long long count);

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
    // The text of `key` for the number `count`: the current language's "<key>.<category>" for
    // count's plural category when it has one, else getLocalizedString(key).
    [[nodiscard]] utils::CompoundString getLocalizedPlural(const std::string& key,
                                                           long long count) const;
    void setCurrentLanguage(const std::string& language);
    [[nodiscard]] bool checkLanguageCanBeSet(const std::string& language) const;
    [[nodiscard]] const std::string& getCurrentLanguage() const { return currentLanguage; }

  private:
    void reportUnsupported(const std::string& language) const;

    std::string defaultLanguage{"en"};
    std::string currentLanguage{"en"};
    const nlohmann::json* current{nullptr};
    const nlohmann::json* fallback{nullptr};
    std::unordered_map<std::string, nlohmann::json> translations;
};

}  // namespace zentravo::i18n
