// The order of object members: keys compare by their UTF-16 code units (RFC 8785), whatever
// width the interpreter stores their characters in.
//
// No Python here (the unit types are those of str's 1-, 2- and 4-byte forms), so that the
// native check can compare it with a reference on many keys. A part of _jcs.cpp's one
// translation unit; see text_kernels.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kestrim_substrate/text_kernels.hpp"

namespace kestrim {
namespace {

// The UTF-16 units of texts compared from the first place their code points differ, where one
// is a character beyond U+FFFF and the other a surrogate code point (a str may hold one; the
// text is refused when written, but which refusal comes first follows from the order). The
// character's two units do not line up with the other text's, so no order of code points can
// stand in for the order of units: they are walked. Texts whose units agree to the end (a
// pair of surrogate code points against the character they encode) are still two keys, told
// apart by code point, so that neither is taken for a duplicate of the other.
template <typename A, typename B>
[[gnu::noinline, gnu::cold]] int compare_split_units(const A* a, std::ptrdiff_t na, const B* b,
                                                     std::ptrdiff_t nb) noexcept {
    const auto unit = [](std::uint32_t c, bool trail) -> std::uint32_t {
        if (c <= 0xFFFF) return c;
        return trail ? 0xDC00 + ((c - 0x10000) & 0x3FF) : 0xD800 + ((c - 0x10000) >> 10);
    };
    std::ptrdiff_t i = 0;
    std::ptrdiff_t j = 0;
    bool trail_a = false;
    bool trail_b = false;
    while (i < na && j < nb) {
        const std::uint32_t x = unit(a[i], trail_a);
        const std::uint32_t y = unit(b[j], trail_b);
        if (x != y) return x < y ? -1 : 1;
        trail_a = a[i] > 0xFFFF && !trail_a;
        i += !trail_a;
        trail_b = b[j] > 0xFFFF && !trail_b;
        j += !trail_b;
    }
    if (i < na || j < nb) return (i < na) - (j < nb);
    return std::uint32_t{a[0]} < std::uint32_t{b[0]} ? -1 : 1;
}

// Code points ordered as their UTF-16 forms are: characters beyond U+FFFF (lead unit
// D800..DBFF) come after U+D7FF and before U+E000..U+FFFF.
constexpr std::uint32_t utf16_rank(std::uint32_t c) noexcept {
    return c >= 0xE000 && c <= 0xFFFF ? c + 0x200000 : c;
}

// -1, 0 or 1 as the na units at a order before, the same as, or after the nb units at b.
template <typename A, typename B>
int compare_units(const A* a, std::ptrdiff_t na, const B* b, std::ptrdiff_t nb) noexcept {
    // Keys are short and usually differ early: a plain loop beats a call to memcmp.
    const std::ptrdiff_t n = std::min(na, nb);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        std::uint32_t x = a[i];
        std::uint32_t y = b[i];
        if (x == y) continue;
        // Without a character beyond U+FFFF, code points are the code units.
        if constexpr (sizeof(A) == 4 || sizeof(B) == 4) {
            // Such a character against a surrogate code point: no rank orders them.
            if ((x > 0xFFFF) != (y > 0xFFFF) && (std::min(x, y) >> 11) == (0xD800 >> 11))
                return compare_split_units(a + i, na - i, b + i, nb - i);
            x = utf16_rank(x);
            y = utf16_rank(y);
        }
        return x < y ? -1 : 1;
    }
    return (na > nb) - (na < nb);
}

// How many code units a head holds.
constexpr std::ptrdiff_t kHeadUnits = 8;

// The first 8 code units of a 1-byte key, big-endian, zeros past its end. As integers, heads
// order as the keys do wherever they differ (see compare_narrow).
inline std::uint64_t key_head(const std::uint8_t* text, std::ptrdiff_t length) noexcept {
    const std::uint64_t first = length >= 8   ? load_le64(text)
                                : length == 0 ? 0
                                              : load_short(text, static_cast<unsigned>(length));
    return __builtin_bswap64(first);
}

// Order of two 1-byte keys, given their heads (key_head).
inline int compare_narrow(std::uint64_t head_a, const std::uint8_t* a, std::ptrdiff_t na,
                          std::uint64_t head_b, const std::uint8_t* b, std::ptrdiff_t nb) noexcept {
    // Where heads differ, the first difference is a unit of both keys, or the end of the
    // shorter key (a zero) against a unit of a longer key it is a prefix of: a non-zero unit,
    // or heads would not differ there. Either way the heads order as the keys do.
    if (head_a != head_b) return head_a < head_b ? -1 : 1;
    // Equal heads: the units both keys have among the first 8 are equal. Past them, 1-byte
    // code units order as unsigned bytes do, so memcmp decides; it outruns a loop once keys
    // share more than a head's worth of text, and only then does a tie get this far.
    const std::ptrdiff_t n = std::min(na, nb);
    if (n > kHeadUnits) {
        const int order =
            std::memcmp(a + kHeadUnits, b + kHeadUnits, static_cast<std::size_t>(n - kHeadUnits));
        if (order != 0) return order < 0 ? -1 : 1;
    }
    return (na > nb) - (na < nb);
}

// How many code units a head of UTF-16 units holds (utf16_head).
constexpr std::ptrdiff_t kWideHeadUnits = 4;

// The first 4 UTF-16 code units of a key of any width, 16 bits each, big-endian, zeros past
// its end: as integers, these heads order as the keys do wherever they differ, by the same
// argument as for key_head (a zero past the end of a key stands against a unit that is not
// zero, or the heads would tie there). Characters beyond U+FFFF count as their two units.
template <typename CharT>
std::uint64_t utf16_head(const CharT* text, std::ptrdiff_t length) noexcept {
    std::uint64_t head = 0;
    int units = 0;
    for (std::ptrdiff_t i = 0; i < length && units < 4; ++i) {
        const std::uint32_t c = text[i];
        if (sizeof(CharT) == 4 && c > 0xFFFF) {
            head = head << 16 | (0xD800 + ((c - 0x10000) >> 10));
            if (++units == 4) break;
            head = head << 16 | (0xDC00 + (c & 0x3FF));
        } else {
            head = head << 16 | c;
        }
        ++units;
    }
    // No units, no shift: by 64 bits it would be undefined.
    return units == 4 || units == 0 ? head : head << (16 * (4 - units));
}

// The first 4 units of a narrow head (key_head) as a head of UTF-16 units, 16 bits each.
inline std::uint64_t widen_head(std::uint64_t narrow) noexcept {
    const std::uint64_t x = narrow >> 32;
    return (x & 0xFF000000) << 24 | (x & 0xFF0000) << 16 | (x & 0xFF00) << 8 | (x & 0xFF);
}

// 1-byte and 2-byte keys without a loop: 1-byte units widened, four 2-byte units loaded at once.
inline std::uint64_t utf16_head(const std::uint8_t* text, std::ptrdiff_t length) noexcept {
    return widen_head(key_head(text, length));
}

inline std::uint64_t utf16_head(const std::uint16_t* text, std::ptrdiff_t length) noexcept {
    if (length < 4) return utf16_head<std::uint16_t>(text, length);
    std::uint64_t x;
    std::memcpy(&x, text, sizeof x);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return x;  // unit 0 already highest
#else
    x = x >> 32 | x << 32;  // unit i was in bits 16i..16i+15
    return (x >> 16 & 0x0000FFFF0000FFFFULL) | (x & 0x0000FFFF0000FFFFULL) << 16;
#endif
}

// -1, 0 or 1 as the na units of a (kind ka: 1, 2 or 4 bytes a unit) order before, the same
// as, or after the nb units of b.
template <typename A>
int compare_text_with(const A* a, std::ptrdiff_t na, const void* b, int kb,
                      std::ptrdiff_t nb) noexcept {
    switch (kb) {
        case 1: return compare_units(a, na, static_cast<const std::uint8_t*>(b), nb);
        case 2: return compare_units(a, na, static_cast<const std::uint16_t*>(b), nb);
        default: return compare_units(a, na, static_cast<const std::uint32_t*>(b), nb);
    }
}

inline int compare_text(const void* a, int ka, std::ptrdiff_t na, const void* b, int kb,
                        std::ptrdiff_t nb) noexcept {
    switch (ka) {
        case 1: return compare_text_with(static_cast<const std::uint8_t*>(a), na, b, kb, nb);
        case 2: return compare_text_with(static_cast<const std::uint16_t*>(a), na, b, kb, nb);
        default: return compare_text_with(static_cast<const std::uint32_t*>(a), na, b, kb, nb);
    }
}

// Heads of the keys themselves, in the interface of SkippedHeads: for keys too few for a
// shared prefix to pay.
struct KeyHeads {
    static constexpr bool kMany = false;  // few keys: the writer asks for none ahead
    std::uint64_t next(const std::uint8_t* text, std::ptrdiff_t length) const noexcept {
        return key_head(text, length);
    }
    static constexpr std::ptrdiff_t skip() noexcept { return 0; }
    static constexpr std::size_t stale() noexcept { return 0; }
};

// How many of the first `limit` units of two 1-byte texts agree.
inline std::ptrdiff_t common_units(const std::uint8_t* a, const std::uint8_t* b,
                                   std::ptrdiff_t limit) noexcept {
    std::ptrdiff_t k = 0;
    while (k + 8 <= limit && load_le64(a + k) == load_le64(b + k)) k += 8;
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// Heads (key_head) of 1-byte keys given one after another, taken past the prefix that all of
// them share where it is at least `worth` units long. Keys of one object often share a long
// prefix ("tenant:acme/..."); heads past it tell the keys apart without reading their text
// again, where heads of the keys themselves would all tie and every comparison would fetch
// two keys' text.
//
// The prefix is found in the pass that reads each key for its head, not in passes of its
// own: in a large object each key read is a cache miss, and two more passes over the keys
// cost more than the sort they spare. The prefix only shrinks as keys come, so the heads
// given before its last change were taken at another skip: the caller takes those again
// at skip(), and they are few (the first key, and those before the prefix settles).
class SkippedHeads {
public:
    static constexpr bool kMany = true;  // many keys: the writer asks for them ahead
    explicit SkippedHeads(std::ptrdiff_t worth) noexcept : worth_(worth) {}

    // The head of the next key, at the skip known so far.
    std::uint64_t next(const std::uint8_t* text, std::ptrdiff_t length) noexcept {
        if (count_++ == 0) {
            first_ = text;
            prefix_ = length;
        } else if (prefix_ >= worth_) {
            prefix_ = common_units(first_, text, std::min(prefix_, length));
            const std::ptrdiff_t skip = prefix_ >= worth_ ? prefix_ : 0;
            if (skip != skip_) {
                skip_ = skip;
                stale_ = count_ - 1;
            }
        }
        return key_head(text + skip_, length - skip_);
    }

    // The units every key shares and the heads skip: 0 where that is fewer than `worth`.
    std::ptrdiff_t skip() const noexcept { return skip_; }

    // How many of the first heads given were taken at another skip than skip().
    std::size_t stale() const noexcept { return stale_; }

private:
    std::ptrdiff_t worth_;
    const std::uint8_t* first_ = nullptr;
    std::ptrdiff_t prefix_ = 0;
    std::ptrdiff_t skip_ = 0;
    std::size_t count_ = 0;
    std::size_t stale_ = 0;
};

}  // namespace
}  // namespace kestrim
