#include "error_tracker.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "crash_handler.hpp"
#include "http_session.hpp"
#include "private_folder.hpp"
#include "report_store.hpp"
#include "version.hpp"

namespace zentravo::tracker {

namespace fs = std::filesystem;
using json = nlohmann::json;

// ---------------------------------------------------------------------------------------------
// DSN

std::optional<Dsn> Dsn::parse(std::string_view text) {
    Dsn dsn;
    const auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) {
        return std::nullopt;
    }
    dsn.scheme = std::string(text.substr(0, schemeEnd));
    if (dsn.scheme != "http" && dsn.scheme != "https") {
        return std::nullopt;
    }
    std::string_view rest = text.substr(schemeEnd + 3);
    const auto at = rest.find('@');
    const auto firstSlash = rest.find('/');
    if (at == std::string_view::npos || (firstSlash != std::string_view::npos && firstSlash < at)) {
        return std::nullopt;
    }
    std::string_view key = rest.substr(0, at);
    if (const auto colon = key.find(':'); colon != std::string_view::npos) {
        key = key.substr(0, colon);  // the old secret part is not used any more
    }
    dsn.publicKey = std::string(key);
    rest = rest.substr(at + 1);
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view hostPort = rest.substr(0, slash);
    std::string_view path = rest.substr(slash);
    if (hostPort.starts_with('[')) {  // IPv6 literal
        const auto close = hostPort.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        dsn.host = std::string(hostPort.substr(0, close + 1));
        hostPort = hostPort.substr(close + 1);
        if (!hostPort.empty()) {
            if (hostPort.front() != ':') {
                return std::nullopt;
            }
            dsn.port = std::string(hostPort.substr(1));
        }
    } else if (const auto colon = hostPort.rfind(':'); colon != std::string_view::npos) {
        dsn.host = std::string(hostPort.substr(0, colon));
        dsn.port = std::string(hostPort.substr(colon + 1));
    } else {
        dsn.host = std::string(hostPort);
    }
    if (!dsn.port.empty()) {
        if (dsn.port.size() > 5 || !std::all_of(dsn.port.begin(), dsn.port.end(),
                                                [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        if (std::stoi(dsn.port) == 0 || std::stoi(dsn.port) > 65535) {
            return std::nullopt;
        }
    }
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const auto last = path.rfind('/');
    dsn.projectId = std::string(path.substr(last + 1));
    dsn.pathPrefix = std::string(path.substr(0, last));
    const auto invalid = [](std::string_view s, std::string_view allowedExtra) {
        return std::any_of(s.begin(), s.end(), [&](char c) {
            const bool alnum =
                (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            return !alnum && allowedExtra.find(c) == std::string_view::npos;
        });
    };
    if (dsn.publicKey.empty() || dsn.host.empty() || dsn.projectId.empty() ||
        invalid(dsn.publicKey, "-_") || invalid(dsn.projectId, "-_") ||
        invalid(dsn.host, ".-_[]:") || invalid(dsn.pathPrefix, "/.-_~")) {
        return std::nullopt;
    }
    return dsn;
}

std::string Dsn::envelopeUrl() const {
    return fmt::format("{}://{}{}{}{}/api/{}/envelope/", scheme, host, port.empty() ? "" : ":",
                       port, pathPrefix, projectId);
}

std::string Dsn::authHeader() const {
    return fmt::format("Sentry sentry_version=7, sentry_key={}, sentry_client=zentravo-launcher/{}",
                       publicKey, kLauncherVersion);
}

// ---------------------------------------------------------------------------------------------
// Events

namespace detail {

std::string newEventId() {
    uuid_t id;
    uuid_generate_random(id);
    std::string out;
    out.reserve(32);
    for (const unsigned char byte : id) {
        out += fmt::format("{:02x}", byte);
    }
    return out;
}

std::string isoTimestamp(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    const std::time_t seconds =
        std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", utc, sinceEpoch.count() % 1000);
}

namespace {
std::string dumpJson(const json& value) {
    // Texts from callers may hold any bytes; a bad sequence must not lose the whole event.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}
}  // namespace

std::string makeEnvelope(const json& event, std::string_view dsn) {
    const std::string payload = dumpJson(event);
    json header = {{"event_id", event.value("event_id", std::string{})},
                   {"sent_at", isoTimestamp(std::chrono::system_clock::now())}};
    if (!dsn.empty()) {
        header["dsn"] = std::string(dsn);
    }
    const json item = {{"type", "event"}, {"length", payload.size()}};
    return dumpJson(header) + "\n" + dumpJson(item) + "\n" + payload + "\n";
}

namespace {

struct Mapping {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t offset = 0;
    bool executable = false;
    std::string path;
};

std::vector<Mapping> parseMaps(const std::string& maps) {
    std::vector<Mapping> out;
    std::istringstream in(maps);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string range;
        std::string perms;
        std::string offset;
        std::string device;
        std::string inode;
        if (!(fields >> range >> perms >> offset >> device >> inode)) {
            continue;
        }
        Mapping m;
        std::getline(fields >> std::ws, m.path);
        const auto dash = range.find('-');
        if (dash == std::string::npos || m.path.empty() || m.path.front() != '/') {
            continue;
        }
        try {
            m.start = std::stoull(range.substr(0, dash), nullptr, 16);
            m.end = std::stoull(range.substr(dash + 1), nullptr, 16);
            m.offset = std::stoull(offset, nullptr, 16);
        } catch (const std::exception&) {
            continue;
        }
        m.executable = perms.find('x') != std::string::npos;
        out.push_back(std::move(m));
    }
    return out;
}

std::string hexAddress(std::uint64_t value) {
    return fmt::format("0x{:x}", value);
}

// One entry of an event's debug_meta images.
json imageEntry(const std::string& codeFile, std::uint64_t address, std::uint64_t size) {
    return {{"type", "elf"},
            {"code_file", codeFile},
            {"image_addr", hexAddress(address)},
            {"image_size", size}};
}

std::string signalName(int signo) {
    switch (signo) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return fmt::format("signal {}", signo);
    }
}

}  // namespace

json crashEvent(const crash::Report& report);

std::optional<json> crashReportToEvent(const fs::path& file) {
    const auto report = crash::readReport(file);
    if (!report) {
        return std::nullopt;
    }
    return crashEvent(*report);
}

json crashEvent(const crash::Report& report) {
    json event = json::parse(report.scope, nullptr, false);
    if (!event.is_object()) {
        event = json::object();
    }
    if (!event.contains("event_id")) {
        event["event_id"] = newEventId();
    }
    event["level"] = "fatal";
    event["platform"] = "native";
    event["timestamp"] = isoTimestamp(std::chrono::system_clock::time_point{
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds{report.seconds} + std::chrono::nanoseconds{report.nanoseconds})});

    const std::vector<Mapping> maps = parseMaps(report.maps);
    // An image's load address is where its offset-0 mapping starts.
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> images;
    for (const Mapping& m : maps) {
        auto [it, added] = images.try_emplace(m.path, m.start, m.end);
        if (m.offset == 0) {
            it->second.first = std::min(it->second.first, m.start);
        }
        it->second.second = std::max(it->second.second, m.end);
    }
    json frames = json::array();
    // The tracker lists frames outermost first.
    for (auto it = report.frames.rbegin(); it != report.frames.rend(); ++it) {
        json frame = {{"instruction_addr", hexAddress(*it)}};
        for (const Mapping& m : maps) {
            if (m.executable && *it >= m.start && *it < m.end) {
                frame["package"] = m.path;
                frame["image_addr"] = hexAddress(images[m.path].first);
                break;
            }
        }
        frames.push_back(std::move(frame));
    }
    json imageList = json::array();
    for (const auto& [path, range] : images) {
        const bool executable = std::any_of(maps.begin(), maps.end(), [&](const Mapping& m) {
            return m.executable && m.path == path;
        });
        if (executable) {
            imageList.push_back(imageEntry(path, range.first, range.second - range.first));
        }
    }
    const std::string name = signalName(report.signal);
    json exception = {{"type", name},
                      {"value", fmt::format("Fatal signal {} at address {}", name,
                                            hexAddress(report.faultAddress))},
                      {"mechanism",
                       {{"type", "signalhandler"},
                        {"handled", false},
                        {"meta", {{"signal", {{"number", report.signal}, {"name", name}}}}}}},
                      {"stacktrace", {{"frames", std::move(frames)}}}};
    event["exception"] = {{"values", json::array({std::move(exception)})}};
    event["debug_meta"] = {{"images", std::move(imageList)}};
    return event;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Client

namespace {

constexpr std::size_t kMaxQueued = 1000;
// Before the start nothing drains the queue, and a process may never start reporting at all.
constexpr std::size_t kMaxQueuedBeforeStart = 100;
// Stored reports beyond this many are dropped, oldest first: a tracker that never comes back
// must not fill the disk.
constexpr std::size_t kMaxStored = 100;
constexpr std::string_view kEnvelopeExtension = ".envelope";
// What a report is written as before it is renamed into place (envelopes and crash reports).
constexpr std::string_view kPartialExtension = ".tmp";
constexpr std::chrono::minutes kPartialLeftoverAge{1};

const char* levelName(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warning:
            return "warning";
        case Level::error:
            return "error";
        case Level::fatal:
            return "fatal";
    }
    return "error";
}

// One event on its way out. Stacks are captured as return addresses by the caller and put in the
// tracker's form on the sending thread, so that capturing costs the caller only the unwind.
struct Item {
    json event;
    std::vector<std::uintptr_t> stack;  // innermost first
    std::string envelope;               // set for items read back from the database folder
    fs::path source;                    // the stored file to remove once the item is delivered
};

struct PostResult {
    long status = 0;  // 0: no HTTP answer
    std::string error;
};

constexpr std::chrono::seconds kConnectTimeout{10};
constexpr std::chrono::seconds kTransferTimeout{30};
constexpr std::int64_t kMaxAnswerBytes = 64 * 1024;

// The tracker's one request. `stop` cuts a running transfer short; libcurl looks at it on each
// progress call, at least once a second.
PostResult postEnvelope(const std::string& url, const std::string& auth, const std::string& body,
                        const fs::path& caFile, const std::string& caPem,
                        const std::atomic<bool>& stop) {
    try {
        http::Session session;
        session.setUrl(url);
        session.setHeaders(
            {{"Content-Type", "application/x-sentry-envelope"}, {"X-Sentry-Auth", auth}});
        session.setConnectTimeout(kConnectTimeout);
        session.setTimeout(kTransferTimeout);
        session.setVerifySsl(true);
        session.setExtraCaFile(caFile);
        session.setExtraCaPem(caPem);
        session.setProgressCallback([&stop](std::int64_t, std::int64_t, std::int64_t,
                                            std::int64_t) { return !stop.load(); });
        // The answer is not read; a long one is cut short, not kept.
        session.setMaxBodySize(kMaxAnswerBytes);
        const http::Response response = session.post(body);
        if (response.error.code != CURLE_OK && !response.body_over_limit) {
            return {0, response.error.message};
        }
        return {response.status_code, {}};
    } catch (const std::exception& e) {
        return {0, e.what()};
    }
}

constexpr int kMaxStackFrames = 256;

// One loaded ELF object as the tracker's service needs it to symbolicate raw addresses.
struct Image {
    std::string codeFile;
    std::uintptr_t address = 0;  // where its first loaded segment starts
    std::uintptr_t size = 0;     // up to the end of its last loaded segment
    std::string buildId;         // hex, empty when the object has none
};

// The NT_GNU_BUILD_ID note among the object's loaded notes, as hex.
std::string buildIdOf(const dl_phdr_info& object) {
    for (ElfW(Half) i = 0; i < object.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object.dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) {
            continue;
        }
        const std::size_t align = segment.p_align == 8 ? 8 : 4;
        const auto padded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
        const auto* at = reinterpret_cast<const unsigned char*>(object.dlpi_addr + segment.p_vaddr);
        std::size_t left = segment.p_memsz;
        while (left >= sizeof(ElfW(Nhdr))) {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof note);
            const std::size_t nameBytes = padded(note.n_namesz);
            const std::size_t descBytes = padded(note.n_descsz);
            if (nameBytes > left - sizeof note || descBytes > left - sizeof note - nameBytes) {
                break;
            }
            const unsigned char* name = at + sizeof note;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0) {
                std::string hex;
                for (const unsigned char* byte = name + nameBytes;
                     byte != name + nameBytes + note.n_descsz; ++byte) {
                    hex += fmt::format("{:02x}", *byte);
                }
                return hex;
            }
            at += sizeof note + nameBytes + descBytes;
            left -= sizeof note + nameBytes + descBytes;
        }
    }
    return {};
}

// Every object loaded in the process now (the program first), from the loader's own list: no
// file is read and nothing is kept.
std::vector<Image> loadedImages() {
    struct Listing {
        std::vector<Image> images;
        bool complete = true;
    } listing;
    ::dl_iterate_phdr(
        [](dl_phdr_info* object, std::size_t, void* out) {
            auto& listing = *static_cast<Listing*>(out);
            std::uintptr_t low = UINTPTR_MAX;
            std::uintptr_t high = 0;
            for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = object->dlpi_phdr[i];
                if (segment.p_type == PT_LOAD) {
                    low = std::min<std::uintptr_t>(low, segment.p_vaddr);
                    high = std::max<std::uintptr_t>(high, segment.p_vaddr + segment.p_memsz);
                }
            }
            const char* name = object->dlpi_name != nullptr ? object->dlpi_name : "";
            // Only the program itself goes by no name.
            if (low >= high || (*name == '\0' && !listing.images.empty())) {
                return 0;
            }
            const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
            low &= ~(page - 1);
            // Nothing may be thrown through the loader, which holds its lock here.
            try {
                listing.images.push_back(
                    {name, object->dlpi_addr + low, high - low, buildIdOf(*object)});
            } catch (const std::exception&) {
                listing.complete = false;
                return 1;
            }
            return 0;
        },
        &listing);
    if (!listing.complete) {
        throw std::bad_alloc();
    }
    if (!listing.images.empty() && listing.images.front().codeFile.empty()) {
        std::error_code error;
        listing.images.front().codeFile = fs::read_symlink("/proc/self/exe", error).string();
    }
    return std::move(listing.images);
}

