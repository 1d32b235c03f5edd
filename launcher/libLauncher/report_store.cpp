#include "report_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "file_descriptor.hpp"

namespace zentravo::tracker::store {

namespace {
constexpr std::size_t kBlockBytes = 64 * 1024;
}  // namespace

ReadResult readFile(const std::filesystem::path& file, std::size_t maxBytes,
                    const std::atomic<bool>* stop) {
    // O_NONBLOCK: a FIFO put in the folder must not hold the reader in open().
    const FileDescriptor fd{
        ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        return {ReadStatus::unusable, {}};
    }
    if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > maxBytes) {
        return {ReadStatus::tooLarge, {}};
    }
    ReadResult result{ReadStatus::ok, {}};
    std::string& content = result.content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    // The size is looked at again while reading: the file may grow after fstat.
    for (;;) {
        if (stop != nullptr && stop->load()) {
            return {ReadStatus::stopped, {}};
        }
        const std::size_t used = content.size();
        const std::size_t want = std::min(kBlockBytes, maxBytes + 1 - used);
        content.resize(used + want);
        const ssize_t n = ::read(fd.get(), content.data() + used, want);
        if (n < 0 && errno == EINTR) {
            content.resize(used);
            continue;
        }
        if (n < 0) {
            return {ReadStatus::unusable, {}};
        }
        content.resize(used + static_cast<std::size_t>(n));
        if (content.size() > maxBytes) {
            return {ReadStatus::tooLarge, {}};
        }
        if (n == 0) {
            return result;
        }
    }
}

bool writeFile(const std::filesystem::path& target, std::string_view content) {
    const std::filesystem::path temporary = std::filesystem::path{target}.concat(".tmp");
    FileDescriptor fd{::open(temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             S_IRUSR | S_IWUSR)};
    if (!fd && errno == EEXIST) {
        // A writer that ended half-way left it; the name is this report's own.
        ::unlink(temporary.c_str());
        fd = FileDescriptor{::open(temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   S_IRUSR | S_IWUSR)};
    }
    if (!fd) {
        return false;
    }
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace zentravo::tracker::store
