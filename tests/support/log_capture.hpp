#pragma once

// Installs a ring-buffer sink as spdlog's default logger for the lifetime of the object, so a test
// can look at the exact lines a unit logged ("<level> <text>", e.g. "warning Unable to ...").

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class LogCapture {
  public:
    explicit LogCapture(std::size_t capacity = 512)
        : sink_{std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(capacity)},
          previous_{spdlog::default_logger()} {
        sink_->set_pattern("%l %v");
        auto logger = std::make_shared<spdlog::logger>("log_capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    [[nodiscard]] std::vector<std::string> lines() const {
        auto all = sink_->last_formatted();
        for (auto& line : all) {
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
        }
        return all;
    }

    [[nodiscard]] bool contains(std::string_view line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

    [[nodiscard]] bool containsPrefix(std::string_view prefix) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const std::string& line) {
            return std::string_view{line}.substr(0, prefix.size()) == prefix;
        });
    }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};
