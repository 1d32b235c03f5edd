#include "tree_removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "file_descriptor.hpp"
#include "log_text.hpp"
#include "paths.hpp"

namespace zentravo::removal {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDiscardedPrefix = ".discarded-";

// Listings kept open on the way down; deeper folders are found again through "..", so a tree of
// any depth needs at most this many descriptors (plus two).
constexpr std::size_t kOpenListings = 16;

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// One folder on the way from the top of the tree to the one being emptied.
struct Level {
    std::string name;  // in the folder above
    dev_t device = 0;
    ino_t inode = 0;
    DirStream listing{};     // null once closed to bound the descriptors
    bool holdsKept = false;  // something below stays: another file system's, or a mount
};

// The file system a folder is on and, where the kernel tells it, the mount it is reached
// through: a bind mount of the same file system has the same device but a mount of its own.
struct Place {
    dev_t device = 0;
    ino_t inode = 0;
    std::optional<std::uint64_t> mount{};
};

// What stays, by device, inode and mount: mount points and the folders above them. Met again
// through a listing opened anew, they are passed over (and logged once).
using Kept = std::set<std::tuple<dev_t, ino_t, std::uint64_t>>;

std::tuple<dev_t, ino_t, std::uint64_t> keyOf(const Place& place) {
    return {place.device, place.inode, place.mount.value_or(0)};
}

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// Whether `st` is not the folder `expected` describes (when one is).
bool otherThan(const struct stat& st, const struct stat* expected) {
    return expected != nullptr && (st.st_dev != expected->st_dev || st.st_ino != expected->st_ino);
}

// Opens a listing of the folder `fd` for `level`, with owner access ensured where the folder is
// this user's own (another user's is left as it is: root needs no access bits, and nobody else
// may change them), and notes the folder's identity. A folder other than `expected` (when
// given) is left untouched.
std::error_code openListing(FileDescriptor fd, Level& level,
                            const struct stat* expected = nullptr) {
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return lastError();
    }
    if (otherThan(st, expected)) {
        return std::make_error_code(std::errc::device_or_resource_busy);
    }
    if (st.st_uid == ::geteuid() && (st.st_mode & S_IRWXU) != S_IRWXU &&
        ::fchmod(fd.get(), (st.st_mode & 07777) | S_IRWXU) != 0) {
        return lastError();
    }
    level.device = st.st_dev;
    level.inode = st.st_ino;
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) {
        return lastError();
    }
    (void)fd.release();  // the listing owns it now
    level.listing.reset(dir);
    return {};
}

std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Where `name` in the folder `dir` is (`dir` itself for ""), links not followed: a mount point
// tells the mounted folder's place.
std::optional<Place> placeOf(int dir, const char* name) {
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name == '\0' ? AT_EMPTY_PATH : 0);
    struct statx sx {};
    if (::statx(dir, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &sx) == 0) {
        Place place{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino, std::nullopt};
        if ((sx.stx_mask & STATX_MNT_ID) != 0) {
            place.mount = sx.stx_mnt_id;
        }
        return place;
    }
    if (errno != ENOSYS) {
        return std::nullopt;
    }
    // Kernels without statx: the device alone tells another file system.
    struct stat st {};
    if (::fstatat(dir, name, &st, flags) != 0) {
        return std::nullopt;
    }
    return Place{st.st_dev, st.st_ino, std::nullopt};
}

bool elsewhere(const Place& place, const Place& top) {
    return place.device != top.device || (place.mount && top.mount && *place.mount != *top.mount);
}

// Logs that the mount point `name` in the folder `dir` stays, as removals never leave the file
// system and the mount they began on.
void logKept(int dir, const char* name) {
    std::error_code ec;
    const fs::path above = fs::read_symlink(procPath(dir), ec);
    spdlog::warn("Kept the mount point '{}' and what is mounted there",
                 logtext::escape(pathToUtf8(above / name)));
}

