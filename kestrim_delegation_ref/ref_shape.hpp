// The shape of a ref: the text of the pattern that initialisation compiles into `_REF_RE`,
// and the native matcher that stands in for that pattern's `match`. The two must agree; the
// matcher is used only for a genuine compiled pattern of exactly this text and these flags
// (see matches_ref_pattern in field_rules.hpp), and the tests run both on the same inputs.
//
// No Python.h: the matcher reads bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#ifndef KESTRIM_SIMD
#define KESTRIM_SIMD 1
#endif
#if defined(__SSE2__) && KESTRIM_SIMD
#include <emmintrin.h>
#endif

namespace kestrim::delegation {

constexpr const char kRefPattern[] = "^sha256:[0-9a-f]{64}$";
// re.compile with no flags: a str pattern gets re.UNICODE, and nothing else.
constexpr long kRefPatternFlags = 32;

constexpr const char kRefPrefix[] = "sha256:";
constexpr std::size_t kRefPrefixLength = sizeof kRefPrefix - 1;
constexpr std::size_t kDigestLength = 64;
constexpr std::size_t kRefLength = kRefPrefixLength + kDigestLength;

// The digits `[0-9a-f]` admits.
constexpr std::array<bool, 256> kLowerHex = [] {
    std::array<bool, 256> table{};
    for (const char* c = "0123456789abcdef"; *c; ++c) table[static_cast<unsigned char>(*c)] = true;
    return table;
}();

// Whether the 64 bytes at `s` are all digits `[0-9a-f]` admits: one byte at a time, the
// reference form, which the SIMD form below must agree with (make test-native checks both).
inline bool all_lower_hex_bytewise(const unsigned char* s) noexcept {
    bool ok = true;
    for (std::size_t i = 0; i < kDigestLength; ++i) ok &= kLowerHex[s[i]];
    return ok;
}

#if defined(__SSE2__) && KESTRIM_SIMD
// Sixteen bytes a step. Signed compares see bytes from 0x80 up as negative, below '0': none
// of those is admitted, as it must be.
inline bool all_lower_hex(const unsigned char* s) noexcept {
    const __m128i below_digits = _mm_set1_epi8('0' - 1), above_digits = _mm_set1_epi8('9' + 1);
    const __m128i below_letters = _mm_set1_epi8('a' - 1), above_letters = _mm_set1_epi8('f' + 1);
    __m128i admitted = _mm_set1_epi8(-1);
    for (std::size_t i = 0; i < kDigestLength; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(v, below_digits), _mm_cmplt_epi8(v, above_digits));
        const __m128i letter =
            _mm_and_si128(_mm_cmpgt_epi8(v, below_letters), _mm_cmplt_epi8(v, above_letters));
        admitted = _mm_and_si128(admitted, _mm_or_si128(digit, letter));
    }
    return _mm_movemask_epi8(admitted) == 0xffff;
}
#else
inline bool all_lower_hex(const unsigned char* s) noexcept { return all_lower_hex_bytewise(s); }
#endif

// Whether the pattern matches an ASCII text of `n` bytes: the prefix, 64 lower-case hex
// digits, then the end, where `$` also matches just before one final line feed. A text with
// a character beyond ASCII never matches (every character the pattern admits is ASCII), so
// the caller answers that case without calling this.
inline bool has_ref_shape(const unsigned char* s, std::size_t n) noexcept {
    if (n == kRefLength + 1 && s[kRefLength] == '\n') n = kRefLength;
    if (n != kRefLength || std::memcmp(s, kRefPrefix, kRefPrefixLength) != 0) return false;
    return all_lower_hex(s + kRefPrefixLength);
}

}  // namespace kestrim::delegation
