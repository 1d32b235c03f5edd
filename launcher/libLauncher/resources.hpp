#pragma once

#include <string>

namespace zentravo::system {

// The whole text of a data file shipped beside the executable's folder, by id: 103 is the page
// (../resources/index.html), 104 to 113 the translation files in ../resources/translations, in the
// order of i18n::translationFiles. Paths are relative to the working directory, which start-up
// sets to the executable's folder. Any failure is reported and gives an empty text.
[[nodiscard]] std::string getResource(int id);

}  // namespace zentravo::system
