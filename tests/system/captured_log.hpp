#pragma once
// Routes the default logger into memory for one test.

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

class CapturedLog {
  public:
    CapturedLog()
        : sink_{std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)},
          previous_{spdlog::default_logger()} {
        auto logger = std::make_shared<spdlog::logger>("captured", sink_);
        logger->set_level(spdlog::level::trace);
        logger->set_pattern("%l %v");
        spdlog::set_default_logger(logger);
    }
    ~CapturedLog() { spdlog::set_default_logger(previous_); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // Lines as "<level> <text>".
    [[nodiscard]] std::vector<std::string> lines() const { return sink_->last_formatted(); }
    [[nodiscard]] bool contains(const std::string& line) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& text) { return text.starts_with(line); });
    }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};
