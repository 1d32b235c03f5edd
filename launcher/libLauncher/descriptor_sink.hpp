#pragma once

#include <filesystem>
#include <mutex>
#include <utility>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>

#include "file_descriptor.hpp"

namespace zentravo::logging {

// Opens `file` for a fresh log: the missing folders are made (0700), the file is created 0600 (or
// made 0600 and emptied), never through a link, and only a regular file of this user is taken;
// a file that is refused is left as it was.
// Throws spdlog::spdlog_ex when that cannot be done.
[[nodiscard]] FileDescriptor openPrivateLogFile(const std::filesystem::path& file);

// Writes each record straight to an open file: the file that was checked is the file written,
// whatever becomes of its name later. Records reach the file when the logging call returns.
class DescriptorSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit DescriptorSink(FileDescriptor file) : file_{std::move(file)} {}

  protected:
    void sink_it_(const spdlog::details::log_msg& message) override;
    void flush_() override {}

  private:
    FileDescriptor file_;
};

}  // namespace zentravo::logging
