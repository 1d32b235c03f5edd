#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "../files/files_test_support.hpp"
#include "../files/report_capture.hpp"
#include "compound_string.hpp"
#include "i18n_translator.hpp"

namespace fs = std::filesystem;
using files_test::ScratchDir;
using files_test::WorkingDirectory;
using files_test::writeFile;
using zentravo::i18n::I18nTranslator;
using zentravo::utils::CompoundString;

namespace {

// --- CompoundString --------------------------------------------------------------------------

TEST(CompoundString, FillsPlaceholders) {
    struct Case {
        std::string text, name, value, expected;
    };
    const std::vector<Case> cases{
        {"Retrying in {seconds} s ({seconds})", "seconds", "15", "Retrying in 15 s (15)"},
        {"{seconds}{seconds}", "seconds", "{seconds}", "{seconds}{seconds}"},
        {"a {x} b", "x", "<{x}{x}>", "a <{x}{x}> b"},
        {"no placeholder here", "seconds", "3", "no placeholder here"},
        {"{other} stays", "seconds", "3", "{other} stays"},
        {"{a b.c} odd name", "a b.c", "ok", "ok odd name"},
        {"{seconds}", "seconds", "", ""},
        {"{}", "", "empty", "empty"},
    };
    for (const auto& c : cases) {
        CompoundString text{c.text};
        EXPECT_EQ(text.set(c.name, c.value).str(), c.expected) << c.text;
    }
}

TEST(CompoundString, ResetAllowsRefillingAndNumbersAreDecimal) {
    CompoundString countdown{"Retrying in {seconds} seconds, {seconds}!"};
    EXPECT_EQ(countdown.set("seconds", 15).str(), "Retrying in 15 seconds, 15!");
    countdown.reset();
    EXPECT_EQ(countdown.set("seconds", 14).str(), "Retrying in 14 seconds, 14!");
    countdown.reset();
    EXPECT_EQ(countdown.set("seconds", -7).str(), "Retrying in -7 seconds, -7!");
    countdown.reset();
    EXPECT_EQ(countdown.str(), "Retrying in {seconds} seconds, {seconds}!");
    EXPECT_EQ(CompoundString{"{a}-{b}"}.set("a", 1).set("b", "two").str(), "1-two");
}

// --- I18nTranslator --------------------------------------------------------------------------

struct Translations {
    ScratchDir dir;
    fs::path bin = files_test::installShippedResources(dir.path());
    WorkingDirectory cwd{bin};
    void write(const std::string& language, const std::string& text) {
        writeFile(dir.path() / "resources/translations" / (language + ".json"), text);
    }
    void remove(const std::string& language) {
        fs::remove(dir.path() / "resources/translations" / (language + ".json"));
    }
};

TEST(I18nTranslator, LoadsAllShippedLanguagesInTableOrder) {
    Translations files;
    LogCapture logs;
    I18nTranslator translator;

    std::vector<std::string> found;
    for (const auto& line : files_test::linesAt(logs, "info")) {
        if (line.rfind("Found i18n file", 0) == 0) {
            found.push_back(line);
        }
    }
    std::vector<std::string> expected;
    for (const char* code : {"de", "en", "es", "fr", "it", "ja", "ko", "pt", "ru", "zhTW"}) {
        expected.push_back(std::string{"Found i18n file '"} + code + "'");
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(files_test::linesAt(logs, "info").back(), "Translator loaded 10 languages");
    EXPECT_EQ(translator.getLocalizedString("launcher.process.status.version").str(),
              "Checking installed version");
    for (const auto& [id, code] : zentravo::i18n::translationFiles) {
        EXPECT_TRUE(translator.checkLanguageCanBeSet(code)) << code;
    }
}

TEST(I18nTranslator, BrokenFilesLeaveTheirLanguageOut) {
    Translations files;
    files.write("de", "");
    files.write("es", "");
    files.write("fr", "{\"launcher.process.status.version\": \"Vérif");
    files.remove("ko");
    files_test::ReportCapture reports;
    LogCapture logs;
    I18nTranslator translator;

    const auto info = files_test::linesAt(logs, "info");
    EXPECT_NE(std::find(info.begin(), info.end(), "Empty translation file for 'de' language"),
              info.end());
    EXPECT_NE(std::find(info.begin(), info.end(), "Empty translation file for 'es' language"),
              info.end());
    EXPECT_NE(std::find(info.begin(), info.end(), "Loaded language 'it' with 13 entries"),
              info.end());
    EXPECT_EQ(info.back(), "Translator loaded 6 languages");
    const auto errors = files_test::linesAt(logs, "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Error parsing 'fr' translations -> ", 0), 0u) << errors[0];

    const auto loading = reports.collect();
    ASSERT_EQ(loading.reports.size(), 2u);
    EXPECT_EQ(loading.reports[0].title, "Error parsing translation file from i18n database");
    EXPECT_EQ(loading.reports[0].detail, errors[0]);
    EXPECT_EQ(loading.reports[1],
              (files_test::Report{
                  "Unable to read translation file from i18n database",
                  "Unable to read translations file in '../resources/translations/ko.json'"}));
    for (const char* crumb :
         {"Empty translation file for 'de' language", "Empty translation file for 'es' language"}) {
        EXPECT_NE(std::find(loading.breadcrumbs.begin(), loading.breadcrumbs.end(), crumb),
                  loading.breadcrumbs.end())
            << crumb;
    }

    for (const char* code : {"de", "es", "fr", "ko", "zh"}) {
        EXPECT_FALSE(translator.checkLanguageCanBeSet(code)) << code;
        translator.setCurrentLanguage(code);
        EXPECT_EQ(translator.getLocalizedString("launcher.process.status.version").str(),
                  "Checking installed version");
    }
    const auto refused = reports.collect().reports;
    ASSERT_EQ(refused.size(), 12u);
    const files_test::Report zh{"Unsupported language 'zh'",
                                "Can't set 'zh' as current language, 'en' will remain as current"};
    EXPECT_EQ(refused[10], zh);
    EXPECT_EQ(refused[11], zh);
}

TEST(I18nTranslator, WithoutEnglishConstructionFails) {
    Translations files;
    files.write("en", "[not json");
    files_test::ReportCapture reports;
    LogCapture logs;
    try {
        I18nTranslator translator;
        FAIL() << "constructed without English";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Default language not found in i18n database");
    }
    EXPECT_EQ(files_test::linesAt(logs, "info").back(), "Translator loaded 9 languages");
    const auto seen = reports.collect().reports;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].title, "Error parsing translation file from i18n database");
    EXPECT_EQ(seen[1], (files_test::Report{"Default language not found in i18n database",
                                           "Translations file for default language 'en' not "
                                           "found"}));
}

