#include "crash_handler.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <sstream>

#include "report_store.hpp"

namespace zentravo::tracker::crash {
namespace {

constexpr std::array kSignals{SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxFrames = 128;
constexpr std::string_view kMagic = "zentravo-crash 1\n";

// Everything the handler reads is laid out ahead of time: it may not allocate or lock.
struct HandlerState {
    std::array<char, PATH_MAX> directory{};
    std::size_t directoryLength = 0;
    bool reraise = true;

    // Two scope buffers: writers fill the idle one and then publish it, so the handler always
    // reads a complete text.
    std::array<std::array<char, kMaxScopeBytes>, 2> scope{};
    std::array<std::atomic<std::size_t>, 2> scopeLength{};
    std::atomic<int> activeScope{0};
    std::atomic<bool> crashing{false};
    std::atomic<bool> handling{false};

    std::array<struct sigaction, kSignals.size()> previous{};
    bool installed = false;
    bool ownAltStack = false;
    pthread_t altStackThread{};
};

HandlerState& handlerState() {
    // Never destroyed: a crash during static destruction must still find it.
    static auto* state = new HandlerState;  // NOLINT(cppcoreguidelines-owning-memory)
    return *state;
}

std::mutex& installMutex() {
    static std::mutex mutex;
    return mutex;
}

// The alternate stack lives for the whole process: the thread that got it may still run on it.
alignas(16) std::array<char, 256 * 1024> gAltStack;

// Lower-case hex digits of `value`, most significant first, without leading zeros; their count.
std::size_t hexDigits(std::uint64_t value, char (&out)[16]) {
    std::size_t n = 0;
    for (std::uint64_t rest = value; n == 0 || rest != 0; rest >>= 4) {
        ++n;
    }
    for (std::size_t i = n; i > 0; --i, value >>= 4) {
        out[i - 1] = "0123456789abcdef"[value & 0xF];
    }
    return n;
}

// Async-signal-safe output: a fixed buffer flushed with write(2).
class SafeWriter {
  public:
    explicit SafeWriter(int fd) : fd_(fd) {}
    SafeWriter(const SafeWriter&) = delete;
    SafeWriter& operator=(const SafeWriter&) = delete;
    ~SafeWriter() { flush(); }

    void text(const char* data, std::size_t size) {
        while (size > 0) {
            if (used_ == buffer_.size()) {
                flush();
            }
            const std::size_t chunk = std::min(size, buffer_.size() - used_);
            std::memcpy(buffer_.data() + used_, data, chunk);
            used_ += chunk;
            data += chunk;
            size -= chunk;
        }
    }
    void text(std::string_view s) { text(s.data(), s.size()); }
    void decimal(std::int64_t value) {
        char digits[24];
        std::size_t n = 0;
        const bool negative = value < 0;
        auto magnitude = negative ? static_cast<std::uint64_t>(-(value + 1)) + 1
                                  : static_cast<std::uint64_t>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (negative) {
            text("-", 1);
        }
        while (n > 0) {
            text(&digits[--n], 1);
        }
    }
    void hex(std::uint64_t value) {
        char digits[16];
        text("0x", 2);
        text(digits, hexDigits(value, digits));
    }
    void flush() {
        std::size_t done = 0;
        while (done < used_) {
            const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        used_ = 0;
    }

  private:
    int fd_;
    std::array<char, 4096> buffer_{};
    std::size_t used_ = 0;
};

// A path built in a fixed buffer; false when it does not fit.
struct SafePath {
    std::array<char, PATH_MAX> data{};
    std::size_t length = 0;
    bool append(const char* s, std::size_t n) {
        if (length + n + 1 > data.size()) {
            return false;
        }
        std::memcpy(data.data() + length, s, n);
        length += n;
        data[length] = '\0';
        return true;
    }
    bool appendHex(std::uint64_t value) {
        char digits[16];
        return append(digits, hexDigits(value, digits));
    }
};

std::uint64_t programCounter(const void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
    if (uc == nullptr) {
        return 0;
    }
#if defined(__x86_64__)
    return static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uint64_t>(uc->uc_mcontext.pc);
#else
    return 0;
#endif
}

void writeReport(int signo, const siginfo_t* info, const void* context) {
    HandlerState& state = handlerState();

    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    const std::uint64_t pc = programCounter(context);
    // Drop the handler's own frames: the crashing frame is the one at the interrupted pc.
    int first = 0;
    for (int i = 0; i < count; ++i) {
        if (reinterpret_cast<std::uint64_t>(frames[i]) == pc) {
            first = i;
            break;
        }
    }

    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);

    SafePath tmp;
    tmp.append(state.directory.data(), state.directoryLength);
    bool fits = tmp.append("/crash-", 7) && tmp.appendHex(static_cast<std::uint64_t>(::getpid())) &&
                tmp.append("-", 1) &&
                tmp.appendHex(static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
                              static_cast<std::uint64_t>(now.tv_nsec));
    SafePath final = tmp;
    fits = fits && final.append(kReportExtension.data(), kReportExtension.size()) &&
           tmp.append(".tmp", 4);
    if (!fits) {
        return;
    }
    const int fd = ::open(tmp.data.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    {
        SafeWriter out(fd);
        out.text(kMagic);
        out.text("signal ");
        out.decimal(signo);
        out.text("\naddress ");
        out.hex(reinterpret_cast<std::uint64_t>(info != nullptr ? info->si_addr : nullptr));
        out.text("\ntime ");
        out.decimal(now.tv_sec);
        out.text(" ");
        out.decimal(now.tv_nsec);
        const int active = state.activeScope.load();
        const std::size_t length = state.scopeLength[active].load();
        out.text("\nscope ");
        out.decimal(static_cast<std::int64_t>(length));
        out.text("\n");
        out.text(state.scope[active].data(), length);
        out.text("\nframes ");
        const bool pcFound = count > 0 && reinterpret_cast<std::uint64_t>(frames[first]) == pc;
        out.decimal(count - first + (pcFound || pc == 0 ? 0 : 1));
        out.text("\n");
        if (!pcFound && pc != 0) {
            out.hex(pc);
            out.text("\n");
        }
        for (int i = first; i < count; ++i) {
            out.hex(reinterpret_cast<std::uint64_t>(frames[i]));
            out.text("\n");
        }
        out.text("maps\n");
        out.flush();
        const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
        if (maps >= 0) {
            char chunk[4096];
            for (;;) {
                const ssize_t n = ::read(maps, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                out.text(chunk, static_cast<std::size_t>(n));
            }
            ::close(maps);
        }
    }
    ::fsync(fd);
    ::close(fd);
    ::rename(tmp.data.data(), final.data.data());
}

void handleSignal(int signo, siginfo_t* info, void* context) {
    HandlerState& state = handlerState();
    const int savedErrno = errno;
    bool expected = false;
    if (!state.handling.compare_exchange_strong(expected, true)) {
        // Another thread is writing its report; it ends the process when done.
        for (;;) {
            ::pause();
        }
    }
    state.crashing.store(true);
    writeReport(signo, info, context);

    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signo, &fallback, nullptr);
    if (!state.reraise) {
        ::_exit(128 + signo);
    }
    // Pending until the handler returns (the signal is blocked while it runs); then the default
    // action ends the process with the original signal, as if no handler had been there.
    ::raise(signo);
    errno = savedErrno;
}

}  // namespace

bool install(const std::filesystem::path& directory, bool reraise) {
    const std::lock_guard lock(installMutex());
    HandlerState& state = handlerState();
    const std::string& text = directory.native();
    if (text.empty() || text.size() >= state.directory.size() - 64) {
        return false;
    }

    // backtrace() loads the unwinder on first use; that must not happen inside the handler.
    void* warmUp[4];
    (void)::backtrace(warmUp, 4);

    std::memcpy(state.directory.data(), text.data(), text.size());
    state.directory[text.size()] = '\0';
    state.directoryLength = text.size();
    state.reraise = reraise;
    if (state.installed) {
        return true;
    }

    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
        stack_t ours{};
        ours.ss_sp = gAltStack.data();
        ours.ss_size = gAltStack.size();
        ours.ss_flags = 0;
        if (::sigaltstack(&ours, nullptr) == 0) {
            state.ownAltStack = true;
            state.altStackThread = ::pthread_self();
        }
    }

    struct sigaction action {};
    action.sa_sigaction = handleSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (::sigaction(kSignals[i], &action, &state.previous[i]) != 0) {
            for (std::size_t j = 0; j < i; ++j) {
                ::sigaction(kSignals[j], &state.previous[j], nullptr);
            }
            return false;
        }
    }
    state.installed = true;
    return true;
}

void uninstall() {
    const std::lock_guard lock(installMutex());
    HandlerState& state = handlerState();
    if (!state.installed) {
        return;
    }
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &state.previous[i], nullptr);
    }
    // sigaltstack is per thread: only the thread that got ours can give it back.
    if (state.ownAltStack && ::pthread_equal(state.altStackThread, ::pthread_self()) != 0) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        state.ownAltStack = false;
    }
    state.installed = false;
}

