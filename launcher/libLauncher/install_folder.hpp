#pragma once

#include <filesystem>

namespace zentravo::install {

// Puts the folder `replacement` in the place of `target` so that, whatever moment the process is
// stopped at, `target` holds either its previous contents or the replacement: the two are
// exchanged atomically where the file system allows it, otherwise `target` is first renamed aside
// (to asideFolder(target)), from where restoreInterrupted brings it back. The previous contents
// are removed afterwards; a failure to remove them, or to set them aside where they cannot be
// removed (see removal::removeOrDiscard), is returned, not thrown, since the swap is done. Throws
// std::filesystem::filesystem_error when the swap itself fails; `target` is then unchanged.
[[nodiscard]] std::error_code replaceFolder(const std::filesystem::path& replacement,
                                            const std::filesystem::path& target);

// Where replaceFolder parks `target` when it cannot exchange the two at once.
[[nodiscard]] std::filesystem::path asideFolder(const std::filesystem::path& target);

// After a replaceFolder that was cut short between its two renames: puts the parked folder back
// when `target` is missing, and drops it when `target` exists (as far as it can: what cannot be
// dropped stays). Returns whether it restored one.
bool restoreInterrupted(const std::filesystem::path& target);

// Removes everything in `installFolder` beside "last" and the folder a cut-short replaceFolder
// parked it in (restoreInterrupted decides on that one): what an interrupted installation left,
// such as the previous contents of "last" under the new version's name. Only for the one running
// launcher of this user, before it installs anything: no other installation may be under way.
// Each removal is logged; one that fails is logged and the rest go on.
void clearLeftovers(const std::filesystem::path& installFolder);

}  // namespace zentravo::install
