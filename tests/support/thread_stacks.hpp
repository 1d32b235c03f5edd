#pragma once
// What the threads of a process that did not end in time are doing, so that a stall can be told
// from a slow machine: the kernel's view of each thread (state, CPU time, where it waits), which
// needs no tracing, and each thread's stack as gdb reads it.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "mainapp_fixture.hpp"

namespace fixture {

namespace stacks_detail {

inline std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in{file};
    std::string line;
    std::getline(in, line);
    return line;
}

// "<tid> <name>: state S, 12+3 ticks, waits in <wchan>", from /proc.
inline std::string threadLine(const std::filesystem::path& task) {
    const std::string stat = firstLine(task / "stat");
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return task.filename().string() + ": gone";
    }
    std::istringstream rest{stat.substr(close + 2)};
    std::vector<std::string> fields{std::istream_iterator<std::string>{rest}, {}};
    // After the name: state is field 3 of stat, utime and stime fields 14 and 15.
    const auto field = [&](std::size_t number) {
        return number - 3 < fields.size() ? fields[number - 3] : std::string{"?"};
    };
    std::string line = task.filename().string() + " " + stat.substr(open, close - open + 1) +
                       ": state " + field(3) + ", " + field(14) + "+" + field(15) + " ticks";
    if (const std::string wchan = firstLine(task / "wchan"); !wchan.empty() && wchan != "0") {
        line += ", waits in " + wchan;
    }
    return line;
}

}  // namespace stacks_detail

// The report on process `pid`: one line per thread, then gdb's backtrace of every thread (gdb
// attaches, reads and detaches; the process goes on as it was).
inline std::string threadStacks(pid_t pid) {
    namespace fs = std::filesystem;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::string report = "Threads of process " + std::to_string(pid) + " (" +
                         stacks_detail::firstLine(proc / "comm") + "):\n";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator{proc / "task", ec}) {
        report += "  " + stacks_detail::threadLine(task.path()) + "\n";
    }
    if (ec) {
        return report + "  (" + ec.message() + ")\n";
    }
    const fs::path gdb = "/usr/bin/gdb";
    if (!fs::exists(gdb)) {
        return report + "No stacks: " + gdb.string() + " is not installed\n";
    }
    std::string pattern = (fs::temp_directory_path() / "thread-stacks-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        return report + "No stacks: no temporary file\n";
    }
    ::close(fd);
    bool read = false;
    try {
        ChildProcess reader{
            {gdb.string(), "-nx", "-batch", "-iex", "set debuginfod enabled off", "-iex",
             "set pagination off", "-p", std::to_string(pid), "-ex", "thread apply all bt"},
            {},
            {.output = pattern}};
        read = reader.waitExit(std::chrono::seconds{120}) == 0;  // killed when it did not end
    } catch (const std::runtime_error&) {
    }
    std::ifstream in{pattern};
    report += std::string{std::istreambuf_iterator<char>{in}, {}};
    if (!read) {
        report += "(gdb did not finish)\n";
    }
    fs::remove(pattern, ec);
    return report;
}

// Writes the report on `pid` to standard error, headed by `why`.
inline void printThreadStacks(pid_t pid, const std::string& why) {
    std::cerr << why << "\n" << threadStacks(pid) << std::flush;
}

}  // namespace fixture
