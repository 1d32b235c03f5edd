#pragma once

#include <string>

namespace zentravo {

// The public address the update service sees for this machine (its "/ip" answer), cached once
// a lookup succeeded; empty when the lookup failed, and the next call asks again. An answer
// without a text "ip" throws the JSON library's error and caches nothing.
[[nodiscard]] std::string getUserIp();

}  // namespace zentravo
