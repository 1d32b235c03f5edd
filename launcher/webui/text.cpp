#include "text.hpp"

#include <locale.h>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vela::text {

namespace {

// Grisu2 (Loitsch, "Printing floating-point numbers quickly and accurately with integers", 2010):
// scale the number and its rounding neighbours by a cached power of ten so that the product's
// binary exponent falls in [kAlpha, kGamma], then produce digits of the upper neighbour until
// the rest lies within the (slightly shrunk) rounding interval, and nudge the last digit towards
// the exact number.

struct DiyFp {
    std::uint64_t f = 0;
    int e = 0;
};

DiyFp multiply(DiyFp a, DiyFp b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a.f) * b.f;
    auto high = static_cast<std::uint64_t>(product >> 64);
    const auto low = static_cast<std::uint64_t>(product);
    high += low >> 63;  // round the dropped half
    return {high, a.e + b.e + 64};
}

DiyFp normalize(DiyFp x) {
    const int shift = std::countl_zero(x.f);
    return {x.f << shift, x.e - shift};
}

constexpr int kAlpha = -60;
constexpr int kGamma = -32;

struct CachedPower {
    std::uint64_t f;
    int e;
    int decimalExponent;
};

// 10^k for k = -348, -340, ..., 340, as 64-bit significands rounded to nearest.
constexpr CachedPower kCachedPowers[] = {
    {0xfa8fd5a0081c0288, -1220, -348}, {0xbaaee17fa23ebf76, -1193, -340},
    {0x8b16fb203055ac76, -1166, -332}, {0xcf42894a5dce35ea, -1140, -324},
    {0x9a6bb0aa55653b2d, -1113, -316}, {0xe61acf033d1a45df, -1087, -308},
    {0xab70fe17c79ac6ca, -1060, -300}, {0xff77b1fcbebcdc4f, -1034, -292},
    {0xbe5691ef416bd60c, -1007, -284}, {0x8dd01fad907ffc3c, -980, -276},
    {0xd3515c2831559a83, -954, -268},  {0x9d71ac8fada6c9b5, -927, -260},
    {0xea9c227723ee8bcb, -901, -252},  {0xaecc49914078536d, -874, -244},
    {0x823c12795db6ce57, -847, -236},  {0xc21094364dfb5637, -821, -228},
    {0x9096ea6f3848984f, -794, -220},  {0xd77485cb25823ac7, -768, -212},
    {0xa086cfcd97bf97f4, -741, -204},  {0xef340a98172aace5, -715, -196},
    {0xb23867fb2a35b28e, -688, -188},  {0x84c8d4dfd2c63f3b, -661, -180},
    {0xc5dd44271ad3cdba, -635, -172},  {0x936b9fcebb25c996, -608, -164},
    {0xdbac6c247d62a584, -582, -156},  {0xa3ab66580d5fdaf6, -555, -148},
    {0xf3e2f893dec3f126, -529, -140},  {0xb5b5ada8aaff80b8, -502, -132},
    {0x87625f056c7c4a8b, -475, -124},  {0xc9bcff6034c13053, -449, -116},
    {0x964e858c91ba2655, -422, -108},  {0xdff9772470297ebd, -396, -100},
    {0xa6dfbd9fb8e5b88f, -369, -92},   {0xf8a95fcf88747d94, -343, -84},
    {0xb94470938fa89bcf, -316, -76},   {0x8a08f0f8bf0f156b, -289, -68},
    {0xcdb02555653131b6, -263, -60},   {0x993fe2c6d07b7fac, -236, -52},
    {0xe45c10c42a2b3b06, -210, -44},   {0xaa242499697392d3, -183, -36},
    {0xfd87b5f28300ca0e, -157, -28},   {0xbce5086492111aeb, -130, -20},
    {0x8cbccc096f5088cc, -103, -12},   {0xd1b71758e219652c, -77, -4},
    {0x9c40000000000000, -50, 4},      {0xe8d4a51000000000, -24, 12},
    {0xad78ebc5ac620000, 3, 20},       {0x813f3978f8940984, 30, 28},
    {0xc097ce7bc90715b3, 56, 36},      {0x8f7e32ce7bea5c70, 83, 44},
    {0xd5d238a4abe98068, 109, 52},     {0x9f4f2726179a2245, 136, 60},
    {0xed63a231d4c4fb27, 162, 68},     {0xb0de65388cc8ada8, 189, 76},
    {0x83c7088e1aab65db, 216, 84},     {0xc45d1df942711d9a, 242, 92},
    {0x924d692ca61be758, 269, 100},    {0xda01ee641a708dea, 295, 108},
    {0xa26da3999aef774a, 322, 116},    {0xf209787bb47d6b85, 348, 124},
    {0xb454e4a179dd1877, 375, 132},    {0x865b86925b9bc5c2, 402, 140},
    {0xc83553c5c8965d3d, 428, 148},    {0x952ab45cfa97a0b3, 455, 156},
    {0xde469fbd99a05fe3, 481, 164},    {0xa59bc234db398c25, 508, 172},
    {0xf6c69a72a3989f5c, 534, 180},    {0xb7dcbf5354e9bece, 561, 188},
    {0x88fcf317f22241e2, 588, 196},    {0xcc20ce9bd35c78a5, 614, 204},
    {0x98165af37b2153df, 641, 212},    {0xe2a0b5dc971f303a, 667, 220},
    {0xa8d9d1535ce3b396, 694, 228},    {0xfb9b7cd9a4a7443c, 720, 236},
    {0xbb764c4ca7a44410, 747, 244},    {0x8bab8eefb6409c1a, 774, 252},
    {0xd01fef10a657842c, 800, 260},    {0x9b10a4e5e9913129, 827, 268},
    {0xe7109bfba19c0c9d, 853, 276},    {0xac2820d9623bf429, 880, 284},
    {0x80444b5e7aa7cf85, 907, 292},    {0xbf21e44003acdd2d, 933, 300},
    {0x8e679c2f5e44ff8f, 960, 308},    {0xd433179d9c8cb841, 986, 316},
    {0x9e19db92b4e31ba9, 1013, 324},   {0xeb96bf6ebadf77d9, 1039, 332},
    {0xaf87023b9bf0ee6b, 1066, 340},
};

