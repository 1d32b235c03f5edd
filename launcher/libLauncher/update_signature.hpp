#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Ed25519 signatures of launcher update archives. An archive is signed as a stream (Ed25519ph:
// Ed25519 over the SHA-512 of the whole file), so neither side needs it in memory at once.
namespace zentravo::signature {

using PublicKey = std::array<unsigned char, 32>;

// The key from its 64 hex digits. Throws std::invalid_argument for any other text.
[[nodiscard]] PublicKey publicKeyFromHex(std::string_view hex);

// The key compiled into the launcher.
[[nodiscard]] PublicKey launcherUpdateKey();

// True when `file` is exactly `length` bytes long and `signatureBase64` (64 bytes, standard
// base64) is a signature of its contents by `key`. Throws std::runtime_error when the file
// cannot be read.
[[nodiscard]] bool verifyFile(const std::filesystem::path& file, std::int64_t length,
                              std::string_view signatureBase64, const PublicKey& key);

}  // namespace zentravo::signature
