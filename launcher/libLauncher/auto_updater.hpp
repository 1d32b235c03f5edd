#pragma once

namespace zentravo {

// The launcher's own updater, as the Updater and the checker thread see it: started once a newer
// launcher is announced, it reports whether its check has finished and whether it found an update.
class AutoUpdater {
  public:
    virtual ~AutoUpdater() = default;
    virtual void checkForUpdates() = 0;
    [[nodiscard]] virtual bool isUpdateChecked() = 0;
    [[nodiscard]] virtual bool isValidUpdateFound() = 0;
};

}  // namespace zentravo