// The tracker's ELF debug id: the build id's first 16 bytes (zero-padded) as a little-endian
// GUID, i.e. its first three fields byte-reversed.
std::string debugIdOf(std::string_view buildIdHex) {
    std::array<unsigned char, 16> guid{};
    for (std::size_t i = 0; i < guid.size() && 2 * i + 1 < buildIdHex.size(); ++i) {
        guid[i] = static_cast<unsigned char>(
            std::stoul(std::string(buildIdHex.substr(2 * i, 2)), nullptr, 16));
    }
    std::reverse(guid.begin(), guid.begin() + 4);
    std::reverse(guid.begin() + 4, guid.begin() + 6);
    std::reverse(guid.begin() + 6, guid.begin() + 8);
    std::string out;
    for (std::size_t i = 0; i < guid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += fmt::format("{:02x}", guid[i]);
    }
    return out;
}

// The stack as the tracker's native protocol has it: raw return addresses, outermost first, each
// with its image and, where the dynamic symbol table names it, its function; the images go in
// the event's debug_meta. The service symbolicates from the build ids: nothing here reads debug
// information.
void attachStack(json& event, const std::vector<std::uintptr_t>& stack) {
    const std::vector<Image> images = loadedImages();
    json frames = json::array();
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        const std::uintptr_t address = *it;
        json frame = {{"instruction_addr", detail::hexAddress(address)}};
        for (const Image& image : images) {
            if (address >= image.address && address - image.address < image.size) {
                frame["package"] = image.codeFile;
                break;
            }
        }
        // A return address may be just past its function's end: the call lies before it.
        Dl_info symbol{};
        if (::dladdr(reinterpret_cast<const void*>(address - 1), &symbol) != 0 &&
            symbol.dli_sname != nullptr) {
            frame["function"] = symbol.dli_sname;
        }
        frames.push_back(std::move(frame));
    }
    json list = json::array();
    for (const Image& image : images) {
        json entry = detail::imageEntry(image.codeFile, image.address, image.size);
        if (!image.buildId.empty()) {
            entry["code_id"] = image.buildId;
            entry["debug_id"] = debugIdOf(image.buildId);
        }
        list.push_back(std::move(entry));
    }
    event["exception"]["values"][0]["stacktrace"] = {{"frames", std::move(frames)},
                                                     {"instruction_addr_adjustment", "all"}};
    event["debug_meta"] = {{"images", std::move(list)}};
}

