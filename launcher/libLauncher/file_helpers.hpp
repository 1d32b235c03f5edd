#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "semver.hpp"

namespace zentravo {

// A bundle's Info.plist is a few KB; anything beyond this is refused unread.
inline constexpr std::uintmax_t kMaxInfoPlistSize = 1U << 20;

// What a bundle's Info.plist says, as far as the launcher needs it.
struct BundleInfo {
    enum class Status {
        ok,         // parsed; the entries below hold what was there
        missing,    // no such file
        unusable,   // not a regular file, too large or unreadable
        malformed,  // not a property list dictionary
    };
    Status status = Status::missing;
    std::string problem;                    // why, for unusable and malformed
    std::optional<std::string> version;     // CFBundleShortVersionString
    std::optional<std::string> executable;  // CFBundleExecutable
};

// Reads an Info.plist (XML or binary). A FIFO, device, link or file over kMaxInfoPlistSize is
// refused without blocking and without reading it.
[[nodiscard]] BundleInfo readBundleInfo(const std::filesystem::path& infoPlist);

// CFBundleShortVersionString of directory/"Zentravo.app". A missing folder, bundle, Info.plist or
// key gives 0.0.0 quietly; an Info.plist that is not a regular file of bounded size gives 0.0.0
// with an error line; a version text that does not parse gives 0.0.0 with an error line and
// a "getCurrentVersion Failed" report.
[[nodiscard]] semver::version getCurrentVersion(const std::filesystem::path& directory);

// Ceiling on what one archive may unpack to, whatever the free space: far above a real package,
// far below what a compression bomb asks for.
inline constexpr std::uint64_t kMaxUnpackedSize = std::uint64_t{8} << 30;

// Extracts a tar archive (plain, gzip, xz, zstd, ...; the content decides, not the name) into
// destination, creating it (mode 0700) when missing. Entries that would land outside the
// destination
// (".." parts, absolute names, links pointing out, writes through links) make the archive count
// as broken, as do device nodes, FIFOs, sockets, hard links to symbolic links, and names more than
// 128 levels deep or longer than PATH_MAX once unpacked; every link in the tree must lead inside
// when the unpacking is done. Set-id and sticky bits and group/other write are dropped; folders
// that names need and the archive does not hold are made 0755, whatever the umask. Any failed
// or short write fails, and so does unpacking more than the free space of the destination (less a
// margin) or kMaxUnpackedSize, every member and every folder its name creates counted. On failure
// a destination this call created is removed again. Throws std::runtime_error or
// std::filesystem::filesystem_error.
void unpackFile(const std::filesystem::path& archive, const std::filesystem::path& destination);

}  // namespace zentravo