TEST(I18nTranslator, LooksUpCurrentThenDefaultLanguage) {
    Translations files;
    files.write("de", R"({"both": "beide", "only.de": "nur deutsch", "number": 5})");
    files.write("en", R"({"both": "both", "only.en": "english only", "number": 7,
                          "countdown": "in {seconds} s"})");
    I18nTranslator translator;
    files_test::ReportCapture reports;
    {
        LogCapture logs;
        translator.setCurrentLanguage("en");  // already current: nothing happens
        EXPECT_TRUE(logs.lines().empty());
        // English is current: a key English lacks is not found, with no warn line.
        EXPECT_EQ(translator.getLocalizedString("only.de").str(), "Unsupported message");
        EXPECT_TRUE(logs.lines().empty());
    }
    LogCapture logs;
    translator.setCurrentLanguage("de");
    EXPECT_EQ(files_test::linesAt(logs, "debug"),
              std::vector<std::string>{"Current language set to 'de'"});

    EXPECT_EQ(translator.getLocalizedString("both").str(), "beide");
    EXPECT_EQ(translator.getLocalizedString("only.de").str(), "nur deutsch");
    EXPECT_TRUE(files_test::linesAt(logs, "warning").empty());

    EXPECT_EQ(translator.getLocalizedString("countdown").set("seconds", 5).str(), "in 5 s");
    EXPECT_EQ(files_test::linesAt(logs, "warning"),
              std::vector<std::string>{"getLocalizedString from 'countdown' string not found in "
                                       "'de', defaulting to 'en'"});

    EXPECT_EQ(translator.getLocalizedString("missing").str(), "Unsupported message");
    // A member that is not text is no translation: it must neither crash nor show a number.
    EXPECT_EQ(translator.getLocalizedString("number").str(), "Unsupported message");

    translator.setCurrentLanguage("zh");
    EXPECT_EQ(translator.getLocalizedString("both").str(), "beide");
    EXPECT_EQ(reports.collect().reports,
              (std::vector<files_test::Report>{
                  {"String not found in i18n database",
                   "getLocalizedString from 'only.de' string not found in i18n database"},
                  {"String not found in i18n database",
                   "getLocalizedString from 'missing' string not found in i18n database"},
                  {"String not found in i18n database",
                   "getLocalizedString from 'number' string not found in i18n database"},
                  {"Unsupported language 'zh'",
                   "Can't set 'zh' as current language, 'de' will remain as current"}}));
}

