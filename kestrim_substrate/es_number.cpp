#include "kestrim_substrate/es_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kestrim::es {
namespace {

// Below 2**53 every integer is a double and no shorter digit string rounds to it, so the
// shortest round-trip form is the integer itself: skip the general algorithm.
constexpr double kExactIntegerLimit = 9007199254740992.0;

// The powers of ten a double holds exactly.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxFractionDigits = 22;

// Bounds of the short-decimal path (see short_decimal()): v * 10**k stays below 2**49, and
// values under 1e-7 would need more fraction digits than kPowersOfTen holds anyway.
constexpr double kShortScaledLimit = 562949953421312.0;  // 2**49
constexpr double kShortMinimum = 1e-7;

// The shortest decimal of v when it has few digits, as most fractional numbers in documents
// do (prices, coordinates, rounded measurements): the digits d and the count k of them after
// the point, so that v is the double nearest d / 10**k. False when there is none with
// d * 10**k... below 2**49, or v is out of range: the general algorithm decides then.
//
// Why this is exact. For each k from 1 up, the one integer that can stand for v is the one
// nearest v * 10**k: below 2**49 a double's spacing scaled by 10**k is under 1/8, so the
// integers whose quotient rounds back to v lie within 1/16 of v * 10**k, and the product
// computed in floating point is within 1/32 of it. That there is no other candidate also
// settles which of two to take, and d / 10**k, two exact doubles divided once, is exactly
// how a correct parser reads "d e-k" (the quotient is rounded once, to nearest). The first
// k whose candidate reads back as v gives the fewest digits, since with one digit fewer
// after the point the digits before it do not change (v is not an integer here).
bool short_decimal(double v, std::uint64_t& digits, int& k) noexcept {
    if (!(v >= kShortMinimum && v < kShortScaledLimit)) return false;
    for (int i = 1; i <= kMaxFractionDigits; ++i) {
        const double p = kPowersOfTen[i];
        const double scaled = v * p;
        if (scaled >= kShortScaledLimit) return false;
        // Rounded to nearest by hand (nearbyint is a library call): below 2**49 adding a
        // half is exact. An exact tie cannot read back as v (see above), so its side is moot.
        const auto nearest = static_cast<std::uint64_t>(scaled + 0.5);
        if (static_cast<double>(nearest) / p == v) {
            digits = nearest;
            k = i;
            return true;
        }
    }
    return false;
}

char* write_exponent(char* p, int exponent) noexcept {
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    return write_decimal(static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent), p);
}

// Digits are copied kPiece at a time whatever their count: one fixed-size copy compiles to two
// stores, where a copy of a variable length is a library call. Digit buffers hold
// kDigitsRoom bytes so that such a copy from any digit stays inside them.
constexpr std::size_t kPiece = 32;
constexpr std::size_t kDigitsRoom = 64;

// Writes the significant digits (count of them, no leading or trailing zeros, in a buffer of
// kDigitsRoom bytes) as ECMAScript's Number::toString lays them out, where n is its
// exponent: the value is 0.ddd * 10**n. Writes at most kNumberRoom - 8 bytes from p.
char* shape(const char* digits, int count, int n, char* p) noexcept {
    std::memcpy(p, digits, kPiece);
    if (count <= n && n <= 21) {  // integer: digits then zeros
        std::memset(p + count, '0', 24);
        return p + n;
    }
    if (0 < n && n <= 21) {  // point inside the digits
        p[n] = '.';
        std::memcpy(p + n + 1, digits + n, kPiece);
        return p + count + 1;
    }
    if (-6 < n && n <= 0) {  // small: leading "0.000"
        std::memset(p, '0', 8);
        p[1] = '.';
        std::memcpy(p + 2 - n, digits, kPiece);
        return p + 2 - n + count;
    }
    p[1] = '.';
    std::memcpy(p + 2, digits + 1, kPiece);
    p += count > 1 ? count + 1 : 1;
    return write_exponent(p, n - 1);
}

}  // namespace

std::size_t format_double(double value, char* out) noexcept {
    char* p = out;
    if (value == 0.0) {  // also -0.0
        *p++ = '0';
        return 1;
    }
    if (value < 0) {
        *p++ = '-';
        value = -value;
    }
    // Truncated and converted back rather than std::floor, which is a library call where the
    // target lacks SSE4.1's rounding instruction: two conversions, exact below 2**53.
    if (value < kExactIntegerLimit &&
        static_cast<double>(static_cast<std::int64_t>(value)) == value) {
        return static_cast<std::size_t>(write_decimal(static_cast<std::uint64_t>(value), p) - out);
    }

    char digits[kDigitsRoom];
    std::uint64_t decimal;
    int fraction_digits;
    if (short_decimal(value, decimal, fraction_digits)) {
        const int count = static_cast<int>(write_decimal(decimal, digits) - digits);
        return static_cast<std::size_t>(shape(digits, count, count - fraction_digits, p) - out);
    }

    // Shortest round-trip digits (closest to the exact value on ties) in the form
    // "d[.ddd]e±XX": the digit string, then the decimal exponent.
    // The text is read by its fixed shape rather than a character at a time: one digit, then
    // ".ddd" if there are more, then 'e', a sign and two or three digits (a double's decimal
    // exponent has at most three, and to_chars writes at least two).
    char sci[kDigitsRoom];
    const char* const sci_end =
        std::to_chars(sci, sci + kMaxNumberChars, value, std::chars_format::scientific).ptr;
    const bool three = sci_end[-5] == 'e';
    const char* const e = sci_end - (three ? 5 : 4);
    digits[0] = sci[0];
    std::memcpy(digits + 1, sci + 2, kPiece);  // the digits after the point, if any
    const int count = e - sci > 1 ? static_cast<int>(e - sci) - 1 : 1;
    int exponent = (e[2] - '0') * 10 + (e[3] - '0');
    if (three) exponent = exponent * 10 + (e[4] - '0');
    if (e[1] == '-') exponent = -exponent;
    return static_cast<std::size_t>(shape(digits, count, exponent + 1, p) - out);
}

}  // namespace kestrim::es
