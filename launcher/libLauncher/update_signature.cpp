#include "update_signature.hpp"

#include <sodium.h>

#include <fstream>
#include <stdexcept>
#include <vector>

#include "build_config.hpp"

namespace zentravo::signature {
namespace {

void ensureSodium() {
    static const int ready = sodium_init();
    if (ready < 0) {
        throw std::runtime_error{"libsodium could not be initialised"};
    }
}

}  // namespace

PublicKey publicKeyFromHex(std::string_view hex) {
    ensureSodium();
    PublicKey key{};
    std::size_t written = 0;
    const char* end = nullptr;
    if (hex.size() != key.size() * 2 ||
        sodium_hex2bin(key.data(), key.size(), hex.data(), hex.size(), nullptr, &written, &end) !=
            0 ||
        written != key.size() || end != hex.data() + hex.size()) {
        throw std::invalid_argument{"An Ed25519 public key is 64 hex digits"};
    }
    return key;
}

PublicKey launcherUpdateKey() {
    return publicKeyFromHex(config::kUpdatePublicKey.reveal());
}

bool verifyFile(const std::filesystem::path& file, std::int64_t length,
                std::string_view signatureBase64, const PublicKey& key) {
    ensureSodium();
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    std::size_t written = 0;
    const char* end = nullptr;
    if (sodium_base642bin(signature.data(), signature.size(), signatureBase64.data(),
                          signatureBase64.size(), nullptr, &written, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        written != signature.size() || end != signatureBase64.data() + signatureBase64.size()) {
        return false;
    }
    std::ifstream in{file, std::ios::binary};
    if (!in) {
        throw std::runtime_error{"Cannot read " + file.string()};
    }
    crypto_sign_state state;
    crypto_sign_init(&state);
    std::vector<char> buffer(1 << 16);
    std::int64_t total = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = in.gcount();
        if (got > 0) {
            crypto_sign_update(&state, reinterpret_cast<const unsigned char*>(buffer.data()),
                               static_cast<unsigned long long>(got));
            total += got;
        }
    }
    if (in.bad()) {
        throw std::runtime_error{"Cannot read " + file.string()};
    }
    return total == length && crypto_sign_final_verify(&state, signature.data(), key.data()) == 0;
}

}  // namespace zentravo::signature
