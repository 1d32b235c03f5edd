#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zentravo::secret {

// A text kept scrambled in the binary and revealed only at run time, so that keys and addresses
// do not stand in the executable as plain strings. The constructor is consteval: the plain text
// never reaches the object file.
template <std::size_t N>
class Scrambled {
public:
    consteval Scrambled(const char (&text)[N]) {  // NOLINT(google-explicit-constructor)
        for (std::size_t i = 0; i + 1 < N; ++i) {
            data_[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^ keyAt(i));
        }
    }

    [[nodiscard]] std::string reveal() const {
        std::string out(N - 1, '\0');
        for (std::size_t i = 0; i + 1 < N; ++i) {
            out[i] = static_cast<char>(static_cast<unsigned char>(data_[i]) ^ keyAt(i));
        }
        return out;
    }

    [[nodiscard]] static constexpr std::size_t size() { return N - 1; }

private:
    // A small xorshift stream seeded per position; enough to keep strings(1) from finding them.
    static constexpr unsigned char keyAt(std::size_t i) {
        std::uint32_t x = 0x9E3779B9u ^ static_cast<std::uint32_t>(i * 0x85EBCA6Bu + N);
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return static_cast<unsigned char>(x ^ (x >> 8) ^ (x >> 16));
    }

    std::array<char, (N > 1 ? N - 1 : 1)> data_{};
};

}  // namespace zentravo::secret