TEST(I18nTranslator, LoadTranslationFileKeepsTheFirstDocument) {
    Translations files;
    I18nTranslator translator;
    LogCapture logs;
    translator.loadTranslationFile(R"({"a": "1", "b": "2"})", "xx");
    translator.loadTranslationFile(R"({"a": "replaced"})", "xx");
    translator.loadTranslationFile("[1, 2, 3]", "arr");
    translator.loadTranslationFile("null", "nul");
    translator.loadTranslationFile("\"text\"", "str");
    translator.loadTranslationFile("{\"a\": 1} // comment", "cmt");
    EXPECT_EQ(files_test::linesAt(logs, "info"),
              (std::vector<std::string>{
                  "Loaded language 'xx' with 2 entries", "Loaded language 'xx' with 1 entries",
                  "Loaded language 'arr' with 3 entries", "Loaded language 'nul' with 0 entries",
                  "Loaded language 'str' with 1 entries"}));
    EXPECT_EQ(files_test::linesAt(logs, "error").size(), 1u);
    translator.setCurrentLanguage("xx");
    EXPECT_EQ(translator.getLocalizedString("a").str(), "1");
    // A language whose document is not an object answers from English.
    translator.setCurrentLanguage("arr");
    EXPECT_EQ(translator.getLocalizedString("launcher.process.status.runapp").str(),
              "Starting Zentravo");
}

// --- the shipped translation files -----------------------------------------------------------

