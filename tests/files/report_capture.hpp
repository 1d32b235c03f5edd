#pragma once

// Points the process's error-report wrapper at a local error-tracker sink, so a test can see the
// reports and breadcrumbs a unit produced. One per test process: the wrapper starts only once.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "error_sink.hpp"
#include "scratch_folder.hpp"
#include "sentry_wrapper.hpp"

namespace files_test {

struct Report {
    std::string title;
    std::string detail;
    bool operator==(const Report&) const = default;
};

inline void PrintTo(const Report& report, std::ostream* out) {
    *out << "{" << report.title << " / " << report.detail << "}";
}

struct Reported {
    std::vector<Report> reports;           // exception reports, oldest first
    std::vector<std::string> breadcrumbs;  // the last breadcrumbs at the time of collect()
};

class ReportCapture {
  public:
    ReportCapture() {
        auto& wrapper = zentravo::utils::sentry::sharedWrapper;
        wrapper.setDsnOption(sink_.dsn());
        wrapper.setVersionOption("1.6.24");
        wrapper.setEnvironmentOption("test");
        wrapper.setPathToDatabaseOption(database_.path() / "reports");
        wrapper.initOptions();
    }

    // Everything reported so far. A marker message closes the list: events leave in order, so
    // once it has arrived every earlier report has too.
    [[nodiscard]] Reported collect() {
        const std::string marker = "report capture marker " + std::to_string(++markers_);
        zentravo::utils::sentry::sharedWrapper.sendMessage(marker);
        Reported seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{20};
        for (std::size_t count = 1; std::chrono::steady_clock::now() < deadline;) {
            const auto records = sink_.waitFor(count, std::chrono::milliseconds{200});
            count = records.size() + 1;
            for (const auto& record : records) {
                const nlohmann::json event = record.event();
                if (!event.is_object() ||
                    event.value(nlohmann::json::json_pointer{"/message/formatted"},
                                std::string{}) != marker) {
                    continue;
                }
                for (const auto& other : records) {
                    const nlohmann::json e = other.event();
                    if (e.is_object() && e.contains("exception")) {
                        const auto& value = e["exception"]["values"][0];
                        seen.reports.push_back({value.value("type", ""), value.value("value", "")});
                    }
                }
                for (const auto& crumb : event.value("breadcrumbs", nlohmann::json::array())) {
                    seen.breadcrumbs.push_back(crumb.value("message", ""));
                }
                return seen;
            }
        }
        ADD_FAILURE() << "the error-tracker sink got no marker";
        return seen;
    }

  private:
    fixture::ScratchFolder database_;
    fixtures::ErrorSink sink_;
    int markers_ = 0;
};

}  // namespace files_test
