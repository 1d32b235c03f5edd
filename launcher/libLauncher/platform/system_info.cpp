#include "platform/system_info.hpp"

#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "sentry_wrapper.hpp"

namespace zentravo::system {
namespace {

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in{path, std::ios::binary};
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(text).str();
}

std::string_view trim(std::string_view text) {
    const auto isBlank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::string> readTrimmed(const std::filesystem::path& path) {
    auto text = readFile(path);
    if (!text) {
        return std::nullopt;
    }
    return std::string{trim(*text)};
}

// Splits "key : value" lines of /proc/cpuinfo.
std::vector<std::pair<std::string, std::string>> cpuinfoFields(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::istringstream lines{text};
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string_view view{line};
        fields.emplace_back(std::string{trim(view.substr(0, colon))},
                            std::string{trim(view.substr(colon + 1))});
    }
    return fields;
}

std::optional<unsigned long> parseHex(std::string_view text) {
    text = trim(text);
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
    }
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Vendor and device names from a pci.ids database, when the machine has one.
std::string pciName(const std::filesystem::path& root, unsigned long vendor, unsigned long device) {
    for (const char* candidate : {"usr/share/misc/pci.ids", "usr/share/hwdata/pci.ids"}) {
        std::ifstream in{root / candidate};
        if (!in) {
            continue;
        }
        const std::string vendorKey = fmt::format("{:04x}", vendor);
        const std::string deviceKey = fmt::format("\t{:04x}", device);
        std::string vendorName;
        for (std::string line; std::getline(in, line);) {
            if (vendorName.empty()) {
                if (line.starts_with(vendorKey) && line.size() > 6) {
                    vendorName = std::string{trim(std::string_view{line}.substr(4))};
                }
                continue;
            }
            if (!line.starts_with('\t')) {
                break;  // next vendor: the device is not listed
            }
            if (line.starts_with(deviceKey) && !line.starts_with(deviceKey + "\t")) {
                return vendorName + " " + std::string{trim(std::string_view{line}.substr(5))};
            }
        }
        if (!vendorName.empty()) {
            return fmt::format("{} {:04x}", vendorName, device);
        }
    }
    return fmt::format("{:04x}:{:04x}", vendor, device);
}

}  // namespace

Reporter wrapperReporter() {
    return [](std::string_view title, std::string_view detail) {
        utils::sentry::sharedWrapper.sendException(title, detail);
    };
}

SystemInfo::SystemInfo(std::filesystem::path root, Reporter reporter)
    : root_{std::move(root)}, report_{std::move(reporter)} {}

std::filesystem::path SystemInfo::under(std::string_view relative) const {
    return root_ / relative;
}

std::string_view SystemInfo::osVersion() {
    const std::lock_guard lock{mutex_};
    if (!osVersion_) {
        const auto release = readTrimmed(under("proc/sys/kernel/osrelease"));
        osVersion_ = osVersionFromRelease(release.value_or(""));
    }
    return *osVersion_;
}

std::string_view SystemInfo::machineUUID() {
    const std::lock_guard lock{mutex_};
    if (machineUUID_.empty()) {
        if (const auto id = readTrimmed(under("etc/machine-id"))) {
            machineUUID_ = uuidFromMachineId(*id);
        }
    }
    return machineUUID_;
}

std::string_view SystemInfo::cpuName() {
    const std::lock_guard lock{mutex_};
    if (!cpuName_) {
        cpuName_ = lookUpCpuName();
    }
    return *cpuName_;
}

// Reports a failure and yields an empty name; runs once per SystemInfo.
std::string SystemInfo::lookUpCpuName() const {
    if (const auto text = readFile(under("proc/cpuinfo"))) {
        const auto fields = cpuinfoFields(*text);
        // x86 names the brand in "model name"; ARM boards put it in "Model" or "Hardware".
        for (const char* key : {"model name", "Model", "Hardware"}) {
            const auto found = std::find_if(fields.begin(), fields.end(), [key](const auto& field) {
                return field.first == key;
            });
            if (found != fields.end()) {
                return found->second;
            }
        }
    }
    report_("Get CPU Name",
            fmt::format("Unable to get `machdep.cpu.brand_string` property. Error [{}]", -1));
    return {};
}

std::string_view SystemInfo::gpuName() {
    const std::lock_guard lock{mutex_};
    if (!gpuName_) {
        gpuName_ = lookUpGpuName();
    }
    return *gpuName_;
}

