#include "file_helpers.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fmt/format.h>
#include <plist/plist.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "paths.hpp"
#include "sentry_wrapper.hpp"

namespace zentravo {
namespace {

constexpr const char* kBundleName = "Zentravo.app";
constexpr const char* kVersionKey = "CFBundleShortVersionString";

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(char* text) const { std::free(text); }
};

// The version text of an Info.plist, or nothing when the file, its parse or the key is missing.
std::optional<std::string> readBundleVersion(const std::filesystem::path& infoPlist) {
    std::ifstream in{infoPlist, std::ios::binary};
    if (!in) {
        return std::nullopt;
    }
    const std::string data{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
    if (data.empty() || data.size() > UINT32_MAX) {
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &raw);
    const PlistPtr root{raw};
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t value = plist_dict_get_item(root.get(), kVersionKey);
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return std::nullopt;
    }
    char* text = nullptr;
    plist_get_string_val(value, &text);
    const std::unique_ptr<char, MallocDeleter> owned{text};
    if (!owned) {
        return std::nullopt;
    }
    return std::string{owned.get()};
}

struct ReadArchiveDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteArchiveDeleter {
    void operator()(archive* a) const { archive_write_free(a); }
};
using ReadArchive = std::unique_ptr<archive, ReadArchiveDeleter>;
using WriteArchive = std::unique_ptr<archive, WriteArchiveDeleter>;

[[noreturn]] void failUnpack(std::string_view reason) {
    throw std::runtime_error{fmt::format("Could not unpack file - {}", reason)};
}

[[noreturn]] void failUnpack(archive* a) {
    const char* text = archive_error_string(a);
    failUnpack(text != nullptr ? text : "unknown archive error");
}

bool isInside(const std::filesystem::path& root, const std::filesystem::path& candidate) {
    const std::filesystem::path relative = candidate.lexically_relative(root);
    return !relative.empty() && *relative.begin() != "..";
}

// Where a path ends up once every link on disk along it is followed. A link loop cannot lead
// anywhere, so it counts as staying where it is.
std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path result = std::filesystem::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : result;
}

// An archive member name must stay below the destination on its own terms.
void checkMemberName(const std::filesystem::path& name, std::string_view original) {
    if (name.is_absolute() || name.has_root_name() || name.has_root_directory()) {
        failUnpack(fmt::format("Path is absolute: {}", original));
    }
    for (const auto& part : name) {
        if (part == "..") {
            failUnpack(fmt::format("Path contains '..': {}", original));
        }
    }
}

void checkSymlinkTarget(const std::filesystem::path& root, const std::filesystem::path& name,
                        const char* target) {
    const std::filesystem::path link = pathFromUtf8(target);
    const std::filesystem::path lexical = (name.parent_path() / link).lexically_normal();
    if (link.is_absolute() || (!lexical.empty() && *lexical.begin() == "..") ||
        !isInside(root, resolved(root / name.parent_path() / link))) {
        failUnpack(
            fmt::format("Link {} -> {} points outside the destination", pathToUtf8(name), target));
    }
}

void copyData(archive* in, archive* out) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        const int r = archive_read_data_block(in, &block, &size, &offset);
        if (r == ARCHIVE_EOF) {
            return;
        }
        if (r < ARCHIVE_WARN) {
            failUnpack(in);
        }
        if (archive_write_data_block(out, block, size, offset) < ARCHIVE_WARN) {
            failUnpack(out);
        }
    }
}

}  // namespace

semver::version getCurrentVersion(const std::filesystem::path& directory) {
    semver::version result = semver::version::from_string("0.0.0");
    if (!std::filesystem::is_directory(directory)) {
        return result;
    }
    const std::filesystem::path app = directory / kBundleName;
    if (!std::filesystem::exists(app)) {
        return result;
    }
    const std::optional<std::string> text = readBundleVersion(app / "Contents" / "Info.plist");
    if (!text) {
        return result;
    }
    try {
        result = semver::version::from_string(*text);
    } catch (const std::exception& e) {
        const std::string message = fmt::format(
            "Error setting fileVersion from installed version: {} - {}", *text, e.what());
        spdlog::error(message);
        utils::sentry::sharedWrapper.sendException("getCurrentVersion Failed", message);
        result = semver::version::from_string("0.0.0");
    }
    return result;
}

