// Byte-level kernels of the writer: words in a fixed byte order, the escape table, ASCII
// text escaped a word at a time, the check-and-copy of text that needs no escape, and hex.
//
// No Python here: tests/native/text_kernels_check.cpp builds these alone and checks them
// against byte-at-a-time references, the SIMD forms and the word forms side by side. The
// writer uses the SSE2 forms when KESTRIM_USE_SSE2 is set (the compiler targets SSE2 and
// the build leaves KESTRIM_SIMD on); a build with KESTRIM_SIMD=0 compiles and runs the word
// forms instead, so that they are tested too.
//
// These headers are parts of _jcs.cpp's one translation unit (and of the native check's):
// internal linkage leaves the compiler free to inline and specialise as it did when they
// were one file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef KESTRIM_SIMD
#define KESTRIM_SIMD 1
#endif
#if defined(__SSE2__) && KESTRIM_SIMD
#define KESTRIM_USE_SSE2 1
#include <emmintrin.h>
#endif

namespace kestrim {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// How each ASCII code unit is written inside a string: 0 copies it as is, 'u' writes \u00xx,
// anything else is the letter after a backslash.
constexpr std::array<char, 0x80> make_escapes() {
    std::array<char, 0x80> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}
constexpr std::array<char, 0x80> kEscape = make_escapes();

// Word-at-a-time writers store whole words and may run this far past what they keep.
constexpr std::size_t kScratch = 8;

// ---- words ------------------------------------------------------------------------------

// Words are handled as little-endian whatever the host, so byte i of the text is always
// bits 8i..8i+7 and the lowest set bit marks the first byte.
inline std::uint64_t load_le64(const void* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

inline std::uint32_t load_le32(const void* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

inline void store_le64(void* p, std::uint64_t w) noexcept {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    std::memcpy(p, &w, sizeof w);
}

// The n bytes at s (1 <= n <= 7) as the low bytes of a word, without reading past them: two
// overlapping loads, whose shared bytes agree.
inline std::uint64_t load_short(const std::uint8_t* s, unsigned n) noexcept {
    if (n >= 4) return load_le32(s) | std::uint64_t{load_le32(s + n - 4)} << (8 * (n - 4));
    return s[0] | std::uint64_t{s[n >> 1]} << (8 * (n >> 1)) |
           std::uint64_t{s[n - 1]} << (8 * (n - 1));
}

// ---- escapes ----------------------------------------------------------------------------

// The high bit of each byte of w that needs escaping: below 0x20, '"' or '\\'. Only for
// ASCII bytes, where every byte stays below 0x80 and each test reduces to one subtraction.
// A match can make a borrow that flags the byte above it as well, so only the lowest flag
// is trusted: no borrow reaches it.
inline std::uint64_t escape_mask(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    return ((w - kOnes * 0x20) | ((w ^ (kOnes * '"')) - kOnes) | ((w ^ (kOnes * '\\')) - kOnes)) &
           kHighs;
}

inline char* put_escape(char* p, unsigned c, char letter) noexcept {
    *p++ = '\\';
    *p++ = letter;
    if (letter == 'u') {
        *p++ = '0';
        *p++ = '0';
        *p++ = kHexDigits[c >> 4];
        *p++ = kHexDigits[c & 0xF];
    }
    return p;
}

// Writes the low n bytes (1..8) of an ASCII word, escaped. Stores whole words: needs
// kScratch bytes of room past the escaped text.
inline char* put_word(char* p, std::uint64_t w, unsigned n) noexcept {
    for (;;) {
        std::uint64_t mask = escape_mask(w);
        if (n < 8) mask &= (std::uint64_t{1} << (8 * n)) - 1;
        store_le64(p, w);
        if (mask == 0) return p + n;
        const unsigned at = static_cast<unsigned>(__builtin_ctzll(mask)) >> 3;
        const unsigned c = static_cast<unsigned>(w >> (8 * at)) & 0xFF;
        p = put_escape(p + at, c, kEscape[c]);
        if (at + 1 == n) return p;
        w >>= 8 * (at + 1);
        n -= at + 1;
    }
}

// Writes the ASCII text s..end escaped, a word at a time. begin is where the string starts:
// a tail shorter than a word is read as the last word of the string when there is one, and
// nothing before begin or from end on is read.
[[gnu::noinline]] char* put_ascii(char* p, const std::uint8_t* begin, const std::uint8_t* s,
                                  const std::uint8_t* end) noexcept {
    while (end - s >= 8) {
        const std::uint64_t w = load_le64(s);
        s += 8;
        if (escape_mask(w) == 0) {
            store_le64(p, w);
            p += 8;
        } else {
            p = put_word(p, w, 8);
        }
    }
    const auto rest = static_cast<unsigned>(end - s);
    if (rest == 0) return p;
    const std::uint64_t w =
        end - begin >= 8 ? load_le64(end - 8) >> (8 * (8 - rest)) : load_short(s, rest);
    return put_word(p, w, rest);
}

// The bytes copy_plain may be given. kAscii: ASCII text, where each test has its cheapest
// form. kUtf8: the interpreter's UTF-8 form of a str, any bytes; there the lead byte 0xED,
// that of U+D000..U+DFFF, is refused as well, so that text which might hold an encoded
// surrogate goes the way that checks each code point.
enum class PlainBytes { kAscii, kUtf8 };

// Whether byte c stops copy_plain for text of the given kind.
template <PlainBytes kBytes>
inline bool byte_stops_plain(std::uint8_t c) noexcept {
    if (kBytes == PlainBytes::kUtf8 && c >= 0x80) return c == 0xED;
    return kEscape[c] != 0;
}

// Nonzero if a byte of w stops copy_plain. For UTF-8, only whether one does is exact (a
// borrow can flag a byte above a true match), which is all copy_plain asks.
template <PlainBytes kBytes>
inline std::uint64_t word_stops_plain(std::uint64_t w) noexcept {
    if (kBytes == PlainBytes::kAscii) return escape_mask(w);
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const auto zero_byte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    return ((w - kOnes * 0x20) & ~w & kHighs) | zero_byte(w ^ (kOnes * '"')) |
           zero_byte(w ^ (kOnes * '\\')) | zero_byte(w ^ (kOnes * 0xED));
}

// Copies the n bytes at s to p if none of them stops the copy (needs escaping, or see
// PlainBytes), and says whether it did (if not, whatever it copied is to be overwritten).
// Most strings need no escape, so this only checks and copies, in a few loads and stores:
// the last load and store of each size overlap the one before rather than go a byte at a
// time. Reads and writes nothing outside the n bytes. The SSE2 form and the word form are
// each checked by the native test, built once with KESTRIM_SIMD on and once with it off.
template <PlainBytes kBytes = PlainBytes::kAscii>
inline bool copy_plain(char* p, const std::uint8_t* s, std::size_t n) noexcept {
#ifdef KESTRIM_USE_SSE2
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    auto plain = [&](__m128i x) {
        __m128i bad = _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash));
        if constexpr (kBytes == PlainBytes::kAscii) {
            // Signed byte comparison is exact for ASCII (every byte below 0x80).
            bad = _mm_or_si128(bad, _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)));
        } else {
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);
            const __m128i lead = _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(0xED)));
            bad = _mm_or_si128(bad, _mm_or_si128(control, lead));
        }
        return _mm_movemask_epi8(bad) == 0;
    };
    if (n >= 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            if (!plain(x)) return false;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), x);
        }
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
        if (!plain(x)) return false;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + n - 16), x);
        return true;
    }
    if (n >= 8) {
        const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
        const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - 8));
        if (!plain(_mm_unpacklo_epi64(head, tail))) return false;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), head);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p + n - 8), tail);
        return true;
    }