// A folder of this user's own that denies its owner entry is opened up first: the launcher made
// it, from an archive. The mode is changed on the folder found by a descriptor that never follows
// a link (chmod through /proc acts on the opened folder itself, as fchmod cannot on such a
// descriptor), and that same folder is opened then, whatever takes its name meanwhile. A folder
// other than `expected` (when given) is not opened up.
FileDescriptor openFolder(int parent, const char* name, const struct stat* expected = nullptr) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    FileDescriptor fd{::openat(parent, name, kFlags)};
    if (fd || errno != EACCES) {
        return fd;
    }
    const FileDescriptor found{
        ::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (!found || ::fstat(found.get(), &st) != 0) {
        return FileDescriptor{};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        errno = EACCES;
        return FileDescriptor{};
    }
    if (otherThan(st, expected)) {
        errno = EBUSY;
        return FileDescriptor{};
    }
    const std::string opened = procPath(found.get());
    if (::chmod(opened.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0) {
        return FileDescriptor{};
    }
    return FileDescriptor{::open(opened.c_str(), kFlags & ~O_NOFOLLOW)};
}

bool isFolder(int parent, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) {
        return entry.d_type == DT_DIR;
    }
    struct stat st {};
    return ::fstatat(parent, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Empties and removes the folder `name` in `top`, depth first, one level at a time; when
// `expected` is given, only if the folder found there is that one.
std::error_code removeFolder(int top, const std::string& name, const struct stat* expected) {
    std::vector<Level> levels;
    levels.push_back(Level{name});
    if (const auto ec =
            openListing(openFolder(top, name.c_str(), expected), levels.back(), expected)) {
        return ec;
    }
    const std::optional<Place> origin = placeOf(::dirfd(levels.back().listing.get()), "");
    if (!origin) {
        return lastError();
    }
    Kept kept;
    while (!levels.empty()) {
        DIR* listing = levels.back().listing.get();
        const int fd = ::dirfd(listing);
        bool descended = false;
        errno = 0;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string_view entryName{entry->d_name};
            if (entryName == "." || entryName == "..") {
                continue;
            }
            if (isFolder(fd, *entry)) {
                const std::optional<Place> place = placeOf(fd, entry->d_name);
                if (!place) {
                    return lastError();
                }
                if (elsewhere(*place, *origin) || kept.contains(keyOf(*place))) {
                    if (kept.insert(keyOf(*place)).second) {
                        logKept(fd, entry->d_name);
                    }
                    levels.back().holdsKept = true;
                    errno = 0;
                    continue;
                }
                // The folder opened is the one just looked at, whatever takes its name meanwhile.
                struct stat looked {};
                looked.st_dev = place->device;
                looked.st_ino = place->inode;
                Level child{std::string{entryName}};
                if (const auto ec =
                        openListing(openFolder(fd, entry->d_name, &looked), child, &looked)) {
                    return ec;
                }
                levels.push_back(std::move(child));
                if (levels.size() > kOpenListings) {
                    levels[levels.size() - kOpenListings - 1].listing.reset();
                }
                descended = true;
                break;
            }
            if (::unlinkat(fd, entry->d_name, 0) != 0 && errno != ENOENT) {
                // A file can be a mount point too.
                if (errno != EBUSY) {
                    return lastError();
                }
                if (const auto place = placeOf(fd, entry->d_name);
                    !place || kept.insert(keyOf(*place)).second) {
                    logKept(fd, entry->d_name);
                }
                levels.back().holdsKept = true;
            }
            errno = 0;
        }
        if (descended) {
            continue;
        }
        if (errno != 0) {
            return lastError();
        }
        // Empty now, but for what stays (then it stays too). It is removed from the folder above,
        // opened again through ".." where that listing was closed and recognised by its identity: a
        // folder moved meanwhile cannot lead the removal elsewhere.
        if (levels.size() == 1) {
            const bool incomplete = levels.back().holdsKept;
            levels.clear();
            if (incomplete) {
                return std::make_error_code(std::errc::device_or_resource_busy);
            }
            if (::unlinkat(top, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
                return lastError();
            }
            return {};
        }
        Level& parent = levels[levels.size() - 2];
        if (!parent.listing) {
            FileDescriptor up{::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
            struct stat st {};
            if (!up || ::fstat(up.get(), &st) != 0) {
                return lastError();
            }
            if (st.st_dev != parent.device || st.st_ino != parent.inode) {
                return std::make_error_code(std::errc::device_or_resource_busy);
            }
            if (const auto ec = openListing(std::move(up), parent)) {
                return ec;
            }
        }
        if (levels.back().holdsKept) {
            kept.insert(keyOf(Place{levels.back().device, levels.back().inode, origin->mount}));
            levels.pop_back();
            levels.back().holdsKept = true;
            continue;
        }
        const std::string childName = std::move(levels.back().name);
        levels.pop_back();
        if (::unlinkat(::dirfd(levels.back().listing.get()), childName.c_str(), AT_REMOVEDIR) !=
                0 &&
            errno != ENOENT) {
            return lastError();
        }
    }
    return {};
}

}  // namespace

std::error_code removeTree(const fs::path& path) noexcept {
    try {
        fs::path target = path;
        if (!target.has_filename()) {
            target = target.parent_path();
        }
        const std::string name = target.filename().native();
        if (name.empty() || name == "." || name == "..") {
            return std::make_error_code(std::errc::invalid_argument);
        }
        const fs::path above = target.has_parent_path() ? target.parent_path() : fs::path{"."};
        const FileDescriptor parent{::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        if (!parent) {
            return errno == ENOENT ? std::error_code{} : lastError();
        }
        struct stat st {};
        if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT ? std::error_code{} : lastError();
        }
        if (!S_ISDIR(st.st_mode)) {
            return ::unlinkat(parent.get(), name.c_str(), 0) != 0 && errno != ENOENT
                       ? lastError()
                       : std::error_code{};
        }
        return removeFolder(parent.get(), name, nullptr);
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

std::error_code removeFolderAt(int parent, const std::string& name,
                               const struct stat& expected) noexcept {
    try {
        return removeFolder(parent, name, &expected);
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

std::error_code removeOrDiscard(const fs::path& path) {
    const std::error_code removed = removeTree(path);
    if (!removed) {
        return removed;
    }
    // A new empty folder of a name of its own, which the rename then replaces.
    std::string aside = (path.parent_path() /
                         (std::string{kDiscardedPrefix} + path.filename().native() + "-XXXXXX"))
                            .native();
    if (::mkdtemp(aside.data()) == nullptr) {
        throw fs::filesystem_error{"cannot set aside", path, lastError()};
    }
    if (::rename(path.c_str(), aside.c_str()) != 0) {
        const std::error_code failed = lastError();
        ::rmdir(aside.c_str());
        throw fs::filesystem_error{"cannot set aside", path, fs::path{aside}, failed};
    }
    return removed;
}

std::error_code removeDiscarded(const fs::path& folder) noexcept {
    std::error_code first;
    try {
        std::error_code ec;
        for (fs::directory_iterator it{folder, ec}, end; !ec && it != end; it.increment(ec)) {
            if (!it->path().filename().native().starts_with(kDiscardedPrefix)) {
                continue;
            }
            if (const auto failed = removeTree(it->path()); failed && !first) {
                first = failed;
            }
        }
        if (ec && ec != std::errc::no_such_file_or_directory && !first) {
            first = ec;
        }
    } catch (const std::bad_alloc&) {
        first = std::make_error_code(std::errc::not_enough_memory);
    }
    return first;
}

}  // namespace zentravo::removal