constexpr int kNumCachedPowers = sizeof(kCachedPowers) / sizeof(kCachedPowers[0]);
static_assert(kNumCachedPowers == 87);

// The cached power c with kAlpha <= e + c.e + 64 <= kGamma; the table's step of 8 decimal
// exponents (about 26.6 binary ones) is narrower than the target range, so one always exists.
const CachedPower& cachedPowerFor(int e) {
    constexpr double kLog10Of2 = 0.30102999566398114;
    const int wanted = static_cast<int>(std::ceil((kAlpha - e - 1) * kLog10Of2));
    int index = (wanted + 348 + 7) / 8;
    if (index < 0) {
        index = 0;
    }
    if (index >= kNumCachedPowers) {
        index = kNumCachedPowers - 1;
    }
    while (index + 1 < kNumCachedPowers && e + kCachedPowers[index].e + 64 < kAlpha) {
        ++index;
    }
    while (index > 0 && e + kCachedPowers[index].e + 64 > kGamma) {
        --index;
    }
    return kCachedPowers[index];
}

// Moves the last digit down while that brings the digits closer to the scaled number (distance
// from the upper bound: distanceToUpper) without leaving the interval of width delta.
void roundTowardsNumber(char* digits, int length, std::uint64_t delta, std::uint64_t rest,
                        std::uint64_t tenKappa, std::uint64_t distanceToUpper) {
    while (rest < distanceToUpper && delta - rest >= tenKappa &&
           (rest + tenKappa < distanceToUpper ||
            distanceToUpper - rest > rest + tenKappa - distanceToUpper)) {
        --digits[length - 1];
        rest += tenKappa;
    }
}

constexpr std::uint32_t kPowersOfTen32[] = {1,      10,      100,      1000,      10000,
                                            100000, 1000000, 10000000, 100000000, 1000000000};

// Fills digits (no leading zeros) and returns their count; decimalExponent is the power of ten
// of the last digit, relative to the scaled number.
int generateDigits(DiyFp scaled, DiyFp upper, std::uint64_t delta, char* digits,
                   int& decimalExponent) {
    const int shift = -upper.e;
    const std::uint64_t fractionMask = (std::uint64_t{1} << shift) - 1;
    std::uint64_t distanceToUpper = upper.f - scaled.f;

    auto integral = static_cast<std::uint32_t>(upper.f >> shift);
    std::uint64_t fraction = upper.f & fractionMask;

    int kappa = 1;
    while (kappa < 10 && integral >= kPowersOfTen32[kappa]) {
        ++kappa;
    }
    int length = 0;
    while (kappa > 0) {
        const std::uint32_t divisor = kPowersOfTen32[kappa - 1];
        digits[length++] = static_cast<char>('0' + integral / divisor);
        integral %= divisor;
        --kappa;
        const std::uint64_t rest = (std::uint64_t{integral} << shift) + fraction;
        if (rest <= delta) {
            decimalExponent = kappa;
            roundTowardsNumber(digits, length, delta, rest, std::uint64_t{divisor} << shift,
                               distanceToUpper);
            return length;
        }
    }
    for (;;) {
        fraction *= 10;
        delta *= 10;
        distanceToUpper *= 10;
        digits[length++] = static_cast<char>('0' + (fraction >> shift));
        fraction &= fractionMask;
        --kappa;
        if (fraction <= delta) {
            decimalExponent = kappa;
            roundTowardsNumber(digits, length, delta, fraction, std::uint64_t{1} << shift,
                               distanceToUpper);
            return length;
        }
    }
}

