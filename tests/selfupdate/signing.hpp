#pragma once
// Signs update archives the way the launcher's release tooling does: Ed25519ph over the file, the
// signature in standard base64. The demo key is the one whose public half is compiled in.

#include <sodium.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace signing {

struct KeyPair {
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};
};

inline KeyPair generate() {
    if (sodium_init() < 0) {
        throw std::runtime_error{"sodium_init failed"};
    }
    KeyPair pair;
    crypto_sign_keypair(pair.publicKey.data(), pair.secretKey.data());
    return pair;
}

// The configure-time demo key: its PKCS#8 DER form ends with the 32-byte seed.
inline KeyPair demoKey() {
    if (sodium_init() < 0) {
        throw std::runtime_error{"sodium_init failed"};
    }
    std::ifstream in{std::filesystem::path{LAUNCHER_CERT_DIR} / "update-signing.key.der",
                     std::ios::binary};
    const std::vector<unsigned char> der{std::istreambuf_iterator<char>{in}, {}};
    if (der.size() < crypto_sign_SEEDBYTES) {
        throw std::runtime_error{"no demo signing key in " LAUNCHER_CERT_DIR};
    }
    KeyPair pair;
    crypto_sign_seed_keypair(pair.publicKey.data(), pair.secretKey.data(),
                             der.data() + der.size() - crypto_sign_SEEDBYTES);
    return pair;
}

inline std::string hex(const std::array<unsigned char, crypto_sign_PUBLICKEYBYTES>& key) {
    std::string out(key.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), key.data(), key.size());
    out.pop_back();
    return out;
}

inline std::string signFile(const std::filesystem::path& file, const KeyPair& key) {
    std::ifstream in{file, std::ios::binary};
    const std::string data{std::istreambuf_iterator<char>{in}, {}};
    crypto_sign_state state;
    crypto_sign_init(&state);
    crypto_sign_update(&state, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    crypto_sign_final_create(&state, signature.data(), nullptr, key.secretKey.data());
    std::string out(sodium_base64_ENCODED_LEN(signature.size(), sodium_base64_VARIANT_ORIGINAL),
                    '\0');
    sodium_bin2base64(out.data(), out.size(), signature.data(), signature.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.find('\0'));
    return out;
}

}  // namespace signing
