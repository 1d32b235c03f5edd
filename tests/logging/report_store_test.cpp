// The error-report folder as a hostile or broken one may be: oversized entries, links, partial
// files, and what the tracker writes there itself. The real tracker against the local sink.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crash_handler.hpp"
#include "error_sink.hpp"
#include "error_tracker.hpp"
#include "probe_process.hpp"
#include "scratch_folder.hpp"
#include "sentry_wrapper.hpp"

namespace fs = std::filesystem;
using json = nlohmann::json;
using fixtures::ErrorSink;
using zentravo::utils::sentry::Wrapper;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 60s;

std::vector<fs::path> entriesEndingWith(const fs::path& folder, std::string_view end) {
    std::vector<fs::path> out;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().filename().string().ends_with(end)) {
            out.push_back(entry.path());
        }
    }
    return out;
}

// Deliveries are followed by the removal of the stored file: once none is left, all went out.
bool becomesEmpty(const fs::path& folder, std::string_view end) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!entriesEndingWith(folder, end).empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A stored event as an earlier run leaves it, its message `text`.
void storeEnvelope(const fs::path& file, const std::string& text) {
    const json event = {{"event_id", zentravo::tracker::detail::newEventId()},
                        {"message", {{"formatted", text}}}};
    std::ofstream(file, std::ios::binary) << zentravo::tracker::detail::makeEnvelope(event, "");
}

// Last change `age` ago, for the file itself and not a link's target.
void setAge(const fs::path& file, std::chrono::seconds age) {
    timespec times[2]{};
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= age.count();
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << file;
}

std::vector<std::string> messages(const std::vector<ErrorSink::Record>& records) {
    std::vector<std::string> out;
    for (const auto& record : records) {
        const json event = record.event();
        out.push_back(event.is_object() ? event["message"].value("formatted", "") : "");
    }
    return out;
}

void start(Wrapper& wrapper, const std::string& dsn, const fs::path& database) {
    wrapper.setDsnOption(dsn);
    wrapper.setPathToDatabaseOption(database);
    wrapper.initOptions();
}

class ReportStore : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(database, ec); }
    fixture::ScratchFolder temp;
    fs::path database = temp.path() / "reports";
    std::error_code ec;
};

// A 2 GB entry (sparse: it takes no disk) is removed unread: the other reports still go out,
// memory stays small, and closing does not wait for it.
TEST_F(ReportStore, OversizedEntryIsRemovedUnreadWithoutHoldingUpTheOthersOrTheExit) {
    const auto makeHuge = [&] {
        const fs::path huge = database / "huge.envelope";
        std::ofstream(huge) << "{}\n";
        fs::resize_file(huge, 2LL << 30);
        setAge(huge, 3600s);  // oldest: first in line
    };
    makeHuge();
    for (int i = 0; i < 3; ++i) {
        const fs::path file = database / ("kept-" + std::to_string(i) + ".envelope");
        storeEnvelope(file, "kept " + std::to_string(i));
        setAge(file, std::chrono::seconds{100 - i});
    }
    {
        const ErrorSink sink;
        Wrapper wrapper;
        start(wrapper, sink.dsn(), database);
        const auto records = sink.waitFor(3, kWait);
        EXPECT_EQ(messages(records), (std::vector<std::string>{"kept 0", "kept 1", "kept 2"}))
            << "stored reports go out oldest first; the huge one is not among them";
        EXPECT_TRUE(becomesEmpty(database, ".envelope"));
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 256L * 1024) << "kB: the entry was read";

    // Closed at once, on the same folder: the exit does not wait for the entry.
    makeHuge();
    const auto result =
        probe::run({LOGGING_PROBE, "store", "https://k@127.0.0.1:9/1", database.string()});
    long long closeMs = -1;
    long maxRssKb = -1;
    ASSERT_EQ(
        std::sscanf(result.output.c_str(), "close_ms %lld maxrss_kb %ld", &closeMs, &maxRssKb), 2)
        << result.output;
    EXPECT_LT(closeMs, 5000);
    EXPECT_LT(maxRssKb, 256L * 1024);
    RecordProperty("close_ms", static_cast<int>(closeMs));
}

