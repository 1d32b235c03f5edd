#pragma once

// The files of the error-report folder, read and written with the care a folder that may lie in
// the shared temporary folder needs: only regular files of this user are read, never through a
// link and never more than a report can hold; what is written is closed to others.

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace zentravo::tracker::store {

// Above anything the launcher writes (an event: a 64 KiB scope, a few dozen breadcrumbs and one
// stack; a crash report: the same scope and the process's memory map, a few hundred KiB), and
// the most the tracker takes for one event. A larger file was not written here to be sent.
inline constexpr std::size_t kMaxReportBytes = 1024 * 1024;

enum class ReadStatus { ok, unusable, tooLarge, stopped };

struct ReadResult {
    ReadStatus status = ReadStatus::unusable;
    std::string content;  // set when ok
};

// The whole of `file` when it is a regular file of this user (a link is not followed) of at most
// `maxBytes`. A set `stop` ends the read between blocks.
[[nodiscard]] ReadResult readFile(const std::filesystem::path& file, std::size_t maxBytes,
                                  const std::atomic<bool>* stop = nullptr);

// Writes `content` into `target`, mode 0600, through "<target>.tmp" so that a reader never sees
// half of it. False when it could not be written whole; nothing is left behind then.
[[nodiscard]] bool writeFile(const std::filesystem::path& target, std::string_view content);

}  // namespace zentravo::tracker::store