// Reports a failure and yields an empty name; runs once per SystemInfo.
std::string SystemInfo::lookUpGpuName() const {
    std::vector<std::filesystem::path> devices;
    std::error_code ec;
    for (std::filesystem::directory_iterator it{under("sys/bus/pci/devices"), ec}, end;
         !ec && it != end; it.increment(ec)) {
        devices.push_back(it->path());
    }
    std::sort(devices.begin(), devices.end());  // bus order, so the first GPU is stable
    const auto display = std::find_if(devices.begin(), devices.end(), [](const auto& device) {
        const auto text = readFile(device / "class");
        const auto deviceClass = text ? parseHex(*text) : std::nullopt;
        return deviceClass && (*deviceClass >> 16) == 0x03;
    });
    if (display == devices.end()) {
        report_("Get GPU Name", "Error: Couldn't get matching service");
        return {};
    }
    const auto vendorText = readFile(*display / "vendor");
    const auto deviceText = readFile(*display / "device");
    if (!vendorText || !deviceText) {
        report_("Get GPU Name", "Error: Couldn't get GPU name");
        return {};
    }
    const auto vendor = parseHex(*vendorText);
    const auto device = parseHex(*deviceText);
    if (vendor && device) {
        return pciName(root_, *vendor, *device);
    }
    // A device without identifiers has no name; that is no error.
    return {};
}

int SystemInfo::cpuCores() {
    const std::lock_guard lock{mutex_};
    if (cpuCores_ > 0) {
        return cpuCores_;
    }
    // Physical cores are the distinct (package, core) pairs: hyper-threads share a pair.
    std::set<std::pair<std::string, std::string>> cores;
    bool readable = false;
    std::error_code ec;
    for (std::filesystem::directory_iterator it{under("sys/devices/system/cpu"), ec}, end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= 3 || !name.starts_with("cpu") ||
            !std::all_of(name.begin() + 3, name.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            continue;
        }
        const auto package = readTrimmed(it->path() / "topology/physical_package_id");
        const auto core = readTrimmed(it->path() / "topology/core_id");
        if (package && core) {
            readable = true;
            cores.emplace(*package, *core);
        }
    }
    if (!readable) {
        if (const auto text = readFile(under("proc/cpuinfo"))) {
            std::string package = "0";
            for (const auto& [key, value] : cpuinfoFields(*text)) {
                if (key == "physical id") {
                    package = value;
                } else if (key == "core id") {
                    readable = true;
                    cores.emplace(package, value);
                }
            }
        }
    }
    if (!readable) {
        report_("Get CPU Cores", "Unable to get `hw.physicalcpu` property");
        return cpuCores_;
    }
    cpuCores_ = static_cast<int>(cores.size());
    return cpuCores_;
}

std::filesystem::path SystemInfo::executable() const {
    std::error_code ec;
    auto path = std::filesystem::read_symlink(under("proc/self/exe"), ec);
    if (ec || path.empty()) {
        const std::string message = fmt::format("Couldn't get PID: {} path: {}", ::getpid(),
                                                ec ? ec.message() : "empty link");
        spdlog::error(message);
        report_("Get PID Failed", message);
        return {};
    }
    return path;
}

SystemInfo& machine() {
    static SystemInfo info;
    return info;
}

std::string osVersionFromRelease(std::string_view release) {
    int numbers[3] = {0, 0, 0};
    const char* cursor = release.data();
    const char* const end = release.data() + release.size();
    for (int index = 0; index < 3 && cursor != end; ++index) {
        int value = 0;
        const auto [next, ec] = std::from_chars(cursor, end, value);
        if (ec != std::errc{}) {
            break;
        }
        numbers[index] = value;
        cursor = next;
        if (cursor == end || *cursor != '.') {
            break;
        }
        ++cursor;
    }
    return fmt::format("{}.{}.{}", numbers[0], numbers[1], numbers[2]);
}

std::string uuidFromMachineId(std::string_view id) {
    if (id.size() != 32 || !std::all_of(id.begin(), id.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return {};
    }
    return fmt::format("{}-{}-{}-{}-{}", id.substr(0, 8), id.substr(8, 4), id.substr(12, 4),
                       id.substr(16, 4), id.substr(20));
}

std::string defaultLanguageFrom(const std::function<const char*(const char*)>& getenv) {
    for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(variable);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string_view text{value};
        text = text.substr(0, text.find(':'));  // LANGUAGE lists several; the first one leads
        const std::string_view code = text.substr(0, text.find_first_of("_.@-"));
        if (code.empty() || code == "C" || code == "POSIX") {
            return "en";
        }
        return std::string{code};
    }
    return "en";
}

}  // namespace zentravo::system