// A link among the reports is removed, and what it points to is neither read nor sent.
TEST_F(ReportStore, LinksAreRemovedWithoutReadingTheirTargets) {
    const fs::path secret = temp.path() / "secret.envelope";
    storeEnvelope(secret, "TOPSECRET");
    const fs::path crashTarget = temp.path() / "secret.crash";
    std::ofstream(crashTarget) << "zentravo-crash 1\nsignal 11\naddress 0x0\ntime 1 2\n"
                               << "scope 29\n{\"message\":{\"formatted\":\"X\"}}\nframes 0\nmaps\n";
    ASSERT_TRUE(zentravo::tracker::crash::readReport(crashTarget)) << "a valid report";
    fs::create_symlink(secret, database / "link.envelope");
    fs::create_symlink(crashTarget, database / "link.crash");
    setAge(database / "link.envelope", 3600s);
    setAge(database / "link.crash", 3600s);
    storeEnvelope(database / "real.envelope", "real");

    const ErrorSink sink;
    Wrapper wrapper;
    start(wrapper, sink.dsn(), database);
    ASSERT_FALSE(sink.waitFor(1, kWait).empty());
    // The real report is the newest: once it is out, the older entries have been dealt with.
    EXPECT_TRUE(becomesEmpty(database, ".envelope"));
    EXPECT_EQ(messages(sink.records()), std::vector<std::string>{"real"});
    EXPECT_FALSE(fs::exists(fs::symlink_status(database / "link.envelope")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(database / "link.crash")));
    EXPECT_TRUE(fs::exists(secret));
    EXPECT_TRUE(fs::exists(crashTarget));
}

// Unsent events are kept for the next start readable by their owner only, whatever the umask.
TEST_F(ReportStore, KeptEventsAreClosedToOthers) {
    const mode_t previous = ::umask(022);
    {
        Wrapper wrapper;
        start(wrapper, "https://k@127.0.0.1:9/1", database);  // nothing listens on port 9
        wrapper.sendException("Install failed", "kept for later");
    }
    ::umask(previous);
    const auto kept = entriesEndingWith(database, ".envelope");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(fs::status(kept.front()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(entriesEndingWith(database, ".tmp").empty());
}

// Partial files ("*.tmp", written before the rename into place) left by a process that ended
// half-way are removed; recent ones may still be written by another run and are left, but
// count against the cap of 100 stored reports.
TEST_F(ReportStore, PartialFilesAreRemovedWhenLeftOverAndCountAgainstTheCap) {
    struct Case {
        const char* name;
        int reports;
        int partial;
        std::chrono::seconds partialAge;
        std::size_t sent;
        std::size_t partialLeft;
    };
    const Case cases[] = {
        {"left over", 3, 120, 3600s, 3, 0},
        {"being written", 100, 5, 0s, 95, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = temp.path() / c.name;
        fs::create_directories(folder);
        for (int i = 0; i < c.reports; ++i) {
            const fs::path file = folder / ("report-" + std::to_string(i) + ".envelope");
            storeEnvelope(file, "report " + std::to_string(i));
            setAge(file, std::chrono::seconds{7200 - i});
        }
        for (int i = 0; i < c.partial; ++i) {
            const fs::path file =
                folder / (i == 0 ? "crash-1-2.tmp" : "p-" + std::to_string(i) + ".envelope.tmp");
            std::ofstream(file) << "half";
            setAge(file, c.partialAge);
        }
        const ErrorSink sink;
        Wrapper wrapper;
        start(wrapper, sink.dsn(), folder);
        EXPECT_EQ(sink.waitFor(c.sent, kWait).size(), c.sent);
        EXPECT_TRUE(becomesEmpty(folder, ".envelope"));
        const auto sent = messages(sink.records());
        EXPECT_EQ(sent.size(), c.sent);
        if (!sent.empty()) {
            EXPECT_EQ(sent.front(), "report " + std::to_string(c.reports - c.sent))
                << "the oldest go first";
        }
        EXPECT_EQ(entriesEndingWith(folder, ".tmp").size(), c.partialLeft);
    }
}

}  // namespace
