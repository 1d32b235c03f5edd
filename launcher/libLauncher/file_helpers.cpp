#include "file_helpers.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <limits.h>
#include <plist/plist.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "file_descriptor.hpp"
#include "log_text.hpp"
#include "paths.hpp"
#include "private_folder.hpp"
#include "sentry_wrapper.hpp"
#include "tree_removal.hpp"

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

std::optional<std::string> stringItem(plist_t dict, const char* key) {
    plist_t value = plist_dict_get_item(dict, key);
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

// How many levels deep a member may lie (a file at the top is one level). A real bundle nests a few
// dozen levels at most (frameworks inside frameworks included); a bound well above that keeps every
// later step on the unpacked tree (walks, removal, the link check below) small, and refuses names
// made only to create folders by the thousand.
constexpr std::size_t kMaxNameDepth = 128;

// An archive member name must stay below the destination on its own terms, and be short and
// shallow enough for every later step that names it by its whole path.
void checkMemberName(const std::filesystem::path& root, const std::filesystem::path& name,
                     std::string_view original) {
    if (name.is_absolute() || name.has_root_name() || name.has_root_directory()) {
        failUnpack(fmt::format("Path is absolute: {}", logtext::excerpt(original)));
    }
    std::size_t depth = 0;
    for (const auto& part : name) {
        if (part == "..") {
            failUnpack(fmt::format("Path contains '..': {}", logtext::excerpt(original)));
        }
        if (!part.empty() && part != ".") {
            ++depth;
        }
    }
    if (depth > kMaxNameDepth) {
        failUnpack(fmt::format("Path is {} levels deep, more than {}: {}", depth, kMaxNameDepth,
                               logtext::excerpt(original)));
    }
    if ((root / name).native().size() >= PATH_MAX) {
        failUnpack(fmt::format("Path is longer than {} bytes once unpacked: {}", PATH_MAX,
                               logtext::excerpt(original)));
    }
}

void checkSymlinkTarget(const std::filesystem::path& root, const std::filesystem::path& name,
                        const char* target) {
    const std::filesystem::path link = pathFromUtf8(target);
    const std::filesystem::path lexical = (name.parent_path() / link).lexically_normal();
    if (link.is_absolute() || (!lexical.empty() && *lexical.begin() == "..") ||
        !isInside(root, resolved(root / name.parent_path() / link))) {
        failUnpack(fmt::format("Link {} -> {} points outside the destination",
                               logtext::escape(pathToUtf8(name)), logtext::excerpt(target)));
    }
}

// Space left to the rest of the system when an archive fills the destination's file system.
constexpr std::uint64_t kFreeSpaceMargin = std::uint64_t{64} << 20;
// What each member costs beyond its data (inode, directory entry, partial block), so that a
// flood of empty members is bounded too.
constexpr std::uint64_t kMemberCost = 4096;

// How many bytes an archive may unpack to below `root`.
std::uint64_t unpackBudget(const std::filesystem::path& root) {
    struct statvfs fs {};
    if (::statvfs(root.c_str(), &fs) != 0) {
        failUnpack(fmt::format("Cannot tell the free space of {}: {}", pathToUtf8(root),
                               std::strerror(errno)));
    }
    const std::uint64_t available = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    const std::uint64_t usable = available > kFreeSpaceMargin ? available - kFreeSpaceMargin : 0;
    return std::min(usable, kMaxUnpackedSize);
}

// Counts unpacked bytes against the budget; fails before the budget is overrun.
class UnpackBudget {
  public:
    explicit UnpackBudget(std::uint64_t limit) : limit_{limit} {}
    void spend(std::uint64_t bytes) {
        if (bytes > limit_ - used_) {
            failUnpack(
                fmt::format("The archive unpacks to more than the {} bytes available", limit_));
        }
        used_ += bytes;
    }

  private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// The folders a member's name needs on the way to it that do not exist yet, the outermost first.
std::vector<std::filesystem::path> missingFolders(const std::filesystem::path& root,
                                                  const std::filesystem::path& name) {
    const std::filesystem::path own = name.has_filename() ? name : name.parent_path();
    std::vector<std::filesystem::path> missing;
    struct stat st {};
    for (std::filesystem::path folder = own.parent_path(); !folder.empty() && folder != ".";
         folder = folder.parent_path()) {
        if (::lstat((root / folder).c_str(), &st) == 0) {
            break;
        }
        missing.push_back(folder);
    }
    std::reverse(missing.begin(), missing.end());
    return missing;
}

// Writes the folders a member's name creates on its way as folders of their own, mode 0755 as an
// archive's folder gets at most: made by the writer itself they would follow the umask, open to
// everyone under umask 000. Each is charged, as one name may create a hundred; those that exist
// already were charged when they were made.
void writeMissingFolders(archive* out, const std::filesystem::path& root,
                         const std::filesystem::path& name, UnpackBudget& budget) {
    const std::vector<std::filesystem::path> missing = missingFolders(root, name);
    budget.spend(missing.size() * kMemberCost);
    for (const std::filesystem::path& folder : missing) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry{
            archive_entry_new(), &archive_entry_free};
        if (!entry) {
            failUnpack("out of memory");
        }
        archive_entry_set_pathname(entry.get(), pathToUtf8(root / folder).c_str());
        archive_entry_set_filetype(entry.get(), AE_IFDIR);
        archive_entry_set_perm(entry.get(), 0755);
        if (archive_write_header(out, entry.get()) < ARCHIVE_WARN ||
            archive_write_finish_entry(out) != ARCHIVE_OK) {
            failUnpack(out);
        }
    }
}

// A warning from a data write is a failed or short write (a full disk, a size limit): the file
// on disk is not what the archive holds, so it fails like an error.
void copyData(archive* in, archive* out, UnpackBudget& budget, std::uint64_t declared,
              const std::string& name) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    std::uint64_t end = declared;  // already spent
    for (;;) {
        const int r = archive_read_data_block(in, &block, &size, &offset);
        if (r == ARCHIVE_EOF) {
            return;
        }
        if (r < ARCHIVE_WARN) {
            failUnpack(in);
        }
        if (offset < 0) {
            failUnpack(fmt::format("Negative data offset in {}", name));
        }
        if (const std::uint64_t reach = static_cast<std::uint64_t>(offset) + size; reach > end) {
            budget.spend(reach - end);
            end = reach;
        }
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
            const char* text = archive_error_string(out);
            failUnpack(fmt::format("{}: {}", logtext::excerpt(name),
                                   text != nullptr ? text : "write failed"));
        }
    }
}

