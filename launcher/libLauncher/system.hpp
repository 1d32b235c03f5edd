#pragma once

#include <string>
#include <string_view>

namespace zentravo::system {

struct PartnerInfo {
    std::string_view name;
    std::string_view trackingId;
};

[[nodiscard]] std::string_view getOSName();
[[nodiscard]] std::string_view getOSVersion();
[[nodiscard]] std::string_view getMachineUUID();
[[nodiscard]] std::string_view getCPUName();
[[nodiscard]] std::string_view getGPUName();
[[nodiscard]] int getCPUCores();
[[nodiscard]] std::string getDefaultLanguage();
[[nodiscard]] std::string_view getDownloadId();
[[nodiscard]] PartnerInfo getPartnerInfo();
[[nodiscard]] std::string_view getVCRedistVersionInstalled();
[[nodiscard]] bool is64BitSystem();
[[nodiscard]] bool isAVXCompatible();
[[nodiscard]] bool isARM64Processor();
[[nodiscard]] bool isV2AlreadyRunning();
void showMessageBox(const std::string& title, const std::string& message);
void openExternalUrl(std::string_view url);

}  // namespace zentravo::system
