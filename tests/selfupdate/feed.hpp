#pragma once
// Launcher updates as the release tooling publishes them: bundles of the self-update stand-in,
// signed with the demo key, listed in a feed in the served folder.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mainapp_fixture.hpp"
#include "signing.hpp"

namespace feed {

// A bundle archive (gzip) of the stand-in at `version`. Compressing the sanitizer build's
// stand-in (about 100 MB) takes well over half a minute on a busy machine.
inline void buildBundleArchive(const std::filesystem::path& output, const std::string& version) {
    fixture::ChildProcess tool{{fixture::mainAppBundleTool().string(), "--output", output.string(),
                                "--version", version, "--program", SELFUPDATE_PROBE, "--gzip"}};
    ASSERT_EQ(tool.waitExit(std::chrono::seconds{120}), 0);
}

struct Entry {
    std::string version;
    std::string file;  // under the served root
    std::string signature;
    std::int64_t length = 0;
};

// A signed archive of the stand-in at `version`, in the served folder `root`.
inline Entry publish(const std::filesystem::path& root, const std::string& version) {
    Entry entry{version, "launcher-" + version + ".tar.gz", {}, 0};
    buildBundleArchive(root / entry.file, version);
    entry.signature = signing::signFile(root / entry.file, signing::demoKey());
    entry.length = static_cast<std::int64_t>(std::filesystem::file_size(root / entry.file));
    return entry;
}

// root/appcast.xml listing the entries; "{base}" is the service's own address.
inline void writeFeed(const std::filesystem::path& root, const std::vector<Entry>& entries) {
    std::string items;
    for (const Entry& e : entries) {
        items +=
            "<item><title>Launcher " + e.version + "</title>" + "<zentravo:shortVersionString>" +
            e.version + "</zentravo:shortVersionString><enclosure url=\"{base}/" + e.file +
            "\" length=\"" + std::to_string(e.length) +
            "\" type=\"application/x-gtar\" zentravo:signature=\"" + e.signature + "\"/></item>";
    }
    std::ofstream{root / "appcast.xml"}
        << "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:zentravo=\"https://zentravo.app/xml/launcher-feed\"><channel>"
        << items << "</channel></rss>";
}

}  // namespace feed
