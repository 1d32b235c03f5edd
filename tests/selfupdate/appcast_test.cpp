#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "appcast.hpp"

namespace {

using zentravo::appcast::FeedError;
using zentravo::appcast::Item;
using V = semver::version;

constexpr const char* kFeed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:zentravo="https://zentravo.app/xml/launcher-feed">
  <channel>
    <title>Zentravo launcher</title>
    <item>
      <title>Launcher 1.7.0</title>
      <zentravo:version>1700</zentravo:version>
      <zentravo:shortVersionString>1.7.0</zentravo:shortVersionString>
      <description><![CDATA[<b>What's new</b> &amp; more]]></description>
      <enclosure url="https://example.test/l-1.7.0.tar.gz" length="1234" type="application/x-gtar"
                 zentravo:signature="c2ln" />
    </item>
    <item>
      <title>Launcher 1.8.0-beta.2</title>
      <enclosure url="https://example.test/l-1.8.0b2.tar.gz" length="99"
                 zentravo:shortVersionString="1.8.0-beta.2" zentravo:version="1802"
                 zentravo:signature="c2ln" zentravo:arch="arm64"/>
    </item>
  </channel>
</rss>)";

TEST(Appcast, ReadsItemsFromElementsAndEnclosureAttributes) {
    const std::vector<Item> items = zentravo::appcast::parse(kFeed);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].title, "Launcher 1.7.0");
    EXPECT_EQ(items[0].version, "1700");
    EXPECT_EQ(items[0].shortVersionString, "1.7.0");
    EXPECT_EQ(items[0].url, "https://example.test/l-1.7.0.tar.gz");
    EXPECT_EQ(items[0].length, 1234);
    EXPECT_EQ(items[0].signature, "c2ln");
    EXPECT_EQ(items[0].arch, "");
    EXPECT_EQ(items[0].semanticVersion, V(1, 7, 0));
    EXPECT_EQ(items[1].shortVersionString, "1.8.0-beta.2");
    EXPECT_EQ(items[1].arch, "arm64");
    EXPECT_EQ(items[1].semanticVersion, V::from_string("1.8.0-beta.2"));
}

TEST(Appcast, RefusesBrokenFeeds) {
    for (const char* text : {"", "<rss><channel><item></channel></rss>", "not xml at all",
                             "<feed><entry/></feed>", "<rss version=\"2.0\"></rss>",
                             "<!DOCTYPE rss [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                             "<rss><channel><item><title>&x;</title></item></channel></rss>"}) {
        EXPECT_THROW((void)zentravo::appcast::parse(text), FeedError) << text;
    }
}

TEST(Appcast, AcceptsAnEmptyChannel) {
    EXPECT_TRUE(zentravo::appcast::parse("<rss version=\"2.0\"><channel/></rss>").empty());
}

Item usable(const std::string& version, const std::string& arch = "") {
    Item item;
    item.shortVersionString = version;
    item.semanticVersion = V::from_string(version);
    item.url = "https://example.test/" + version;
    item.length = 10;
    item.signature = "c2ln";
    item.arch = arch;
    return item;
}

struct ChoiceCase {
    const char* name;
    std::vector<Item> items;
    V current;
    std::optional<V> skipped;
    std::optional<std::string> expected;  // shortVersionString of the chosen item
};

TEST(Appcast, ChoosesTheNewestUsableItemNewerThanRunningAndSkipped) {
    Item plainHttp = usable("1.9.0");
    plainHttp.url = "http://example.test/1.9.0";
    Item unsigned_ = usable("1.9.1");
    unsigned_.signature.clear();
    Item noLength = usable("1.9.2");
    noLength.length = -1;
    Item wordVersion;
    wordVersion.shortVersionString = "latest";
    wordVersion.url = "https://example.test/x";
    wordVersion.length = 1;
    wordVersion.signature = "c2ln";

    const std::vector<ChoiceCase> cases{
        {"newest wins in any order",
         {usable("1.7.0"), usable("1.8.1"), usable("1.8.0")},
         V(1, 6, 24),
         std::nullopt,
         "1.8.1"},
        {"equal is not newer", {usable("1.6.24")}, V(1, 6, 24), std::nullopt, std::nullopt},
        {"older is not offered", {usable("1.6.0")}, V(1, 6, 24), std::nullopt, std::nullopt},
        {"release after its prerelease",
         {usable("1.7.0")},
         V::from_string("1.7.0-rc.1"),
         std::nullopt,
         "1.7.0"},
        {"skipped version not offered", {usable("1.7.0")}, V(1, 6, 24), V(1, 7, 0), std::nullopt},
        {"skipping the newest drops older ones too",
         {usable("1.7.0"), usable("1.6.30")},
         V(1, 6, 24),
         V(1, 7, 0),
         std::nullopt},
        {"newer than the skipped one is offered",
         {usable("1.7.0"), usable("1.7.1")},
         V(1, 6, 24),
         V(1, 7, 0),
         "1.7.1"},
        {"other processor passed over",
         {usable("1.9.0", "other"), usable("1.7.0", "x86_64")},
         V(1, 6, 24),
         std::nullopt,
         "1.7.0"},
        {"unusable items passed over",
         {plainHttp, unsigned_, noLength, wordVersion, usable("1.7.0")},
         V(1, 6, 24),
         std::nullopt,
         "1.7.0"},
        {"nothing at all", {}, V(1, 6, 24), std::nullopt, std::nullopt},
    };
    for (const ChoiceCase& c : cases) {
        const auto chosen = zentravo::appcast::choose(c.items, c.current, c.skipped, "x86_64");
        if (c.expected) {
            ASSERT_TRUE(chosen.has_value()) << c.name;
            EXPECT_EQ(chosen->shortVersionString, *c.expected) << c.name;
        } else {
            EXPECT_FALSE(chosen.has_value()) << c.name;
        }
    }
}

TEST(Appcast, NamesThisMachinesProcessorLikeTheFeeds) {
    const std::string arch = zentravo::appcast::machineArch();
#if defined(__x86_64__)
    EXPECT_EQ(arch, "x86_64");
#elif defined(__aarch64__)
    EXPECT_EQ(arch, "arm64");
#else
    EXPECT_FALSE(arch.empty());
#endif
}

}  // namespace