void unpackFile(const std::filesystem::path& archivePath,
                const std::filesystem::path& destination) {
    if (!std::filesystem::exists(archivePath)) {
        throw std::runtime_error{
            fmt::format(".Zip Input file doesn't exist: {}", pathToUtf8(archivePath))};
    }
    if (!std::filesystem::exists(destination)) {
        utils::sentry::sharedWrapper.setBreadcrumb(
            fmt::format("Path {} not found, creating it", pathToUtf8(destination)));
        std::filesystem::create_directories(destination);
    }
    const std::filesystem::path source = std::filesystem::canonical(archivePath);
    const std::filesystem::path root = std::filesystem::canonical(destination);
    utils::sentry::sharedWrapper.setBreadcrumb(
        fmt::format("Unpacking {} into {}", pathToUtf8(source), pathToUtf8(root)));

    ReadArchive in{archive_read_new()};
    WriteArchive out{archive_write_disk_new()};
    if (!in || !out) {
        failUnpack("out of memory");
    }
    archive_read_support_filter_all(in.get());
    archive_read_support_format_all(in.get());
    // Members are written under the canonical destination by absolute name (the working directory
    // is shared with other threads), so absolute and ".." names are refused before this point.
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    if (archive_read_open_filename(in.get(), pathToUtf8(source).c_str(), 1 << 20) != ARCHIVE_OK) {
        failUnpack(in.get());
    }

    // Links are checked again at the end: a later member may replace a link that an earlier
    // link's target runs through.
    std::vector<std::filesystem::path> links;
    archive_entry* entry = nullptr;
    for (;;) {
        const int r = archive_read_next_header(in.get(), &entry);
        if (r == ARCHIVE_EOF) {
            break;
        }
        if (r < ARCHIVE_WARN) {
            failUnpack(in.get());
        }
        const char* rawName = archive_entry_pathname(entry);
        if (rawName == nullptr || *rawName == '\0') {
            failUnpack("archive member without a name");
        }
        const std::filesystem::path name = pathFromUtf8(rawName);
        checkMemberName(name, rawName);
        const std::filesystem::path target = root / name;

        if (const char* hardlink = archive_entry_hardlink(entry); hardlink != nullptr) {
            const std::filesystem::path linked = pathFromUtf8(hardlink);
            checkMemberName(linked, hardlink);
            if (!isInside(root, resolved(root / linked))) {
                failUnpack(
                    fmt::format("Link {} -> {} points outside the destination", rawName, hardlink));
            }
            archive_entry_set_hardlink(entry, pathToUtf8(root / linked).c_str());
        } else if (archive_entry_filetype(entry) == AE_IFLNK) {
            const char* symlink = archive_entry_symlink(entry);
            checkSymlinkTarget(root, name, symlink != nullptr ? symlink : "");
            links.push_back(target);
        }
        archive_entry_set_pathname(entry, pathToUtf8(target).c_str());

        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN) {
            failUnpack(out.get());
        }
        if (archive_entry_size_is_set(entry) == 0 || archive_entry_size(entry) > 0) {
            copyData(in.get(), out.get());
        }
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN) {
            failUnpack(out.get());
        }
    }
    if (archive_write_close(out.get()) < ARCHIVE_WARN) {
        failUnpack(out.get());
    }

    for (const auto& link : links) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec))) {
            continue;
        }
        if (!isInside(root, resolved(link))) {
            std::filesystem::remove(link, ec);
            failUnpack(fmt::format("Link {} points outside the destination",
                                   pathToUtf8(link.lexically_relative(root))));
        }
    }
}

}  // namespace zentravo
