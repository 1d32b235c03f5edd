#pragma once

#include <filesystem>

#include "semver.hpp"

namespace zentravo {

// CFBundleShortVersionString of directory/"Zentravo.app". A missing folder, bundle, Info.plist or
// key gives 0.0.0 quietly; a version text that does not parse gives 0.0.0 with an error line and
// a "getCurrentVersion Failed" report.
[[nodiscard]] semver::version getCurrentVersion(const std::filesystem::path& directory);

// Extracts a tar archive (plain, gzip, xz, zstd, ...; the content decides, not the name) into
// destination, creating it when missing. Entries that would land outside the destination
// (".." parts, absolute names, links pointing out, writes through links) make the archive count
// as broken. Throws std::runtime_error or std::filesystem::filesystem_error.
void unpackFile(const std::filesystem::path& archive, const std::filesystem::path& destination);

}  // namespace zentravo
