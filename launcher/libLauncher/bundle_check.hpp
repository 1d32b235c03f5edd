#pragma once
// Whether a folder holds a main application that can start: the one check an unpacked version
// passes before it takes the place of "last", and that the installed "last" passes to count as
// installed.

#include <filesystem>
#include <string>

#include "semver.hpp"

namespace zentravo::install {

struct BundleCheck {
    std::string problem;      // why the bundle cannot start; empty when it can
    semver::version version;  // its Info.plist's version, when `problem` is empty
};

// Checks `folder`/"Zentravo.app": a folder (not a link) whose Info.plist is readable, names a
// valid version and a plain program name (CFBundleExecutable, no "/"), and whose program
// Contents/MacOS/<name> is a non-empty regular file (not a link) this process may execute; the
// folder, the bundle, Contents, Info.plist, Contents/MacOS and the program must be this user's,
// without write for group or others.
[[nodiscard]] BundleCheck checkBundle(const std::filesystem::path& folder);

}  // namespace zentravo::install
