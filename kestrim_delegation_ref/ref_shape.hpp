// The shape of a ref: the text of the pattern that initialisation compiles into `_REF_RE`,
// and the native matcher that stands in for that pattern's `match`. The two must agree; the
// matcher is used only for a genuine compiled pattern of exactly this text and these flags
// (see matches_ref_pattern in delegation_ref.cpp), and the tests run both on the same inputs.
//
// No Python.h: the matcher reads bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

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

// Whether the pattern matches an ASCII text of `n` bytes: the prefix, 64 lower-case hex
// digits, then the end, where `$` also matches just before one final line feed. A text with
// a character beyond ASCII never matches (every character the pattern admits is ASCII), so
// the caller answers that case without calling this.
inline bool has_ref_shape(const unsigned char* s, std::size_t n) noexcept {
    if (n == kRefLength + 1 && s[kRefLength] == '\n') n = kRefLength;
    if (n != kRefLength || std::memcmp(s, kRefPrefix, kRefPrefixLength) != 0) return false;
    for (std::size_t i = kRefPrefixLength; i < kRefLength; ++i) {
        if (!kLowerHex[s[i]]) return false;
    }
    return true;
}

}  // namespace kestrim::delegation
