#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zentravo::system {

struct PartnerInfo {
    std::string_view name;
    std::string_view trackingId;
};

// Machine facts. Texts returned as views live for the whole process. The OS version and the GPU
// name are looked up once (a GPU name that cannot be found stays empty and is reported once); the
// machine id and CPU name are kept once non-empty and asked again while empty; the core count is
// asked again while it is not positive. Failures are reported, never thrown.
[[nodiscard]] std::string_view getOSName();
[[nodiscard]] std::string_view getOSVersion();
[[nodiscard]] std::string_view getMachineUUID();
[[nodiscard]] std::string_view getCPUName();
[[nodiscard]] std::string_view getGPUName();
[[nodiscard]] int getCPUCores();
// The user's preferred language as a bare code ("pt" for pt_BR.UTF-8); "en" when none is set.
[[nodiscard]] std::string getDefaultLanguage();
[[nodiscard]] std::string_view getDownloadId();
[[nodiscard]] PartnerInfo getPartnerInfo();
[[nodiscard]] std::string_view getVCRedistVersionInstalled();
[[nodiscard]] bool is64BitSystem();
[[nodiscard]] bool isAVXCompatible();
[[nodiscard]] bool isARM64Processor();
[[nodiscard]] bool isV2AlreadyRunning();

// A modal note with one "OK" button. Safe from any thread: the dialog always runs on the main
// thread and the caller waits until it is dismissed. Without a display the texts are only logged.
void showMessageBox(const std::string& title, const std::string& message);
// Hands the URL to the desktop's default handler; invalid texts open nothing.
void openExternalUrl(std::string_view url);

// True when the main application runs with the launcher's tag on its command line (another
// process than this one); its window is brought forward when a display allows.
[[nodiscard]] bool isV3AlreadyRunning();

// Deep links opened while this launcher runs reach `callback` on the main thread (one callback
// per process; a later registration replaces it), through the launcher's application name on the
// session bus when that bus is served by this user. Registering hands nothing over: whoever else
// owns the name, this launcher carries on.
void registerDeeplinkHandler(std::function<void(const std::string&)> callback);

enum class HandOver {
    taken,       // the running launcher took the link
    unanswered,  // it did not answer in time: it may still take the link once it is free
    failed,      // no trusted session bus, no owner of this user, or the link is not UTF-8
};

// Hands `link` to the launcher registered for deep links in this desktop session, without
// registering this process. Only a bus served by this user (by its socket's peer) and an owner
// of the name that is this user's (as that daemon tells) are trusted; anything else is logged
// and fails. Waits a few seconds at most.
[[nodiscard]] HandOver handDeeplinkToRunningLauncher(const std::string& link);

}  // namespace zentravo::system
