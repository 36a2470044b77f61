// The writer's kernel for str storage other than ASCII: code units of 1 (Latin-1), 2 or 4
// bytes to UTF-8, escaped as in text_kernels.hpp, runs of plain ASCII eight units at a time.
//
// No Python here, for the same reasons as text_kernels.hpp: tests/native/utf8_kernels_check.cpp
// checks the SSE2 and the word forms (KESTRIM_SIMD) against a unit-at-a-time reference.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kestrim_substrate/text_kernels.hpp"

namespace kestrim {
namespace {

// Units taken together: text in most scripts mixes ASCII runs (spaces, digits, Latin words)
// with its own letters, so a block either goes whole or unit by unit.
constexpr std::size_t kBlockUnits = 8;

// Whether the eight units at s are all ASCII that needs no escape; if so, writes them to p as
// eight bytes. Reads the eight units and writes the eight bytes, nothing else.
template <typename CharT>
inline bool put_plain_block(char* p, const CharT* s) noexcept {
    static_assert(sizeof(CharT) == 1 || sizeof(CharT) == 2 || sizeof(CharT) == 4);
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
#ifdef KESTRIM_USE_SSE2
    if constexpr (sizeof(CharT) == 1) {
        const std::uint64_t w = load_le64(s);
        if (((w & kHighs) | escape_mask(w)) != 0) return false;
        store_le64(p, w);
        return true;
    } else {
        __m128i narrow;
        if constexpr (sizeof(CharT) == 2) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i wide = _mm_and_si128(x, _mm_set1_epi16(static_cast<short>(0xFF80)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(wide, _mm_setzero_si128())) != 0xFFFF)
                return false;
            narrow = _mm_packus_epi16(x, x);
        } else {
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4));
            const __m128i mask = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
            const __m128i wide = _mm_or_si128(_mm_and_si128(lo, mask), _mm_and_si128(hi, mask));
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(wide, _mm_setzero_si128())) != 0xFFFF)
                return false;
            // Every unit is below 0x80 now, so neither signed nor unsigned saturation bites.
            const __m128i halves = _mm_packs_epi32(lo, hi);
            narrow = _mm_packus_epi16(halves, halves);
        }
        std::uint64_t w;  // the eight bytes in memory order, as load_le64 gives them
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&w), narrow);
        if (escape_mask(w) != 0) return false;
        std::memcpy(p, &w, sizeof w);
        return true;
    }
#else
    std::uint64_t w;
    if constexpr (sizeof(CharT) == 1) {
        w = load_le64(s);
        if ((w & kHighs) != 0) return false;
    } else {
        // Unit by unit, so that the host's byte order does not matter; compilers turn the
        // loop into a few vector operations anyway.
        std::uint32_t any = 0;
        w = 0;
        for (unsigned i = 0; i < kBlockUnits; ++i) {
            any |= s[i];
            w |= std::uint64_t{s[i] & 0x7Fu} << (8 * i);
        }
        if (any >= 0x80) return false;
    }
    if (escape_mask(w) != 0) return false;
    store_le64(p, w);
    return true;
#endif
}

// Writes units s[i] to s[stop - 1] one at a time, moving out on; returns the index of the
// first lone surrogate (where writing stopped), or -1.
template <typename CharT>
inline std::ptrdiff_t put_each(char*& out, const CharT* s, std::size_t i,
                               std::size_t stop) noexcept {
    char* p = out;
    for (; i < stop; ++i) {
        const std::uint32_t c = s[i];
        if (c < 0x80) {
            const char letter = kEscape[c];
            if (letter == 0) {
                *p++ = static_cast<char>(c);
            } else {
                p = put_escape(p, c, letter);
            }
        } else if (sizeof(CharT) == 1 || c < 0x800) {
            p[0] = static_cast<char>(0xC0 | (c >> 6));
            p[1] = static_cast<char>(0x80 | (c & 0x3F));
            p += 2;
        } else {
            if constexpr (sizeof(CharT) > 1) {
                if ((c >> 11) == (0xD800 >> 11)) {
                    out = p;
                    return static_cast<std::ptrdiff_t>(i);
                }
                if (sizeof(CharT) == 2 || c < 0x10000) {
                    p[0] = static_cast<char>(0xE0 | (c >> 12));
                    p[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                    p[2] = static_cast<char>(0x80 | (c & 0x3F));
                    p += 3;
                } else {
                    p[0] = static_cast<char>(0xF0 | (c >> 18));
                    p[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                    p[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                    p[3] = static_cast<char>(0x80 | (c & 0x3F));
                    p += 4;
                }
            }
        }
    }
    out = p;
    return -1;
}

// Below this many units a string goes unit by unit with no block tried: most strings are
// this short, and their blocks would mostly be tried and found mixed, a cost with nothing
// to win (trying them measured about 10% slower on the bench document's non-ASCII strings).
constexpr std::size_t kBlocksFrom = 4 * kBlockUnits;

// Writes the n code units at s as UTF-8, escaped, moving out on; returns the index of the
// first lone surrogate (where writing stopped), or -1. out needs room for 6 bytes a unit.
template <typename CharT>
std::ptrdiff_t put_units(char*& out, const CharT* s, std::size_t n) noexcept {
    if (n < kBlocksFrom) return put_each(out, s, 0, n);
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= kBlockUnits && s[i] < 0x80 && put_plain_block(out, s + i)) {
            out += kBlockUnits;
            i += kBlockUnits;
            continue;
        }
        // A block that is not all plain ASCII goes unit by unit.
        const std::size_t stop = std::min(n, i + kBlockUnits);
        const std::ptrdiff_t bad = put_each(out, s, i, stop);
        if (bad >= 0) return bad;
        i = stop;
    }
    return -1;
}

}  // namespace
}  // namespace kestrim
