#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "semver.hpp"

// The launcher's update feed: an RSS 2.0 document whose items each announce one launcher build.
//
//   <rss version="2.0" xmlns:zentravo="https://zentravo.app/xml/launcher-feed">
//     <channel><item>
//       <title>...</title>
//       <zentravo:version>1724</zentravo:version>                  (build number, optional)
//       <zentravo:shortVersionString>1.7.0</zentravo:shortVersionString>
//       <enclosure url="https://..." length="123456" type="application/x-gtar"
//                  zentravo:signature="base64 Ed25519 signature" zentravo:arch="x86_64"/>
//     </item></channel>
//   </rss>
//
// The version attributes may also stand on the enclosure. zentravo:arch is optional; an item
// that names another processor is never offered.
namespace zentravo::appcast {

struct Item {
    std::string title;
    std::string version;             // build number as written; may be empty
    std::string shortVersionString;  // the semantic version users see
    std::string url;
    std::int64_t length = -1;  // announced archive size in bytes; -1 when missing
    std::string signature;     // base64 Ed25519 signature of the archive
    std::string arch;          // empty: any processor
    // Parsed from shortVersionString (else version); empty when neither parses.
    std::optional<semver::version> semanticVersion;

    // shortVersionString, else version.
    [[nodiscard]] const std::string& displayVersion() const {
        return shortVersionString.empty() ? version : shortVersionString;
    }
};

class FeedError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Every item of the feed, in document order. Throws FeedError when the text is not well-formed
// XML or has no RSS channel. Items are taken as written; choose() decides which are usable.
[[nodiscard]] std::vector<Item> parse(std::string_view text);

// The item to offer: the newest usable item newer than `current` and, when the user skipped a
// version, newer than that one too. Usable means a parsable version, an https enclosure address,
// a positive length, a signature, and no processor or this processor (`arch`).
[[nodiscard]] std::optional<Item> choose(const std::vector<Item>& items,
                                         const semver::version& current,
                                         const std::optional<semver::version>& skipped,
                                         std::string_view arch);

// The processor name feeds use for this machine: "arm64" or "x86_64" (else uname's machine).
[[nodiscard]] std::string machineArch();

}  // namespace zentravo::appcast