const json& osContext() {
    static const json context = [] {
        utsname names{};
        if (::uname(&names) != 0) {
            return json::object();
        }
        return json{
            {"name", names.sysname}, {"kernel_version", names.release}, {"machine", names.machine}};
    }();
    return context;
}

// The folder usually lies in the shared temporary folder, where anyone may have made it first:
// use it only when it is a real folder (not a link) of this user, and close it to others.
bool prepareDatabaseFolder(const fs::path& folder) {
    if (folder.empty()) {
        return false;
    }
    try {
        folders::createMissing(folder);
    } catch (const std::exception&) {
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        return false;
    }
    return ::chmod(folder.c_str(), S_IRWXU) == 0 && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

struct Client::State {
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;

    // Scope
    std::optional<std::string> userId;
    std::map<std::string, std::string> tags;
    std::deque<json> breadcrumbs;
    std::size_t maxBreadcrumbs = Options{}.maxBreadcrumbs;

    Options options;
    std::optional<Dsn> dsn;
    bool startCalled = false;
    bool running = false;  // worker up and sending
    bool closed = false;
    bool storeUsable = false;
    bool crashHandlerOurs = false;
    bool inFlight = false;
    std::deque<Item> queue;
    std::atomic<bool> stopping{false};
    std::thread worker;

    void debugLine(std::string_view text) const {
        // stderr and not the log: this runs at process exit, after the logger may be gone.
        if (options.debug) {
            std::fprintf(stderr, "[error-tracker] %.*s\n", static_cast<int>(text.size()),
                         text.data());
        }
    }

    json baseEvent(Level level) const {
        json event = {{"event_id", detail::newEventId()},
                      {"timestamp", detail::isoTimestamp(std::chrono::system_clock::now())},
                      {"platform", "native"},
                      {"level", levelName(level)},
                      {"sdk", {{"name", "zentravo.launcher"}, {"version", kLauncherVersion}}},
                      {"contexts", {{"os", osContext()}}}};
        if (userId) {
            event["user"] = {{"id", *userId}};
        }
        if (!tags.empty()) {
            event["tags"] = tags;
        }
        if (!breadcrumbs.empty()) {
            event["breadcrumbs"] = json(std::vector<json>(breadcrumbs.begin(), breadcrumbs.end()));
        }
        stampOptions(event);
        return event;
    }

    void stampOptions(json& event) const {
        if (!options.release.empty() && !event.contains("release")) {
            event["release"] = options.release;
        }
        if (!options.environment.empty() && !event.contains("environment")) {
            event["environment"] = options.environment;
        }
    }

    // The event a crash report will carry, rendered now because the handler cannot.
    void refreshCrashScope() {
        if (!crashHandlerOurs) {
            return;
        }
        json event = baseEvent(Level::fatal);
        if (options.onCrash != nullptr) {
            event = options.onCrash(nullptr, std::move(event), options.onCrashClosure);
        }
        std::string text = detail::dumpJson(event);
        // Too big for the handler's buffer: keep the newest breadcrumbs that fit.
        while (text.size() > crash::kMaxScopeBytes && event.contains("breadcrumbs") &&
               !event["breadcrumbs"].empty()) {
            event["breadcrumbs"].erase(event["breadcrumbs"].begin());
            text = detail::dumpJson(event);
        }
        crash::setScope(text);
    }

    void enqueue(Item item) {
        if (closed || (startCalled && !running)) {
            return;  // not sending: nowhere for the event to go
        }
        if (queue.size() >= (startCalled ? kMaxQueued : kMaxQueuedBeforeStart)) {
            debugLine("queue full, event dropped");
            return;
        }
        queue.push_back(std::move(item));
        wake.notify_one();
    }

    std::string render(Item& item) const {
        if (!item.envelope.empty()) {
            return item.envelope;
        }
        stampOptions(item.event);
        if (!item.stack.empty()) {
            attachStack(item.event, item.stack);
            item.stack.clear();
        }
        item.envelope = detail::makeEnvelope(item.event, options.dsn);
        return item.envelope;
    }

    // Keeps an undelivered event for the next start.
    void store(Item& item) const {
        if (!storeUsable || !item.source.empty()) {
            return;  // already on disk, or nowhere to keep it
        }
        const std::string envelope = render(item);
        if (envelope.size() > store::kMaxReportBytes) {
            debugLine("unsent event too large to keep");
            return;  // the next start would remove it unread
        }
        const std::string id = item.event.value("event_id", detail::newEventId());
        if (!store::writeFile(options.databasePath / (id + std::string(kEnvelopeExtension)),
                              envelope)) {
            debugLine("cannot keep an unsent event");
        }
    }

    // Reports kept by an earlier run, oldest first: crash reports and events that could not be
    // sent then. Only their names are taken here; each is read when its turn comes.
    std::vector<Item> storedItems() const {
        std::vector<Item> items;
        if (!storeUsable) {
            return items;
        }
        struct Found {
            fs::path path;
            timespec modified{};
            bool partial = false;  // a report being written, or left half-written
        };
        std::vector<Found> found;
        const auto now = std::chrono::system_clock::now();
        std::error_code error;
        for (fs::directory_iterator it(options.databasePath, error), end; !error && it != end;
             it.increment(error)) {
            if (stopping.load()) {
                return items;
            }
            const fs::path& path = it->path();
            const std::string extension = path.extension().string();
            const bool partial = extension == kPartialExtension;
            if (!partial && extension != crash::kReportExtension &&
                extension != kEnvelopeExtension) {
                continue;
            }
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) {
                continue;
            }
            std::error_code ignored;
            if (S_ISLNK(info.st_mode)) {
                fs::remove(path, ignored);  // never one of ours: the link goes, not its target
                continue;
            }
            if (!S_ISREG(info.st_mode)) {
                continue;
            }
            const auto modified = std::chrono::system_clock::time_point{
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds{info.st_mtim.tv_sec} +
                    std::chrono::nanoseconds{info.st_mtim.tv_nsec})};
            // A writer needs milliseconds; a partial file this old was left by a process that
            // ended half-way.
            if ((partial && now - modified > kPartialLeftoverAge) ||
                (!partial && static_cast<std::uint64_t>(info.st_size) > store::kMaxReportBytes)) {
                fs::remove(path, ignored);
                continue;
            }
            found.push_back({path, info.st_mtim, partial});
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return std::tie(a.modified.tv_sec, a.modified.tv_nsec) <
                   std::tie(b.modified.tv_sec, b.modified.tv_nsec);
        });
        // Partial files count too: they take room like any report.
        const std::size_t excess = found.size() > kMaxStored ? found.size() - kMaxStored : 0;
        for (std::size_t i = 0; i < excess; ++i) {
            std::error_code ignored;
            fs::remove(found[i].path, ignored);
        }
        for (std::size_t i = excess; i < found.size(); ++i) {
            if (!found[i].partial) {
                items.push_back({json::object(), {}, {}, std::move(found[i].path)});
            }
        }
        return items;
    }

    // Reads a stored report into `item`; false when there is nothing to send. A file that cannot
    // be a report of ours is removed; a read cut short by the stop leaves the file as it is.
    bool loadStored(Item& item) const {
        const store::ReadResult read =
            store::readFile(item.source, store::kMaxReportBytes, &stopping);
        if (read.status == store::ReadStatus::stopped) {
            return false;
        }
        std::string envelope;
        if (read.status == store::ReadStatus::ok) {
            if (item.source.extension() == crash::kReportExtension) {
                if (const auto report = crash::parseReport(read.content)) {
                    json event = detail::crashEvent(*report);
                    stampOptions(event);
                    envelope = detail::makeEnvelope(event, options.dsn);
                    item.event = std::move(event);
                }
            } else {
                envelope = read.content;
            }
        }
        if (envelope.empty()) {
            debugLine("stored report dropped: unreadable, too large or not a report");
            std::error_code ignored;
            fs::remove(item.source, ignored);
            return false;
        }
        item.envelope = std::move(envelope);
        return true;
    }

    void run() {
        std::vector<Item> stored = storedItems();
        {
            const std::lock_guard lock(mutex);
            for (auto it = stored.rbegin(); it != stored.rend(); ++it) {
                queue.push_front(std::move(*it));
            }
        }
        const std::string url = dsn->envelopeUrl();
        const std::string auth = dsn->authHeader();
        for (;;) {
            Item item;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [&] { return stopping.load() || !queue.empty(); });
                if (stopping.load()) {
                    break;
                }
                item = std::move(queue.front());
                queue.pop_front();
                inFlight = true;
            }
            if (!item.source.empty() && item.envelope.empty() && !loadStored(item)) {
                {
                    const std::lock_guard lock(mutex);
                    inFlight = false;
                }
                drained.notify_all();
                continue;
            }
            const std::string envelope = render(item);
            const PostResult result =
                postEnvelope(url, auth, envelope, options.caFile, options.caPem, stopping);
            const bool delivered = result.status >= 200 && result.status < 300;
            // The server refused this event for good; sending it again would not help.
            const bool rejected = result.status >= 400 && result.status < 500 &&
                                  result.status != 408 && result.status != 429;
            if (delivered || rejected) {
                if (!item.source.empty()) {
                    std::error_code ignored;
                    fs::remove(item.source, ignored);
                }
                if (rejected) {
                    debugLine(fmt::format("event refused with status {}", result.status));
                }
            } else {
                debugLine(fmt::format("event not sent: {}", result.error));
                store(item);
            }
            {
                const std::lock_guard lock(mutex);
                inFlight = false;
            }
            drained.notify_all();
        }
        std::deque<Item> rest;
        {
            const std::lock_guard lock(mutex);
            rest.swap(queue);
        }
        for (Item& item : rest) {
            store(item);
        }
    }
};

