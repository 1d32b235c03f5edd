#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fixture {

// Bytes that no compressor shrinks (xorshift32), the same for every run.
[[nodiscard]] inline std::string incompressibleBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (auto& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

}  // namespace fixture
