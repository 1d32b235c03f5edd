// Minimal Linux answers for the system queries; the full layer replaces this file.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "paths.hpp"
#include "system.hpp"

namespace zentravo::system {

std::string_view getOSName() { return "Linux"; }

std::string_view getOSVersion() {
    static const std::string version = [] {
        utsname u{};
        int major = 0, minor = 0, patch = 0;
        if (uname(&u) == 0) {
            std::sscanf(u.release, "%d.%d.%d", &major, &minor, &patch);
        }
        return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    }();
    return version;
}

std::string_view getMachineUUID() {
    static std::string uuid;
    if (uuid.empty()) {
        std::ifstream in{"/etc/machine-id"};
        std::string id;
        if (in >> id && id.size() == 32) {
            uuid = id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
                   id.substr(16, 4) + "-" + id.substr(20);
        }
    }
    return uuid;
}

std::string_view getCPUName() { return {}; }
std::string_view getGPUName() { return {}; }
int getCPUCores() { return 0; }
std::string getDefaultLanguage() { return "en"; }
std::string_view getDownloadId() { return {}; }
PartnerInfo getPartnerInfo() { return {}; }
std::string_view getVCRedistVersionInstalled() { return "NA"; }
bool is64BitSystem() { return sizeof(void*) == 8; }
bool isAVXCompatible() { return __builtin_cpu_supports("avx"); }
bool isARM64Processor() {
#if defined(__aarch64__)
    return true;
#else
    return false;
#endif
}
bool isV2AlreadyRunning() { return false; }
void showMessageBox(const std::string&, const std::string&) {}
void openExternalUrl(std::string_view) {}

}  // namespace zentravo::system

namespace zentravo::path {

std::filesystem::path executable() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : p;
}

}  // namespace zentravo::path