Client::Client() : state_(std::make_unique<State>()) {}

Client::~Client() {
    close();
}

bool Client::start(Options options) noexcept {
    try {
        State& s = *state_;
        const std::lock_guard lock(s.mutex);
        if (s.startCalled || s.closed) {
            return s.running;
        }
        s.startCalled = true;
        s.options = std::move(options);
        s.maxBreadcrumbs = s.options.maxBreadcrumbs;
        while (s.breadcrumbs.size() > s.maxBreadcrumbs) {
            s.breadcrumbs.pop_front();
        }
        s.dsn = Dsn::parse(s.options.dsn);
        if (!s.dsn) {
            s.debugLine(s.options.dsn.empty() ? "no DSN: not sending" : "invalid DSN: not sending");
            s.queue.clear();
            return false;
        }
        if (!s.options.caFile.empty()) {
            std::error_code error;
            if (!fs::is_regular_file(s.options.caFile, error)) {
                s.options.caFile.clear();
            }
        }
        s.storeUsable = prepareDatabaseFolder(s.options.databasePath);
        if (!s.storeUsable) {
            s.debugLine("database folder unusable: no crash capture, unsent events are lost");
        } else if (crash::install(s.options.databasePath, s.options.systemCrashReporter)) {
            s.crashHandlerOurs = true;
            s.refreshCrashScope();
        }
        s.worker = std::thread([&s] { s.run(); });
        s.running = true;
        return true;
    } catch (const std::exception&) {
        return false;  // e.g. no thread could be started: the launcher goes on without reports
    }
}