// Digits of a finite positive number and the power of ten of the last one.
int grisu2(double number, char* digits, int& decimalExponent) {
    const auto bits = std::bit_cast<std::uint64_t>(number);
    constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << 52;
    const std::uint64_t fractionBits = bits & (kHiddenBit - 1);
    const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);

    DiyFp value;
    if (biasedExponent != 0) {
        value = {fractionBits | kHiddenBit, biasedExponent - 1075};
    } else {
        value = {fractionBits, -1074};
    }

    // The rounding interval's bounds: halfway to the neighbouring doubles. Below a power of two
    // the lower neighbour is twice as close.
    const DiyFp upper = normalize({(value.f << 1) + 1, value.e - 1});
    const bool lowerIsCloser = fractionBits == 0 && biasedExponent > 1;
    DiyFp lower = lowerIsCloser ? DiyFp{(value.f << 2) - 1, value.e - 2}
                                : DiyFp{(value.f << 1) - 1, value.e - 1};
    lower.f <<= lower.e - upper.e;
    lower.e = upper.e;
    const DiyFp normalized = normalize(value);

    const CachedPower& power = cachedPowerFor(upper.e);
    const DiyFp cached{power.f, power.e};
    const DiyFp scaled = multiply(normalized, cached);
    DiyFp scaledUpper = multiply(upper, cached);
    DiyFp scaledLower = multiply(lower, cached);
    // The products are off by up to one unit; shrink the interval so every digit string in it
    // certainly reads back to the number.
    ++scaledLower.f;
    --scaledUpper.f;

    int kappa = 0;
    const int length =
        generateDigits(scaled, scaledUpper, scaledUpper.f - scaledLower.f, digits, kappa);
    decimalExponent = kappa - power.decimalExponent;
    return length;
}

void appendZeros(std::string& out, int count) {
    out.append(static_cast<std::size_t>(count), '0');
}

// Digits without their trailing zeros, keeping at least one.
std::string_view withoutTrailingZeros(std::string_view digits) {
    while (digits.size() > 1 && digits.back() == '0') {
        digits.remove_suffix(1);
    }
    return digits;
}

}  // namespace

std::string floatToString(double number, bool omitPointIfPossible) {
    if (number == 0.0) {
        return std::signbit(number) ? "-0.0" : "0.0";
    }
    std::string out;
    if (number < 0) {
        out += '-';
        number = -number;
    }

    char buffer[32];
    int k = 0;
    const int n = grisu2(number, buffer, k);
    const std::string_view digits(buffer, static_cast<std::size_t>(n));
    const int point = n + k;

    if (point >= 1 && point <= 21) {
        if (k >= 0) {
            out += digits;
            appendZeros(out, k);
            out += ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(point));
            out += '.';
            out += digits.substr(static_cast<std::size_t>(point));
        }
    } else if (point >= -5 && point <= 0) {
        out += "0.";
        appendZeros(out, -point);
        out += withoutTrailingZeros(digits);
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out += withoutTrailingZeros(digits.substr(1));
        }
        out += 'e';
        const int exponent = point - 1;
        if (exponent < 0) {
            out += '-';
        }
        out += std::to_string(exponent < 0 ? -exponent : exponent);
    }

    if (omitPointIfPossible && out.size() >= 2 && out.ends_with(".0")) {
        out.resize(out.size() - 2);
    }
    return out;
}

double parseDouble(const char* text, char** end) {
    // Made once and never changed; newlocale only fails without memory, and then the process's
    // own locale is the best that is left.
    static const locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (classic == static_cast<locale_t>(nullptr)) {
        return std::strtod(text, end);
    }
    return strtod_l(text, end, classic);
}

std::string replace(std::string_view text, std::string_view token, std::string_view replacement) {
    if (token.empty()) {
        return std::string(text);
    }
    std::string result;
    result.reserve(text.size());
    std::size_t position = 0;
    for (;;) {
        const std::size_t found = text.find(token, position);
        if (found == std::string_view::npos) {
            break;
        }
        result.append(text, position, found - position);
        result += replacement;
        position = found + token.size();
    }
    result.append(text, position);
    return result;
}

}  // namespace vela::text