// Only what an application bundle consists of may be created, and with modes no other local
// user can abuse: no set-id or sticky bits, no write for group or others.
void checkMemberType(archive_entry* entry, const std::string& name) {
    if (archive_entry_hardlink(entry) == nullptr) {
        switch (archive_entry_filetype(entry)) {
            case AE_IFREG:
            case AE_IFDIR:
            case AE_IFLNK:
                break;
            default:
                failUnpack(fmt::format("{} is not a file, folder or link", name));
        }
    }
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
}

// The links an unpacking has made so far, by member name, so that libarchive's guard against
// writing through a link runs only where a link can be in the way. That guard opens and stats
// every part of the written path, from the file system's root down, for every member: most of an
// unpacking's system calls. In a destination the unpacking created itself, every link in it is
// one the archive made, so a member whose path neither runs through nor ends at one of those
// cannot meet a link; everywhere else (and in any destination that existed before) the guard runs.
class LinkGuard {
  public:
    explicit LinkGuard(bool destinationIsNew) : always_{!destinationIsNew} {}

    // Whether writing `name` (or linking to it) needs the guard.
    [[nodiscard]] bool needed(const std::string& name) const {
        if (always_ || links_.empty()) {
            return always_;
        }
        for (std::size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            if (links_.contains(name.substr(0, slash))) {
                return true;
            }
        }
        return links_.contains(name);
    }
    // Once added a name stays: a later member may have replaced the link, and the guard then
    // merely runs for nothing.
    void addLink(std::string name) { links_.insert(std::move(name)); }

    // A member name as one text, without "." parts, doubled or trailing slashes.
    static std::string key(const std::filesystem::path& name) {
        std::string out;
        for (const auto& part : name) {
            if (part.empty() || part == "." || part == "/") {
                continue;
            }
            if (!out.empty()) {
                out += '/';
            }
            out += pathToUtf8(part);
        }
        return out;
    }

  private:
    bool always_;
    std::unordered_set<std::string> links_;
};