void Client::close() noexcept {
    State& s = *state_;
    {
        std::unique_lock lock(s.mutex);
        if (s.closed) {
            return;
        }
        s.closed = true;
        if (s.crashHandlerOurs) {
            crash::uninstall();
            s.crashHandlerOurs = false;
        }
        if (!s.running) {
            s.queue.clear();
            return;
        }
        s.drained.wait_for(lock, s.options.shutdownTimeout,
                           [&] { return s.queue.empty() && !s.inFlight; });
        s.stopping.store(true);
    }
    s.wake.notify_all();
    if (s.worker.joinable()) {
        s.worker.join();
    }
    const std::lock_guard lock(s.mutex);
    s.running = false;
}

bool Client::started() const noexcept {
    const std::lock_guard lock(state_->mutex);
    return state_->running;
}

void Client::setUserId(std::string_view id) noexcept {
    try {
        const std::lock_guard lock(state_->mutex);
        state_->userId = std::string(id);
        state_->refreshCrashScope();
    } catch (const std::exception&) {
    }
}

void Client::removeUser() noexcept {
    try {
        const std::lock_guard lock(state_->mutex);
        state_->userId.reset();
        state_->refreshCrashScope();
    } catch (const std::exception&) {
    }
}

void Client::setTag(std::string_view key, std::string_view value) noexcept {
    try {
        const std::lock_guard lock(state_->mutex);
        state_->tags[std::string(key)] = std::string(value);
        state_->refreshCrashScope();
    } catch (const std::exception&) {
    }
}

