#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "appcast.hpp"
#include "semver.hpp"
#include "update_signature.hpp"

// Fetching, checking and putting in place a new launcher. The launcher is installed as the
// bundle "Zentravo.app" (holder/Zentravo.app/Contents/MacOS/<program>, the folder whose
// Info.plist carries its version); an update replaces that whole bundle.
namespace zentravo::selfinstall {

struct Installation {
    std::filesystem::path bundle;      // holder/Zentravo.app
    std::filesystem::path executable;  // the running program, inside the bundle
};

// The bundle that holds `executable`. Throws std::runtime_error when the program does not lie
// in a bundle named "Zentravo.app" three levels up: nothing outside a bundle is ever replaced.
[[nodiscard]] Installation locate(const std::filesystem::path& executable);

// A private folder beside the bundle (same file system, so the swap is a rename), removed with
// everything still in it.
class StagingFolder {
  public:
    explicit StagingFolder(const Installation& installation);
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Removes what killed updates left beside the bundle: the folders StagingFolder names, as they
// lie there (never through a link), and only those owned by this user. Run it only while no other
// launcher of this user can be updating. Failures are logged; returns how many were removed.
std::size_t removeStagingLeftovers(const Installation& installation) noexcept;

// Ceiling on a launcher archive, whether or not the feed announces its size. The bundle packs to
// a few MB; this leaves ample room for growth, yet a feed or server that goes on sending can fill
// no more than this much of the disk beside the bundle.
inline constexpr std::int64_t kMaxArchiveBytes = std::int64_t{256} << 20;

enum class Transfer { complete, cancelled };

// Downloads the item's enclosure into `file`, calling `progress(received, total)` as data
// arrives. Returns cancelled when `cancel` became true; throws std::runtime_error when the
// transfer fails, the answer is not 200 or the size differs from the announced length. No more
// bytes than announced (kMaxArchiveBytes when no length is announced) are ever taken: the
// transfer stops as soon as the body passes that, and an announced length over the ceiling is
// refused unrequested. On every outcome but complete, `file` is removed.
[[nodiscard]] Transfer download(const appcast::Item& item, const std::filesystem::path& file,
                                const std::atomic<bool>& cancel,
                                const std::function<void(std::int64_t, std::int64_t)>& progress);

// Throws std::runtime_error unless `archive` has the item's length and carries its signature.
void verify(const std::filesystem::path& archive, const appcast::Item& item,
            const signature::PublicKey& key);

// Unpacks `archive` below `staging` and puts the bundle it holds in place of the installed one,
// after checking that it is a bundle of the same name, newer than `current`, with the program at
// the same place. Throws on any failure, leaving the installed bundle as it was.
void install(const std::filesystem::path& archive, const Installation& installation,
             const semver::version& current, const std::filesystem::path& staging);

// Starts the (new) launcher detached, without a shell.
[[nodiscard]] pid_t relaunch(const std::filesystem::path& executable,
                             const std::vector<std::string>& arguments);

// This process's arguments after the program name.
[[nodiscard]] std::vector<std::string> processArguments();

}  // namespace zentravo::selfinstall
