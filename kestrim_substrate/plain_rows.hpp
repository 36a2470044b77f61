// Rows of prepared members whose values are of the usual kinds: short str of ASCII with
// nothing to escape, and ints in the safe range. Such a row is written in one straight pass,
// one bound check a value and no dispatch on the value's type beyond two tests.
//
// Anything else makes plain_row() answer null, and the general writer writes the row: it
// finds the same text or the error. Trying runs no code of the caller's, raises nothing and
// changes nothing outside the caller's scratch, so trying first cannot be seen.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kestrim_substrate/encoder.hpp"
#include "kestrim_substrate/errors.hpp"
#include "kestrim_substrate/es_number.hpp"
#include "kestrim_substrate/jcs_capi.hpp"
#include "kestrim_substrate/sha256.hpp"
#include "kestrim_substrate/text_kernels.hpp"

namespace kestrim {
namespace {

// The longest str a plain row takes. A row's values are names, scopes and refs; a longer
// str is rare there, and copying it costs more than the general writer's dispatch.
constexpr std::size_t kPlainRowText = 256;
// The most one value adds to a row: a str of that length and its quotes, or an integer's
// digits and its sign.
constexpr std::size_t kPlainValueRoom = kPlainRowText + 2;
static_assert(kPlainValueRoom >= 1 + es::kMaxDecimalChars);

// A plain row's room on the stack: the envelope's is about a quarter of it.
constexpr std::size_t kPlainRowBytes = 1024;

// Bytes readable after every piece of a prepared text (api_prepare_members allocates them),
// so that a piece is copied in whole 16-byte moves.
constexpr std::size_t kPieceSlack = 32;
static_assert(kPieceSlack >= kScratch);

// Copies a piece of n bytes, writing up to kPieceSlack bytes past it. The pieces around a
// row's values are mostly a key and its punctuation, under 32 bytes: two moves, no loop.
inline void copy_piece(char* p, const char* piece, std::size_t n) noexcept {
    std::memcpy(p, piece, 16);
    std::memcpy(p + 16, piece + 16, 16);
    for (std::size_t k = 32; k < n; k += 16) std::memcpy(p + k, piece + k, 16);
}

// The value of an exact int when it is in the safe range, read as Encoder::integer reads it:
// without a call where the interpreter's storage allows, else through safe_integer; false for
// anything the general writer must refuse.
inline bool plain_integer(PyObject* v, std::uint64_t& magnitude, bool& negative) noexcept {
    if (!compat::small_int(v, magnitude, negative)) return safe_integer(v, magnitude, negative);
    return magnitude <= static_cast<std::uint64_t>(kMaxSafeInteger);
}

// Writes the object of these members with these values at p, never at or past limit, and
// returns its end; null if a value is not of the usual kinds or the row would not fit.
// After each value, written(p) is told where the row has reached.
template <typename Written>
inline char* plain_row(const KestrimJcsMembers& members, PyObject* const* values, char* p,
                       const char* limit, Written&& written) noexcept {
    std::size_t start = 0;
    for (Py_ssize_t i = 0;; ++i) {
        const std::size_t n = members.ends[i] - start;
        if (static_cast<std::size_t>(limit - p) < n + kPieceSlack + kPlainValueRoom) return nullptr;
        copy_piece(p, members.text + start, n);
        p += n;
        if (i == members.count) return p;
        start = members.ends[i];
        PyObject* const v = values[i];
        if (PyUnicode_CheckExact(v)) {
            if (!PyUnicode_IS_COMPACT_ASCII(v)) return nullptr;
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
            if (length > kPlainRowText) return nullptr;
            *p = '"';
            if (!copy_plain(p + 1, compat::compact_ascii_text(v), length)) return nullptr;
            p[length + 1] = '"';
            p += length + 2;
        } else if (PyLong_CheckExact(v)) {
            std::uint64_t magnitude;
            bool negative;
            if (!plain_integer(v, magnitude, negative)) return nullptr;
            *p = '-';
            p = es::write_decimal(magnitude, p + negative);
        } else {
            return nullptr;
        }
        written(p);
    }
}

inline char* plain_row(const KestrimJcsMembers& members, PyObject* const* values, char* p,
                       const char* limit) noexcept {
    return plain_row(members, values, p, limit, [](char*) {});
}

// What plain_row_digest() did.
enum class PlainDigest { kNotPlain, kHashed, kHashFailed };

// The SHA-256 of a plain row, written on the stack. kNotPlain leaves the
// row to the general writer; kHashFailed means OpenSSL failed, with no exception set.
inline PlainDigest plain_row_digest(const KestrimJcsMembers& members, PyObject* const* values,
                                    unsigned char digest[Sha256::kDigestBytes]) noexcept {
    alignas(64) char text[kPlainRowBytes];
    Sha256 hash;
    // Whole blocks go to the hash as soon as they are written, so that hashing one runs
    // while the next is written; a row found not plain after that is simply not finished.
    char* hashed = text;
    char* const end =
        plain_row(members, values, text, text + sizeof text - Sha256::kMaxPadBytes, [&](char* p) {
            const auto whole = static_cast<std::size_t>(p - hashed) & ~(Sha256::kBlockBytes - 1);
            if (whole == 0) return;
            hash.update(hashed, whole);
            hashed += whole;
        });
    if (end == nullptr) return PlainDigest::kNotPlain;
    return hash.finish(hashed, static_cast<std::size_t>(end - hashed), digest)
               ? PlainDigest::kHashed
               : PlainDigest::kHashFailed;
}

}  // namespace
}  // namespace kestrim
