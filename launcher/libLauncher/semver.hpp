#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace semver {

enum struct prerelease : std::uint8_t { alpha = 0, beta = 1, rc = 2, none = 3 };

// major.minor.patch[-(alpha|beta|rc)[.N]], every number 0..255. Five bytes, no allocation except
// the result of to_string.
struct version {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t patch = 0;
    prerelease prerelease_type = prerelease::none;
    std::uint8_t prerelease_number = 0;

    constexpr version() = default;
    constexpr version(std::uint8_t mj, std::uint8_t mn, std::uint8_t pt,
                      prerelease type = prerelease::none, std::uint8_t number = 0) noexcept
        : major{mj}, minor{mn}, patch{pt}, prerelease_type{type}, prerelease_number{number} {}

    // On failure the result's ptr is `first` and ec is invalid_argument; fields may be clobbered.
    constexpr std::from_chars_result from_chars(const char* first, const char* last) noexcept {
        const std::from_chars_result failed{first, std::errc::invalid_argument};
        if (first == nullptr || last == nullptr || last - first < 5) {
            return failed;
        }
        const char* p = first;
        if (!readNumber(p, last, major) || p == last || *p++ != '.') return failed;
        if (!readNumber(p, last, minor) || p == last || *p++ != '.') return failed;
        if (!readNumber(p, last, patch)) return failed;
        if (p == last) {
            prerelease_type = prerelease::none;
            prerelease_number = 0;
            return {p, std::errc{}};
        }
        if (*p++ != '-') return failed;
        if (matchWord(p, last, "alpha")) {
            prerelease_type = prerelease::alpha;
        } else if (matchWord(p, last, "beta")) {
            prerelease_type = prerelease::beta;
        } else if (matchWord(p, last, "rc")) {
            prerelease_type = prerelease::rc;
        } else {
            return failed;
        }
        if (p == last) {
            prerelease_number = 0;
            return {p, std::errc{}};
        }
        if (*p++ != '.') return failed;
        if (!readNumber(p, last, prerelease_number) || p != last) return failed;
        return {p, std::errc{}};
    }

    // Writes the text form; value_too_large when the buffer is missing or too short.
    // (A prerelease type outside the enumeration is invalid_argument.)
    constexpr std::to_chars_result to_chars(char* first, char* last) const noexcept {
        if (static_cast<std::uint8_t>(prerelease_type) > static_cast<std::uint8_t>(prerelease::none)) {
            return {first, std::errc::invalid_argument};
        }
        const std::size_t length = textLength();
        if (first == nullptr || last == nullptr || last < first ||
            static_cast<std::size_t>(last - first) < length) {
            return {last, std::errc::value_too_large};
        }
        char* end = first + length;
        char* p = end;
        if (prerelease_type != prerelease::none && prerelease_number != 0) {
            p = writeBackwards(p, prerelease_number);
            *--p = '.';
        }
        if (prerelease_type != prerelease::none) {
            const std::string_view word = wordOf(prerelease_type);
            for (std::size_t i = word.size(); i > 0; --i) *--p = word[i - 1];
            *--p = '-';
        }
        p = writeBackwards(p, patch);
        *--p = '.';
        p = writeBackwards(p, minor);
        *--p = '.';
        writeBackwards(p, major);
        return {end, std::errc{}};
    }

    static version from_string(std::string_view text) {
        version v;
        if (v.from_chars(text.data(), text.data() + text.size()).ec != std::errc{}) {
            throw std::invalid_argument{"semver::version::from_string invalid version."};
        }
        return v;
    }

    [[nodiscard]] std::string to_string() const {
        std::string text(textLength(), '\0');
        if (to_chars(text.data(), text.data() + text.size()).ec != std::errc{}) {
            throw std::invalid_argument{"semver::version::to_string invalid version."};
        }
        return text;
    }

    [[nodiscard]] constexpr int compare(const version& other) const noexcept {
        if (major != other.major) return major - other.major;
        if (minor != other.minor) return minor - other.minor;
        if (patch != other.patch) return patch - other.patch;
        if (prerelease_type != other.prerelease_type) {
            return static_cast<int>(prerelease_type) - static_cast<int>(other.prerelease_type);
        }
        return prerelease_number - other.prerelease_number;
    }

private:
    static constexpr std::string_view wordOf(prerelease type) noexcept {
        switch (type) {
            case prerelease::alpha: return "alpha";
            case prerelease::beta: return "beta";
            case prerelease::rc: return "rc";
            case prerelease::none: break;
        }
        return {};
    }

    static constexpr std::size_t digits(std::uint8_t n) noexcept {
        return n >= 100 ? 3 : n >= 10 ? 2 : 1;
    }

    [[nodiscard]] constexpr std::size_t textLength() const noexcept {
        std::size_t length = digits(major) + digits(minor) + digits(patch) + 2;
        if (prerelease_type != prerelease::none) {
            length += 1 + wordOf(prerelease_type).size();
            if (prerelease_number != 0) length += 1 + digits(prerelease_number);
        }
        return length;
    }

    // One or more digits with a value of at most 255; leading zeros allowed.
    static constexpr bool readNumber(const char*& p, const char* last, std::uint8_t& out) noexcept {
        const char* start = p;
        unsigned value = 0;
        while (p != last && *p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (value > 255) return false;
            ++p;
        }
        if (p == start) return false;
        out = static_cast<std::uint8_t>(value);
        return true;
    }

    // The whole word, ignoring the case of A-Z.
    static constexpr bool matchWord(const char*& p, const char* last, std::string_view word) noexcept {
        if (static_cast<std::size_t>(last - p) < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            char c = p[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != word[i]) return false;
        }
        p += word.size();
        return true;
    }

    static constexpr char* writeBackwards(char* end, std::uint8_t n) noexcept {
        do {
            *--end = static_cast<char>('0' + n % 10);
            n = static_cast<std::uint8_t>(n / 10);
        } while (n != 0);
        return end;
    }
};

constexpr bool operator==(const version& a, const version& b) noexcept { return a.compare(b) == 0; }
constexpr bool operator!=(const version& a, const version& b) noexcept { return a.compare(b) != 0; }
constexpr bool operator<(const version& a, const version& b) noexcept { return a.compare(b) < 0; }
constexpr bool operator<=(const version& a, const version& b) noexcept { return a.compare(b) <= 0; }
constexpr bool operator>(const version& a, const version& b) noexcept { return a.compare(b) > 0; }
constexpr bool operator>=(const version& a, const version& b) noexcept { return a.compare(b) >= 0; }

}  // namespace semver