// The retry countdown reads right for every number in every shipped language.
TEST(ShippedTranslations, CountdownFollowsEachLanguagesPluralRules) {
    Translations files;
    I18nTranslator translator;
    const auto countdown = [&](const std::string& language, int seconds) {
        translator.setCurrentLanguage(language);
        return translator.getLocalizedPlural("launcher.process.text.2", seconds)
            .set("seconds", seconds)
            .str();
    };
    const std::vector<int> numbers{0, 1, 2, 3, 5, 11, 12, 14, 21, 22, 25, 30, 101, 111, 112};
    const auto fill = [](std::string text, int n) {
        return text.replace(text.find('#'), 1, std::to_string(n));
    };

    // Each language's text, with @ where the word for "seconds" goes, and the word each number
    // takes, written out rather than worked out by a rule.
    const char* const languages[] = {"en", "de", "es", "it", "fr", "pt", "ru"};
    const char* const texts[] = {
        "Retrying in # @",
        "Erneuter Versuch in # @",
        "Reintentando en # @",
        "Nuovo tentativo tra # @",
        "Nouvelle tentative dans # @",
        "Tentando novamente em # @",
        "Повторная попытка через # @",
    };
    struct Row {
        int number;
        const char* words[7];
    };
    const Row rows[] = {
        {0, {"seconds", "Sekunden", "segundos", "secondi", "seconde", "segundo", "секунд"}},
        {1, {"second", "Sekunde", "segundo", "secondo", "seconde", "segundo", "секунду"}},
        {2, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунды"}},
        {3, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунды"}},
        {5, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {11, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {12, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {14, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {21, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунду"}},
        {22, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунды"}},
        {25, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {30, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {101, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунду"}},
        {111, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
        {112, {"seconds", "Sekunden", "segundos", "secondi", "secondes", "segundos", "секунд"}},
    };
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < std::size(languages); ++i) {
            std::string expected = fill(texts[i], row.number);
            expected.replace(expected.find('@'), 1, row.words[i]);
            EXPECT_EQ(countdown(languages[i], row.number), expected) << languages[i];
        }
    }
    EXPECT_EQ(countdown("ru", 21), "Повторная попытка через 21 секунду");
    EXPECT_EQ(countdown("ru", 22), "Повторная попытка через 22 секунды");
    EXPECT_EQ(countdown("ru", 5), "Повторная попытка через 5 секунд");

    // No plural: one text for every number.
    const std::pair<const char*, const char*> noPlural[] = {{"ja", "# 秒後に再試行します"},
                                                            {"ko", "#초 후에 다시 시도합니다"},
                                                            {"zhTW", "將於 # 秒後重試"}};
    for (const auto& [language, text] : noPlural) {
        for (const int n : numbers) {
            EXPECT_EQ(countdown(language, n), fill(text, n)) << language;
        }
    }
}

TEST(I18nTranslator, PluralCategories) {
    using zentravo::i18n::pluralCategory;
    struct Case {
        const char* language;
        long long count;
        const char* category;
    };
    const Case cases[] = {
        {"en", 1, "one"},   {"en", 0, "other"}, {"en", 21, "other"},  {"de", 1, "one"},
        {"fr", 0, "one"},   {"fr", 2, "other"}, {"pt", 1, "one"},     {"pt", 0, "one"},
        {"ru", 1, "one"},   {"ru", 11, "many"}, {"ru", 21, "one"},    {"ru", 3, "few"},
        {"ru", 13, "many"}, {"ru", 104, "few"}, {"ru", 0, "many"},    {"ru", 1000011, "many"},
        {"ja", 1, "other"}, {"ko", 1, "other"}, {"zhTW", 1, "other"}, {"en", -1, "one"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pluralCategory(c.language, c.count), c.category) << c.language << " " << c.count;
    }
}

TEST(ShippedTranslations, EveryFileParsesAndHoldsEveryEnglishKey) {
    const fs::path directory = fs::path{LAUNCHER_SOURCE_DIR} / "resources/translations";
    const nlohmann::json english =
        nlohmann::json::parse(files_test::readFile(directory / "en.json"));
    ASSERT_TRUE(english.is_object());

    // The keys the update flows and the retry engine look up.
    for (const char* key :
         {"launcher.process.status.version", "launcher.process.status.connection",
          "launcher.process.status.downloading", "launcher.process.status.installing",
          "launcher.process.status.runapp", "launcher.process.text.1", "launcher.process.text.2",
          "launcher.process.error.connection", "launcher.process.error.retries",
          "launcher.process.error.installing", "launcher.process.error.runapp",
          "launcher.process.error.crash"}) {
        EXPECT_TRUE(english.contains(key)) << key;
    }

    std::size_t files = 0;
    for (const auto& [id, code] : zentravo::i18n::translationFiles) {
        SCOPED_TRACE(code);
        ++files;
        nlohmann::json document;
        ASSERT_NO_THROW(
            document = nlohmann::json::parse(files_test::readFile(directory / (code + ".json")),
                                             nullptr, true, false));
        ASSERT_TRUE(document.is_object());
        for (const auto& [key, value] : english.items()) {
            ASSERT_TRUE(document.contains(key)) << key;
            ASSERT_TRUE(document[key].is_string()) << key;
            const std::string text = document[key].get<std::string>();
            EXPECT_FALSE(text.empty()) << key;
            // The texts travel inside single-quoted JavaScript strings.
            EXPECT_EQ(text.find_first_of("'\\\n\r"), std::string::npos) << key << ": " << text;
            // Placeholders are the same as in English.
            const std::regex placeholder{"\\{[^}]*\\}"};
            std::string ours, theirs;
            for (std::sregex_iterator it{text.begin(), text.end(), placeholder}, end; it != end;
                 ++it) {
                ours += it->str();
            }
            const std::string en = value.get<std::string>();
            for (std::sregex_iterator it{en.begin(), en.end(), placeholder}, end; it != end; ++it) {
                theirs += it->str();
            }
            EXPECT_EQ(ours, theirs) << key;
            if (code != "en") {
                EXPECT_NE(text, en) << key << " is not translated";
            }
        }
    }
    EXPECT_EQ(files, 10u);
}

}  // namespace