// Every link in the unpacked tree, whatever member made it, must lead inside once the unpacking
// is done: a later member may replace a link that an earlier link's target runs through. The
// tree is no deeper than kMaxNameDepth below `root`, which bounds the walk's descriptors. It runs
// before the folders get their final modes, while the unpacking still holds them open to its
// owner.
void checkLinksInside(const std::filesystem::path& root) {
    std::error_code ec;
    std::filesystem::path last = root;
    for (std::filesystem::recursive_directory_iterator it{root, ec}, end; !ec && it != end;
         it.increment(ec)) {
        last = it->path();
        if (!it->is_symlink(ec) || ec) {
            continue;
        }
        if (!isInside(root, resolved(it->path()))) {
            const std::filesystem::path link = it->path();
            std::error_code ignored;
            std::filesystem::remove(link, ignored);
            failUnpack(fmt::format("Link {} points outside the destination",
                                   logtext::escape(pathToUtf8(link.lexically_relative(root)))));
        }
    }
    if (ec) {
        // The step that failed entered the last folder met, or went on in the one holding it.
        std::error_code kind;
        const std::filesystem::path folder =
            std::filesystem::is_directory(std::filesystem::symlink_status(last, kind))
                ? last
                : last.parent_path();
        failUnpack(fmt::format("Cannot check the links of {}: {}",
                               logtext::escape(pathToUtf8(folder)), ec.message()));
    }
}

void extractInto(const std::filesystem::path& source, const std::filesystem::path& root,
                 bool destinationIsNew) {
    ReadArchive in{archive_read_new()};
    WriteArchive out{archive_write_disk_new()};
    if (!in || !out) {
        failUnpack("out of memory");
    }
    archive_read_support_filter_all(in.get());
    archive_read_support_format_all(in.get());
    // Members are written under the canonical destination by absolute name (the working directory
    // is shared with other threads), so absolute and ".." names are refused before this point.
    constexpr int kOptions =
        ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
    LinkGuard guard{destinationIsNew};
    if (archive_read_open_filename(in.get(), pathToUtf8(source).c_str(), 1 << 20) != ARCHIVE_OK) {
        failUnpack(in.get());
    }
    UnpackBudget budget{unpackBudget(root)};

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
        // The entry's own text changes with its path name below.
        const std::string memberName{rawName};
        const std::filesystem::path name = pathFromUtf8(memberName);
        checkMemberName(root, name, memberName);
        checkMemberType(entry, memberName);
        const std::filesystem::path target = root / name;
        const std::string key = LinkGuard::key(name);
        bool guarded = guard.needed(key);

        if (const char* hardlink = archive_entry_hardlink(entry); hardlink != nullptr) {
            const std::filesystem::path linked = pathFromUtf8(hardlink);
            checkMemberName(root, linked, hardlink);
            // A hard link to a symbolic link is one more symbolic link, whose text means
            // something else where the new name stands. No bundle needs one.
            if (struct stat st{};
                ::lstat((root / linked).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                failUnpack(fmt::format("Hard link {} -> {} names a symlink",
                                       logtext::excerpt(memberName), logtext::excerpt(hardlink)));
            }
            if (const std::string linkedKey = LinkGuard::key(linked); guard.needed(linkedKey)) {
                guarded = true;
                guard.addLink(key);
            }
            if (!isInside(root, resolved(root / linked))) {
                failUnpack(fmt::format("Link {} -> {} points outside the destination",
                                       logtext::excerpt(memberName), logtext::excerpt(hardlink)));
            }
            archive_entry_set_hardlink(entry, pathToUtf8(root / linked).c_str());
        } else if (archive_entry_filetype(entry) == AE_IFLNK) {
            const char* symlink = archive_entry_symlink(entry);
            checkSymlinkTarget(root, name, symlink != nullptr ? symlink : "");
            guard.addLink(key);
        }
        archive_write_disk_set_options(
            out.get(), guarded ? kOptions | ARCHIVE_EXTRACT_SECURE_SYMLINKS : kOptions);
        archive_entry_set_pathname(entry, pathToUtf8(target).c_str());

        const bool sized = archive_entry_size_is_set(entry) != 0;
        const std::uint64_t declared =
            sized ? static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0))
                  : 0;
        writeMissingFolders(out.get(), root, name, budget);
        budget.spend(kMemberCost + declared);
        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN) {
            failUnpack(out.get());
        }
        if (!sized || declared > 0) {
            copyData(in.get(), out.get(), budget, declared, memberName);
        }
        // Finishing sets the modes and times and, for a file whose data ran short, fills it up:
        // a warning here is a file that is not as the archive says.
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
            const char* text = archive_error_string(out.get());
            failUnpack(fmt::format("{}: {}", logtext::excerpt(memberName),
                                   text != nullptr ? text : "write failed"));
        }
    }
    // Closing gives the folders their final modes, which may deny the owner a listing.
    checkLinksInside(root);
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        failUnpack(out.get());
    }
}

}  // namespace