#else
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            const std::uint64_t w = load_le64(s + i);
            if (word_stops_plain<kBytes>(w) != 0) return false;
            store_le64(p + i, w);
        }
        const std::uint64_t w = load_le64(s + n - 8);
        if (word_stops_plain<kBytes>(w) != 0) return false;
        store_le64(p + n - 8, w);
        return true;
    }
#endif
    if (n >= 4) {
        const std::uint32_t head = load_le32(s);
        const std::uint32_t tail = load_le32(s + n - 4);
        if (word_stops_plain<kBytes>(head | std::uint64_t{tail} << 32) != 0) return false;
        std::memcpy(p, s, 4);
        std::memcpy(p + n - 4, s + n - 4, 4);
        return true;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (byte_stops_plain<kBytes>(s[i])) return false;
        p[i] = static_cast<char>(s[i]);
    }
    return true;
}

// ---- hex --------------------------------------------------------------------------------

// The bytes of a SHA-256 digest, which is all that is ever written in hex.
constexpr int kDigestBytes = 32;

// The 64 lower-case hex digits of a digest (no terminator).
void to_hex(const unsigned char bytes[kDigestBytes], char* out) noexcept {
#ifdef KESTRIM_USE_SSE2
    const __m128i low_nibbles = _mm_set1_epi8(0x0F);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero_char = _mm_set1_epi8('0');
    const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
    auto digits = [&](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
        return _mm_add_epi8(_mm_add_epi8(nibbles, zero_char), letters);
    };
    for (int i = 0; i < kDigestBytes; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(x, 4), low_nibbles);
        const __m128i low = _mm_and_si128(x, low_nibbles);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i),
                         digits(_mm_unpacklo_epi8(high, low)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16),
                         digits(_mm_unpackhi_epi8(high, low)));
    }
#else
    for (int i = 0; i < kDigestBytes; ++i) {
        out[2 * i] = kHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
    }
#endif
}

}  // namespace
}  // namespace kestrim
