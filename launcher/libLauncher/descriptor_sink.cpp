#include "descriptor_sink.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>
#include <system_error>

#include <spdlog/common.h>

#include "paths.hpp"
#include "private_folder.hpp"

namespace zentravo::logging {

FileDescriptor openPrivateLogFile(const std::filesystem::path& file) {
    const std::string name = pathToUtf8(file);
    try {
        folders::createMissing(file.parent_path());
    } catch (const std::exception&) {  // a folder that cannot be made shows in the open below
    }
    // Without blocking: a FIFO put in its place must not hold the start-up.
    FileDescriptor fd;
    do {
        fd = FileDescriptor{
            ::open(file.c_str(),
                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600)};
    } while (!fd && errno == EINTR);
    if (!fd) {
        spdlog::throw_spdlog_ex("Failed opening file " + name + " for writing", errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        spdlog::throw_spdlog_ex("Failed checking file " + name, errno);
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        spdlog::throw_spdlog_ex("Not a file of this user's: " + name);
    }
    // The log tells what the user does and where from: a file left by an older start is made
    // private too.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0 || flags < 0 ||
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        spdlog::throw_spdlog_ex("Failed making file " + name + " private", errno);
    }
    // Emptied only now that it is known to be this user's file: one that is refused keeps what
    // it holds.
    if (::ftruncate(fd.get(), 0) != 0) {
        spdlog::throw_spdlog_ex("Failed emptying file " + name, errno);
    }
    return fd;
}

void DescriptorSink::sink_it_(const spdlog::details::log_msg& message) {
    spdlog::memory_buf_t formatted;
    formatter_->format(message, formatted);
    const char* data = formatted.data();
    std::size_t left = formatted.size();
    while (left > 0) {
        const ssize_t written = ::write(file_.get(), data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            spdlog::throw_spdlog_ex("Failed writing to the log file", errno);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace zentravo::logging