BundleInfo readBundleInfo(const std::filesystem::path& infoPlist) {
    BundleInfo info;
    const auto refuse = [&](BundleInfo::Status status, std::string problem) {
        info.status = status;
        info.problem = fmt::format("{}: {}", pathToUtf8(infoPlist), problem);
        return info;
    };
    // Non-blocking, so that a FIFO or a device in its place cannot hold the launcher up; the
    // type is checked on the opened file, so nothing can be swapped in between.
    const FileDescriptor fd{
        ::open(infoPlist.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)};
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return info;
        }
        return refuse(BundleInfo::Status::unusable,
                      error == ELOOP ? "is a symbolic link" : std::strerror(error));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return refuse(BundleInfo::Status::unusable, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return refuse(BundleInfo::Status::unusable, "not a regular file");
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxInfoPlistSize) {
        return refuse(BundleInfo::Status::unusable,
                      fmt::format("{} bytes, more than {}", st.st_size, kMaxInfoPlistSize));
    }
    // The size may change under the reader: one byte more than the bound tells it grew.
    std::string data(static_cast<std::size_t>(kMaxInfoPlistSize) + 1, '\0');
    std::size_t length = 0;
    while (length < data.size()) {
        const ssize_t got = ::read(fd.get(), data.data() + length, data.size() - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return refuse(BundleInfo::Status::unusable, std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
    }
    if (length > kMaxInfoPlistSize) {
        return refuse(BundleInfo::Status::unusable, "grew while being read");
    }
    plist_t raw = nullptr;
    if (length > 0) {
        plist_from_memory(data.data(), static_cast<uint32_t>(length), &raw);
    }
    const PlistPtr root{raw};
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return refuse(BundleInfo::Status::malformed, "not a property list dictionary");
    }
    info.status = BundleInfo::Status::ok;
    info.version = stringItem(root.get(), kVersionKey);
    info.executable = stringItem(root.get(), "CFBundleExecutable");
    return info;
}

semver::version getCurrentVersion(const std::filesystem::path& directory) {
    semver::version result = semver::version::from_string("0.0.0");
    if (!std::filesystem::is_directory(directory)) {
        return result;
    }
    const std::filesystem::path app = directory / kBundleName;
    if (!std::filesystem::exists(app)) {
        return result;
    }
    const BundleInfo info = readBundleInfo(app / "Contents" / "Info.plist");
    if (info.status == BundleInfo::Status::unusable) {
        spdlog::error("Cannot read the installed version: {}", info.problem);
        return result;
    }
    const std::optional<std::string>& text = info.version;
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
    const bool created = !std::filesystem::exists(destination);
    if (created) {
        utils::sentry::sharedWrapper.setBreadcrumb(
            fmt::format("Path {} not found, creating it", pathToUtf8(destination)));
        // Private until it takes its place: nothing in it is anyone else's business.
        folders::createMissing(destination);
    }
    const std::filesystem::path source = std::filesystem::canonical(archivePath);
    const std::filesystem::path root = std::filesystem::canonical(destination);
    utils::sentry::sharedWrapper.setBreadcrumb(
        fmt::format("Unpacking {} into {}", pathToUtf8(source), pathToUtf8(root)));
    try {
        extractInto(source, root, created);
    } catch (...) {
        // What a failed unpacking wrote takes space and is of no use to anyone.
        if (created) {
            if (const std::error_code ec = removal::removeTree(root)) {
                spdlog::warn("Cannot remove the partly unpacked {}: {}", pathToUtf8(root),
                             ec.message());
            }
        }
        throw;
    }
}

}  // namespace zentravo