bool installed() {
    const std::lock_guard lock(installMutex());
    return handlerState().installed;
}

void setScope(std::string_view eventJson) {
    HandlerState& state = handlerState();
    if (eventJson.size() > kMaxScopeBytes || state.crashing.load()) {
        return;
    }
    static std::mutex writers;
    const std::lock_guard lock(writers);
    const int idle = 1 - state.activeScope.load();
    std::memcpy(state.scope[idle].data(), eventJson.data(), eventJson.size());
    state.scopeLength[idle].store(eventJson.size());
    state.activeScope.store(idle);
}

std::optional<Report> readReport(const std::filesystem::path& file) {
    store::ReadResult read = store::readFile(file, store::kMaxReportBytes);
    if (read.status != store::ReadStatus::ok) {
        return std::nullopt;
    }
    return parseReport(read.content);
}

std::optional<Report> parseReport(const std::string& content) try {
    if (!content.starts_with(kMagic)) {
        return std::nullopt;
    }
    std::istringstream header(content.substr(kMagic.size()));
    Report report;
    std::string word;
    std::string address;
    std::size_t scopeLength = 0;
    if (!(header >> word >> report.signal) || word != "signal" || !(header >> word >> address) ||
        word != "address" || !(header >> word >> report.seconds >> report.nanoseconds) ||
        word != "time" || !(header >> word >> scopeLength) || word != "scope" ||
        header.get() != '\n') {
        return std::nullopt;
    }
    report.faultAddress = std::stoull(address, nullptr, 16);
    const auto scopeStart = static_cast<std::size_t>(header.tellg()) + kMagic.size();
    if (scopeStart + scopeLength > content.size()) {
        return std::nullopt;
    }
    report.scope = content.substr(scopeStart, scopeLength);
    std::istringstream rest(content.substr(scopeStart + scopeLength));
    std::size_t frameCount = 0;
    if (!(rest >> word >> frameCount) || word != "frames" || frameCount > kMaxFrames + 1) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < frameCount; ++i) {
        if (!(rest >> address)) {
            return std::nullopt;
        }
        report.frames.push_back(std::stoull(address, nullptr, 16));
    }
    if (!(rest >> word) || word != "maps" || rest.get() != '\n') {
        return std::nullopt;
    }
    report.maps.assign(std::istreambuf_iterator<char>(rest), std::istreambuf_iterator<char>());
    return report;
} catch (const std::exception&) {
    return std::nullopt;  // a number out of range: not one of ours
}

}  // namespace zentravo::tracker::crash