void Client::addBreadcrumb(std::string_view type, std::string_view message) noexcept {
    try {
        json crumb = {{"timestamp", detail::isoTimestamp(std::chrono::system_clock::now())},
                      {"type", std::string(type)},
                      {"message", std::string(message)}};
        const std::lock_guard lock(state_->mutex);
        if (state_->maxBreadcrumbs == 0) {
            return;
        }
        state_->breadcrumbs.push_back(std::move(crumb));
        while (state_->breadcrumbs.size() > state_->maxBreadcrumbs) {
            state_->breadcrumbs.pop_front();
        }
        state_->refreshCrashScope();
    } catch (const std::exception&) {
    }
}

void Client::captureMessage(Level level, std::string_view logger,
                            std::string_view message) noexcept {
    try {
        const std::lock_guard lock(state_->mutex);
        json event = state_->baseEvent(level);
        event["logger"] = std::string(logger);
        event["message"] = {{"formatted", std::string(message)}};
        state_->enqueue({std::move(event), {}, {}, {}});
    } catch (const std::exception&) {
    }
}

void Client::captureException(std::string_view type, std::string_view value,
                              const void* returnAddress) noexcept {
    const void* const caller =
        returnAddress != nullptr ? returnAddress : __builtin_return_address(0);
    try {
        // Unwinding is the only stack work done on the caller's thread.
        std::array<void*, kMaxStackFrames> frames{};
        const int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
        const auto end = frames.begin() + std::max(count, 0);
        // The reporting code's own frames lead; the stack starts at the caller's. An unwinder
        // that missed the caller's frame leaves only this function's out.
        auto first = std::find(frames.begin(), end, caller);
        if (first == end) {
            first = count > 0 ? frames.begin() + 1 : end;
        }
        std::vector<std::uintptr_t> stack;
        stack.reserve(static_cast<std::size_t>(end - first));
        for (auto it = first; it != end; ++it) {
            stack.push_back(reinterpret_cast<std::uintptr_t>(*it));
        }
        const std::lock_guard lock(state_->mutex);
        json event = state_->baseEvent(Level::error);
        event["exception"] = {
            {"values", json::array({{{"type", std::string(type)},
                                     {"value", std::string(value)},
                                     {"mechanism", {{"type", "generic"}, {"handled", true}}}}})}};
        state_->enqueue({std::move(event), std::move(stack), {}, {}});
    } catch (const std::exception&) {
    }
}

}  // namespace zentravo::tracker
