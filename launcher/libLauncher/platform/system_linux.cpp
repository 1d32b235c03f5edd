// The free system queries: constants of this platform, and the machine facts of the shared
// SystemInfo (read from the real root).
#include <cstdlib>

#include "paths.hpp"
#include "platform/system_info.hpp"
#include "system.hpp"

namespace zentravo::system {

std::string_view getOSName() {
    return "Linux";
}
std::string_view getOSVersion() {
    return machine().osVersion();
}
std::string_view getMachineUUID() {
    return machine().machineUUID();
}
std::string_view getCPUName() {
    return machine().cpuName();
}
std::string_view getGPUName() {
    return machine().gpuName();
}
int getCPUCores() {
    return machine().cpuCores();
}
std::string getDefaultLanguage() {
    return defaultLanguageFrom(&std::getenv);
}
std::string_view getDownloadId() {
    return {};
}
PartnerInfo getPartnerInfo() {
    return {};
}
std::string_view getVCRedistVersionInstalled() {
    return "NA";
}
bool is64BitSystem() {
    return sizeof(void*) == 8;
}

bool isAVXCompatible() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx");
#else
    return false;
#endif
}

bool isARM64Processor() {
#if defined(__aarch64__)
    return true;
#else
    return false;
#endif
}

bool isV2AlreadyRunning() {
    return false;
}

}  // namespace zentravo::system

namespace zentravo::path {

std::filesystem::path executable() {
    return system::machine().executable();
}

}  // namespace zentravo::path
