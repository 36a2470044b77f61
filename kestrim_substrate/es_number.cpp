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

char* write_exponent(char* p, int exponent) noexcept {
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    return write_decimal(static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent), p);
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
    if (value < kExactIntegerLimit && value == std::floor(value)) {
        return static_cast<std::size_t>(write_decimal(static_cast<std::uint64_t>(value), p) - out);
    }

    // Shortest round-trip digits (closest to the exact value on ties) in the form
    // "d[.ddd]e±XX"; pull out the digit string and the decimal exponent.
    char sci[kMaxNumberChars];
    const char* sci_end =
        std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    char digits[20];
    int k = 0;
    const char* q = sci;
    for (; q < sci_end && *q != 'e'; ++q) {
        if (*q != '.') digits[k++] = *q;
    }
    int exponent = 0;
    ++q;  // past 'e'
    const bool negative_exponent = *q == '-';
    std::from_chars(q + 1, sci_end, exponent);
    if (negative_exponent) exponent = -exponent;
    // ECMAScript's n: the value is 0.d1d2...dk * 10**n.
    const int n = exponent + 1;

    if (k <= n && n <= 21) {  // integer: digits then zeros
        std::memcpy(p, digits, k);
        p += k;
        std::memset(p, '0', n - k);
        p += n - k;
    } else if (0 < n && n <= 21) {  // point inside the digits
        std::memcpy(p, digits, n);
        p += n;
        *p++ = '.';
        std::memcpy(p, digits + n, k - n);
        p += k - n;
    } else if (-6 < n && n <= 0) {  // small: leading "0.000"
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', -n);
        p += -n;
        std::memcpy(p, digits, k);
        p += k;
    } else {
        *p++ = digits[0];
        if (k > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, k - 1);
            p += k - 1;
        }
        p = write_exponent(p, n - 1);
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace kestrim::es
