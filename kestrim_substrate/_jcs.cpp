// RFC 8785 canonical JSON and its SHA-256: the content hash behind every reference.
//
// Two inputs that differ in any way must never produce the same bytes, so nothing is
// rounded or coerced: values JSON cannot carry exactly are refused. No user code runs while
// a value is serialised (subclasses are read by their stored value, keys are compared
// natively); that is what lets the writer hold the document's parts by borrowed references
// (see Encoder::object).
#include "common/py_ref.hpp"
#include "kestrim_substrate/dict_items.hpp"
#include "kestrim_substrate/es_number.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

// The SHA256_* functions are deprecated in OpenSSL 3 in favour of EVP, but they keep the whole
// context on our stack: no allocation, no provider lookup, nothing shared between threads or
// between re-entrant calls. They measured fastest here: 141 ns for a 229-byte input, against
// 188 ns for EVP_DigestInit_ex/Update/Final_ex on a reused EVP_MD_CTX with a pre-fetched
// EVP_MD and 219 ns for EVP_Digest. They are present throughout OpenSSL 3.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Member names encoded once (see prepare_members in jcs_capi.hpp). Handles are never freed,
// as the C API promises; they are chained from a global so that leak checkers see them held.
struct KestrimJcsMembers {
    const KestrimJcsMembers* next;
    Py_ssize_t count;
    // Piece i runs from ends[i - 1] (0 for the first) to ends[i], for i in 0..count: piece 0
    // is `{"k0":`, piece i is `,"ki":`, the last is `}`; with no members, the one piece is `{}`.
    const std::size_t* ends;
    // Followed by 8 readable bytes, so pieces can be copied a word at a time.
    const char* text;
};

namespace kestrim {
namespace {

class Sha256 {
public:
    static constexpr std::size_t kBlockBytes = SHA256_CBLOCK;
    // Most that padding adds to a message: the 0x80 byte, zeros, the 8-byte bit length.
    static constexpr std::size_t kMaxPadBytes = kBlockBytes + 8;

    Sha256() noexcept { SHA256_Init(&ctx_); }
    void update(const char* data, std::size_t size) noexcept {
        SHA256_Update(&ctx_, data, size);
        length_ += size;
    }
    // The digest, size more bytes at data ending the message. The padding is written after
    // them, in place (kMaxPadBytes of room there), so that the last blocks go to the hash
    // straight from the caller's buffer: SHA256_Final would copy them into the context
    // first, then clear it.
    void finish(char* data, std::size_t size, unsigned char digest[SHA256_DIGEST_LENGTH]) noexcept {
        const std::uint64_t length = length_ + size;
        // The padded message ends on a block boundary; earlier parts need not have.
        const std::size_t zeros = (kBlockBytes - (length + 9) % kBlockBytes) % kBlockBytes;
        const std::size_t padded = size + 1 + zeros + 8;
        data[size] = static_cast<char>(0x80);
        std::memset(data + size + 1, 0, zeros);
        const std::uint64_t bits = length * 8;
        for (int i = 0; i < 8; ++i) data[padded - 1 - i] = static_cast<char>(bits >> (8 * i));
        update(data, padded);
        for (int i = 0; i < 8; ++i) {
            const std::uint32_t h = ctx_.h[i];
            digest[4 * i] = static_cast<unsigned char>(h >> 24);
            digest[4 * i + 1] = static_cast<unsigned char>(h >> 16);
            digest[4 * i + 2] = static_cast<unsigned char>(h >> 8);
            digest[4 * i + 3] = static_cast<unsigned char>(h);
        }
    }

private:
    SHA256_CTX ctx_;
    std::uint64_t length_ = 0;
};
#pragma GCC diagnostic pop

// Larger integers are no longer exact as JSON numbers (IEEE doubles), and a rounded integer
// would let two different documents share a hash.
constexpr long long kMaxSafeInteger = (1LL << 53) - 1;

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

// Strings are written in slices so one reservation covers a slice's worst case (\u00xx).
constexpr Py_ssize_t kSliceUnits = 512;
constexpr std::size_t kMaxBytesPerUnit = 6;
// Word-at-a-time writers store whole words and may run this far past what they keep.
constexpr std::size_t kScratch = 8;
constexpr std::size_t kInlineBytes = 4096;
constexpr std::size_t kInlineMembers = 16;

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
inline std::uint64_t load_short(const Py_UCS1* s, unsigned n) noexcept {
    if (n >= 4) return load_le32(s) | std::uint64_t{load_le32(s + n - 4)} << (8 * (n - 4));
    return s[0] | std::uint64_t{s[n >> 1]} << (8 * (n >> 1)) | std::uint64_t{s[n - 1]} << (8 * (n - 1));
}

// The text of a compact ASCII str, which follows its object header.
inline const Py_UCS1* compact_ascii_text(PyObject* s) noexcept {
    return reinterpret_cast<const Py_UCS1*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
}

// The high bit of each byte of w that needs escaping: below 0x20, '"' or '\\'. Only for
// ASCII bytes, where every byte stays below 0x80 and each test reduces to one subtraction.
// A match can make a borrow that flags the byte above it as well, so only the lowest flag
// is trusted: no borrow reaches it.
inline std::uint64_t escape_mask(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    return ((w - kOnes * 0x20) | ((w ^ (kOnes * '"')) - kOnes) | ((w ^ (kOnes * '\\')) - kOnes)) & kHighs;
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
[[gnu::noinline]] char* put_ascii(char* p, const Py_UCS1* begin, const Py_UCS1* s, const Py_UCS1* end) noexcept {
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
    const std::uint64_t w = end - begin >= 8 ? load_le64(end - 8) >> (8 * (8 - rest)) : load_short(s, rest);
    return put_word(p, w, rest);
}

// Copies the n ASCII bytes at s to p if none of them needs escaping, and says whether it did
// (if not, whatever it copied is to be overwritten). Most strings need no escape, so this
// only checks and copies, in a few loads and stores: the last load and store of each size
// overlap the one before rather than go a byte at a time. Reads and writes nothing outside
// the n bytes.
inline bool copy_plain(char* p, const Py_UCS1* s, std::size_t n) noexcept {
#ifdef __SSE2__
    // Signed byte comparison is exact for ASCII (every byte below 0x80).
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    auto plain = [&](__m128i x) {
        const __m128i bad = _mm_or_si128(_mm_cmplt_epi8(x, space),
                                         _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)));
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
            if (escape_mask(w) != 0) return false;
            store_le64(p + i, w);
        }
        const std::uint64_t w = load_le64(s + n - 8);
        if (escape_mask(w) != 0) return false;
        store_le64(p + n - 8, w);
        return true;
    }
#endif
    if (n >= 4) {
        const std::uint32_t head = load_le32(s);
        const std::uint32_t tail = load_le32(s + n - 4);
        if (escape_mask(head | std::uint64_t{tail} << 32) != 0) return false;
        std::memcpy(p, s, 4);
        std::memcpy(p + n - 4, s + n - 4, 4);
        return true;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (kEscape[s[i]] != 0) return false;
        p[i] = static_cast<char>(s[i]);
    }
    return true;
}

void to_hex(const unsigned char bytes[SHA256_DIGEST_LENGTH], char* out) noexcept {
#ifdef __SSE2__
    const __m128i low_nibbles = _mm_set1_epi8(0x0F);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero_char = _mm_set1_epi8('0');
    const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
    auto digits = [&](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
        return _mm_add_epi8(_mm_add_epi8(nibbles, zero_char), letters);
    };
    for (int i = 0; i < SHA256_DIGEST_LENGTH; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(x, 4), low_nibbles);
        const __m128i low = _mm_and_si128(x, low_nibbles);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), digits(_mm_unpacklo_epi8(high, low)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), digits(_mm_unpackhi_epi8(high, low)));
    }
#else
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
        out[2 * i] = kHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
    }
#endif
}

// Output buffer: starts on the stack and moves to the heap only when it outgrows it. With a
// hash attached it never grows for long: full buffers are fed to the hash instead. Nothing
// in it is initialised before it is written.
//
// The write position is not kept here: writers hold it in a local and pass it on, so it stays
// in a register. Stored and reloaded around every write, it would chain all the writes of a
// document one after another through memory.
class Sink {
public:
    explicit Sink(Sha256* hash) noexcept : hash_(hash) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Where writing starts.
    char* start() noexcept { return begin_; }
    // Room for n bytes at the position p: p itself, or where the text before p continues
    // after it has gone to the hash or moved to a larger buffer.
    char* room(char* p, std::size_t n) {
        if (!fits(p, n)) p = spill(p, n);
        return p;
    }
    bool fits(const char* p, std::size_t n) const noexcept { return static_cast<std::size_t>(end_ - p) >= n; }
    const char* data() const noexcept { return begin_; }

    // The hash of everything written, p being the end.
    void finish(char* p, unsigned char digest[SHA256_DIGEST_LENGTH]) {
        p = room(p, Sha256::kMaxPadBytes);
        hash_->finish(hashed_, static_cast<std::size_t>(p - hashed_), digest);
    }

    // Hands the whole blocks written before p to the hash now rather than at the end, so
    // that hashing a block can run while the next is written. Called between members.
    void feed(const char* p) noexcept {
        if (hash_ != nullptr && p - hashed_ >= static_cast<std::ptrdiff_t>(Sha256::kBlockBytes)) feed_blocks(p);
    }

private:
    [[gnu::noinline]] void feed_blocks(const char* p) noexcept {
        const std::size_t n = static_cast<std::size_t>(p - hashed_) & ~(Sha256::kBlockBytes - 1);
        hash_->update(hashed_, n);
        hashed_ += n;
    }

    [[gnu::noinline]] char* spill(char* p, std::size_t n) {
        std::size_t used = static_cast<std::size_t>(p - begin_);
        if (hash_ != nullptr) {
            hash_->update(hashed_, static_cast<std::size_t>(p - hashed_));
            hashed_ = begin_;
            used = 0;
            if (static_cast<std::size_t>(end_ - begin_) >= n) return begin_;
        }
        const std::size_t capacity = std::max(2 * static_cast<std::size_t>(end_ - begin_), used + n);
        std::unique_ptr<char[]> grown(new char[capacity]);
        std::memcpy(grown.get(), begin_, used);
        heap_ = std::move(grown);
        begin_ = heap_.get();
        hashed_ = begin_;
        end_ = begin_ + capacity;
        return begin_ + used;
    }

    Sha256* hash_;
    char* begin_ = inline_;
    char* end_ = inline_ + kInlineBytes;
    // Where the text not yet given to the hash starts.
    char* hashed_ = inline_;
    std::unique_ptr<char[]> heap_;
    char inline_[kInlineBytes];
};

// An object member while its object is written. Borrowed references (see Encoder::object);
// text/length/kind describe the key's code units for sorting.
struct Member {
    PyObject* key;
    PyObject* value;
    const void* text;
    Py_ssize_t length;
    // For 1-byte keys, the first 8 code units big-endian, zeros past the end: as integers,
    // heads order as the keys do wherever they differ (see compare_keys).
    std::uint64_t head;
    int kind;
    // A compact ASCII key, written straight from text.
    bool ascii;
};

// A 1-byte exact str key of a dict read in place (see DictItems), and the head of its text
// (see Member::head), while its object is written.
struct SlotKey {
    std::uint64_t head;
    const DictSlot* slot;
};

// Members (or keys) of every object being written, nested ones above their parents. One stack
// per call keeps C frames small for deep nesting and needs no allocation for small documents.
template <typename T>
class FrameStack {
public:
    FrameStack() noexcept = default;
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;

    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return items_[i]; }
    // n more items, not yet set: the first of them.
    T* extend(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        T* const first = items_ + size_;
        size_ += n;
        return first;
    }
    void truncate(std::size_t n) noexcept { size_ = n; }

private:
    void grow(std::size_t n) {
        const std::size_t capacity = std::max(2 * capacity_, size_ + n);
        std::unique_ptr<T[]> fresh(new T[capacity]);
        std::memcpy(fresh.get(), items_, size_ * sizeof(T));
        heap_ = std::move(fresh);
        items_ = heap_.get();
        capacity_ = capacity;
    }

    T* items_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineMembers;
    std::unique_ptr<T[]> heap_;
    T inline_[kInlineMembers];
};

// Pops an object's items on every way out, exceptions included.
template <typename T>
class StackFrame {
public:
    explicit StackFrame(FrameStack<T>& stack) noexcept : stack_(stack), base_(stack.size()) {}
    StackFrame(const StackFrame&) = delete;
    StackFrame& operator=(const StackFrame&) = delete;
    ~StackFrame() { stack_.truncate(base_); }
    std::size_t base() const noexcept { return base_; }
    std::size_t count() const noexcept { return stack_.size() - base_; }

private:
    FrameStack<T>& stack_;
    std::size_t base_;
};

using MemberStack = FrameStack<Member>;
using MemberFrame = StackFrame<Member>;

// Bounds nesting by the interpreter's recursion limit, and by a fixed depth as well: a raised
// recursion limit must not let a deep document overflow the C stack. A level costs up to
// about 300 bytes of stack in a release build and 700 bytes under AddressSanitizer (an
// object: object() and write_members()); no document we hash comes near this depth.
constexpr int kMaxDepth = 2000;

class DepthGuard {
public:
    explicit DepthGuard(int& depth) noexcept : depth_(depth) {}
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool enter() noexcept {
        if (depth_ >= kMaxDepth) {
            PyErr_Format(PyExc_RecursionError, "nesting deeper than %d levels while encoding canonical JSON",
                         kMaxDepth);
            return false;
        }
        // The outermost container takes no level of the interpreter's: the call that brought
        // us here has taken one already. That spares flat documents, the usual ones, two
        // calls into the interpreter.
        if (depth_ > 0) {
            if (Py_EnterRecursiveCall(" while encoding canonical JSON") != 0) return false;
            counted_ = true;
        }
        entered_ = true;
        ++depth_;
        return true;
    }
    ~DepthGuard() {
        if (entered_) {
            --depth_;
            if (counted_) Py_LeaveRecursiveCall();
        }
    }

private:
    int& depth_;
    bool entered_ = false;
    bool counted_ = false;
};

// ---- key order: UTF-16 code units -------------------------------------------------------

// Code points ordered as their UTF-16 forms are: characters beyond U+FFFF (lead unit
// D800..DBFF) come after U+D7FF and before U+E000..U+FFFF.
constexpr Py_UCS4 utf16_rank(Py_UCS4 c) noexcept {
    return c >= 0xE000 && c <= 0xFFFF ? c + 0x200000 : c;
}

template <typename A, typename B>
int compare_units(const A* a, Py_ssize_t na, const B* b, Py_ssize_t nb) noexcept {
    // Keys are short and usually differ early: a plain loop beats a call to memcmp.
    const Py_ssize_t n = std::min(na, nb);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 x = a[i];
        Py_UCS4 y = b[i];
        if (x == y) continue;
        // Without a character beyond U+FFFF, code points are the code units.
        if constexpr (sizeof(A) == 4 || sizeof(B) == 4) {
            x = utf16_rank(x);
            y = utf16_rank(y);
        }
        return x < y ? -1 : 1;
    }
    return (na > nb) - (na < nb);
}

template <typename A>
int compare_with(const A* a, Py_ssize_t na, const Member& b) noexcept {
    switch (b.kind) {
        case PyUnicode_1BYTE_KIND: return compare_units(a, na, static_cast<const Py_UCS1*>(b.text), b.length);
        case PyUnicode_2BYTE_KIND: return compare_units(a, na, static_cast<const Py_UCS2*>(b.text), b.length);
        default: return compare_units(a, na, static_cast<const Py_UCS4*>(b.text), b.length);
    }
}

// The first 8 code units of a 1-byte key, big-endian, zeros past its end: see Member::head.
inline std::uint64_t key_head(const Py_UCS1* text, Py_ssize_t length) noexcept {
    const std::uint64_t first = length >= 8  ? load_le64(text)
                                : length == 0 ? 0
                                              : load_short(text, static_cast<unsigned>(length));
    return __builtin_bswap64(first);
}

// Order of two 1-byte keys, given their heads (key_head).
inline int compare_narrow(std::uint64_t head_a, const Py_UCS1* a, Py_ssize_t na, std::uint64_t head_b,
                          const Py_UCS1* b, Py_ssize_t nb) noexcept {
    // Where heads differ, the first difference is a unit of both keys, or the end of the
    // shorter key (a zero) against a unit of a longer key it is a prefix of: a non-zero unit,
    // or heads would not differ there. Either way the heads order as the keys do.
    if (head_a != head_b) return head_a < head_b ? -1 : 1;
    // Equal heads of keys within 8 units: the longer one only adds zeros.
    if (na <= 8 && nb <= 8) return (na > nb) - (na < nb);
    return compare_units(a, na, b, nb);
}

inline int compare_keys(const Member& a, const Member& b) noexcept {
    if (a.kind == PyUnicode_1BYTE_KIND && b.kind == PyUnicode_1BYTE_KIND) {
        return compare_narrow(a.head, static_cast<const Py_UCS1*>(a.text), a.length, b.head,
                              static_cast<const Py_UCS1*>(b.text), b.length);
    }
    switch (a.kind) {
        case PyUnicode_1BYTE_KIND: return compare_with(static_cast<const Py_UCS1*>(a.text), a.length, b);
        case PyUnicode_2BYTE_KIND: return compare_with(static_cast<const Py_UCS2*>(a.text), a.length, b);
        default: return compare_with(static_cast<const Py_UCS4*>(a.text), a.length, b);
    }
}

// ---- errors -----------------------------------------------------------------------------

bool not_serializable(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Object of type %.200s is not JSON serializable", Py_TYPE(obj)->tp_name);
    return false;
}

bool integer_out_of_range(PyObject* obj) {
    // Format strings must be ASCII; the range goes in as a UTF-8 argument.
    static constexpr char kRange[] = "\u00b1(2**53-1)";
    // int's own repr: a subclass's override is user code and must not run here.
    PyRef text(PyLong_Type.tp_repr(obj));
    if (!text) {
        // Too many digits to print (int_max_str_digits): say so without the value.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "integer is outside the exactly representable range %s", kRange);
        return false;
    }
    PyErr_Format(PyExc_ValueError, "integer %U is outside the exactly representable range %s", text.get(),
                 kRange);
    return false;
}

bool lone_surrogate(Py_UCS4 unit, Py_ssize_t index) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(unit));
    PyErr_Format(PyExc_ValueError, "string holds a lone surrogate %s at index %zd, which has no UTF-8 form",
                 code, index);
    return false;
}

bool duplicate_key(PyObject* key) {
    // %U reads the stored text, so no user __repr__ runs.
    PyErr_Format(PyExc_ValueError, "duplicate object key '%U'", key);
    return false;
}

// ---- integers ---------------------------------------------------------------------------

// The magnitude and sign of an int (or subclass: read as stored) within ±(2**53-1); false,
// with nothing raised, when it lies outside.
inline bool safe_integer(PyObject* obj, std::uint64_t& magnitude, bool& negative) noexcept {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v > kMaxSafeInteger || v < -kMaxSafeInteger) return false;
    negative = v < 0;
    magnitude = static_cast<std::uint64_t>(negative ? -v : v);
    return true;
}

// ---- the writer -------------------------------------------------------------------------

// Every writer takes the write position and returns the new one (see Sink); nullptr means it
// failed and an exception is set.
class Encoder {
public:
    // With a hash, the output is streamed into it; without, it stays in the buffer.
    explicit Encoder(Sha256* hash) noexcept : out_(hash) {}

    Sink& out() noexcept { return out_; }

    // Every case is a call in tail position, so this adds no frame of its own; the subclass
    // tests, which call into the interpreter, are out of line.
    char* value(PyObject* obj, char* p) {
        if (PyUnicode_CheckExact(obj)) return string_value(obj, p);
        if (PyLong_CheckExact(obj)) return integer(obj, p);
        if (PyDict_CheckExact(obj)) return object(obj, p);
        if (PyList_CheckExact(obj)) return array(obj, true, p);
        if (obj == Py_None) return literal("null", 4, p);
        if (obj == Py_True) return literal("true", 4, p);
        if (obj == Py_False) return literal("false", 5, p);
        if (PyFloat_CheckExact(obj)) return number(PyFloat_AS_DOUBLE(obj), p);
        if (PyTuple_Check(obj)) return array(obj, false, p);
        return subclass_value(obj, p);
    }

    // An object given as members whose keys are already in canonical order.
    char* sorted_members(PyObject* const* keys, PyObject* const* values, Py_ssize_t n, char* p) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return nullptr;
        MemberFrame frame(members_);
        Member* const first = members_.extend(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!set_member(first[i], keys[i], values[i])) return nullptr;
        }
        if (!check_order(first, static_cast<std::size_t>(n))) return nullptr;
        return write_members(frame, p);
    }

    // The text around the values of an object with these keys (see KestrimJcsMembers), as
    // sorted_members checks and writes it, from the start of the buffer; the end of each
    // piece goes to ends.
    char* member_pieces(PyObject* const* keys, Py_ssize_t n, std::vector<std::size_t>& ends) {
        MemberFrame frame(members_);
        Member* const first = members_.extend(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!set_member(first[i], keys[i], nullptr)) return nullptr;
        }
        if (!check_order(first, static_cast<std::size_t>(n))) return nullptr;
        char* p = put(out_.start(), '{');
        for (Py_ssize_t i = 0; i < n; ++i) {
            p = string(keys[i], p, true, i > 0);
            if (p == nullptr) return nullptr;
            ends.push_back(static_cast<std::size_t>(p - out_.data()));
        }
        p = put(p, '}');
        ends.push_back(static_cast<std::size_t>(p - out_.data()));
        return p;
    }

    // The object of prepared members with these values. A level of nesting, as the dict
    // it stands for would be.
    char* prepared(const KestrimJcsMembers& members, PyObject* const* values, char* p) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return nullptr;
        std::size_t start = 0;
        for (Py_ssize_t i = 0;; ++i) {
            const std::size_t n = members.ends[i] - start;
            p = out_.room(p, n + kScratch);
            // Pieces are followed by kScratch readable bytes: copied by words.
            for (std::size_t k = 0; k < n; k += 8) std::memcpy(p + k, members.text + start + k, 8);
            p += n;
            if (i == members.count) return p;
            start = members.ends[i];
            p = value(values[i], p);
            if (p == nullptr) return nullptr;
            out_.feed(p);
        }
    }

private:
    char* put(char* p, char c) {
        p = out_.room(p, 1);
        *p = c;
        return p + 1;
    }

    // Scalars, containers and sorting stay out of line: inlined, their locals would widen the
    // frames of the recursion through value(), array(), object() and write_members(), and with
    // them the stack a level costs.
    [[gnu::noinline]] char* literal(const char* text, std::size_t n, char* p) {
        p = out_.room(p, n);
        std::memcpy(p, text, n);
        return p + n;
    }

    // The common case ends in no call but tail calls, so it needs no frame: anything else
    // (no room, a value of more than two digits of the int's storage) goes out of line.
    [[gnu::noinline]] char* integer(PyObject* obj, char* p) {
        if (!out_.fits(p, 1 + es::kMaxDecimalChars)) return integer_elsewhere(obj, p);
#if PY_VERSION_HEX < 0x030C0000
        // Up to 3.11 an int is its sign and digit count in ob_size, then the digits; a value
        // of up to two digits is read here without a call.
        const Py_ssize_t size = Py_SIZE(obj);
        if (size < -2 || size > 2) return integer_elsewhere(obj, p);
        const digit* digits = reinterpret_cast<PyLongObject*>(obj)->ob_digit;
        std::uint64_t magnitude = size == 0 ? 0 : digits[0];
        if (size == 2 || size == -2) magnitude |= std::uint64_t{digits[1]} << PyLong_SHIFT;
        if (magnitude > static_cast<std::uint64_t>(kMaxSafeInteger)) return integer_refused(obj);
        *p = '-';
        return es::write_decimal(magnitude, p + (size < 0));
#else
        return integer_elsewhere(obj, p);
#endif
    }

    [[gnu::noinline]] char* integer_elsewhere(PyObject* obj, char* p) {
        std::uint64_t magnitude;
        bool negative;
        if (!safe_integer(obj, magnitude, negative)) return integer_refused(obj);
        p = out_.room(p, 1 + es::kMaxDecimalChars);
        *p = '-';
        return es::write_decimal(magnitude, p + negative);
    }

    [[gnu::noinline]] static char* integer_refused(PyObject* obj) {
        integer_out_of_range(obj);
        return nullptr;
    }

    // Subclasses, by their stored value. bool cannot be subclassed, so PyLong_Check is safe
    // after the identity tests in value().
    [[gnu::noinline]] char* subclass_value(PyObject* obj, char* p) {
        if (PyUnicode_Check(obj)) return string_value(obj, p);
        if (PyLong_Check(obj)) return integer(obj, p);
        if (PyFloat_Check(obj)) return number(PyFloat_AS_DOUBLE(obj), p);
        if (PyDict_Check(obj)) return object(obj, p);
        if (PyList_Check(obj)) return array(obj, true, p);
        not_serializable(obj);
        return nullptr;
    }

    [[gnu::noinline]] char* string_value(PyObject* s, char* p) { return string(s, p); }

    [[gnu::noinline]] char* number(double v, char* p) {
        if (!std::isfinite(v)) {
            PyErr_Format(PyExc_ValueError, "float %s is not representable in canonical JSON",
                         std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf");
            return nullptr;
        }
        p = out_.room(p, es::kMaxNumberChars);
        return p + es::format_double(v, p);
    }

    // n ASCII code units at text as a string, or with `member` as a key: `"key":`, with
    // `comma` after an earlier member. One check for room, one pass over the text; all else
    // (no room, something to escape) goes out of line, so that this needs no frame.
    char* ascii_string(const Py_UCS1* text, std::size_t n, char* p, bool member, bool comma) {
        if (!out_.fits(p, n * kMaxBytesPerUnit + 4 + kScratch)) return escaped_string(text, n, p, member, comma);
        char* q = p + comma;
        *p = ',';
        *q++ = '"';
        if (!copy_plain(q, text, n)) return escaped_string(text, n, p, member, comma);
        q += n;
        *q++ = '"';
        *q = ':';
        return q + member;
    }

    [[gnu::noinline]] char* escaped_string(const Py_UCS1* text, std::size_t n, char* p, bool member, bool comma) {
        p = out_.room(p, n * kMaxBytesPerUnit + 4 + kScratch);
        *p = ',';
        p += comma;
        *p++ = '"';
        p = put_ascii(p, text, text, text + n);
        *p++ = '"';
        *p = ':';
        return p + member;
    }

    // A string, or a key as ascii_string() writes it. The usual case, a short str of ASCII, is
    // written inline.
    char* string(PyObject* s, char* p, bool member = false, bool comma = false) {
        if (PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) <= kSliceUnits) {
            return ascii_string(compact_ascii_text(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)), p, member,
                                comma);
        }
        if (comma) p = put(p, ',');
        p = any_string(s, p);
        if (p != nullptr && member) p = put(p, ':');
        return p;
    }

    [[gnu::noinline]] char* any_string(PyObject* s, char* p) {
        if (PyUnicode_READY(s) < 0) return nullptr;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        p = put(p, '"');
        Py_ssize_t bad = -1;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                if (PyUnicode_IS_ASCII(s)) {
                    p = ascii(static_cast<const Py_UCS1*>(data), n, p);
                } else {
                    bad = units(static_cast<const Py_UCS1*>(data), n, p);
                }
                break;
            case PyUnicode_2BYTE_KIND: bad = units(static_cast<const Py_UCS2*>(data), n, p); break;
            default: bad = units(static_cast<const Py_UCS4*>(data), n, p); break;
        }
        if (bad >= 0) {
            lone_surrogate(PyUnicode_READ_CHAR(s, bad), bad);
            return nullptr;
        }
        return put(p, '"');
    }

    char* ascii(const Py_UCS1* text, Py_ssize_t n, char* p) {
        const Py_UCS1* const end = text + n;
        for (const Py_UCS1* s = text; s < end;) {
            const Py_UCS1* const stop = s + std::min(end - s, kSliceUnits);
            p = out_.room(p, static_cast<std::size_t>(stop - s) * kMaxBytesPerUnit + kScratch);
            p = put_ascii(p, text, s, stop);
            s = stop;
        }
        return p;
    }

    // Encodes code units to UTF-8 with escapes, moving p on; returns the index of a lone
    // surrogate, or -1.
    template <typename CharT>
    Py_ssize_t units(const CharT* s, Py_ssize_t n, char*& out) {
        char* p = out;
        for (Py_ssize_t start = 0; start < n; start += kSliceUnits) {
            const Py_ssize_t stop = std::min(n, start + kSliceUnits);
            p = out_.room(p, static_cast<std::size_t>(stop - start) * kMaxBytesPerUnit);
            for (Py_ssize_t i = start; i < stop; ++i) {
                const Py_UCS4 c = s[i];
                if (c < 0x80) {
                    const char letter = kEscape[c];
                    if (letter == 0) {
                        *p++ = static_cast<char>(c);
                    } else {
                        p = put_escape(p, c, letter);
                    }
                } else if (sizeof(CharT) == 1 || c < 0x800) {
                    *p++ = static_cast<char>(0xC0 | (c >> 6));
                    *p++ = static_cast<char>(0x80 | (c & 0x3F));
                } else {
                    if constexpr (sizeof(CharT) > 1) {
                        if ((c >> 11) == (0xD800 >> 11)) {
                            out = p;
                            return i;
                        }
                        if (sizeof(CharT) == 2 || c < 0x10000) {
                            *p++ = static_cast<char>(0xE0 | (c >> 12));
                        } else {
                            *p++ = static_cast<char>(0xF0 | (c >> 18));
                            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                        }
                        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                        *p++ = static_cast<char>(0x80 | (c & 0x3F));
                    }
                }
            }
        }
        out = p;
        return -1;
    }

    [[gnu::noinline]] char* array(PyObject* seq, bool is_list, char* p) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return nullptr;
        p = put(p, '[');
        // Items are borrowed, as members are (see object()). The size is read again each time
        // round: nothing should change the list, but if anything did, we stay within its
        // current items.
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
            PyObject* const item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
            if (i > 0) p = put(p, ',');
            p = value(item, p);
            if (p == nullptr) return nullptr;
        }
        return put(p, ']');
    }

    static bool set_member(Member& m, PyObject* key, PyObject* val) {
        if (!PyUnicode_CheckExact(key) && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "keys must be str, not %.200s", Py_TYPE(key)->tp_name);
            return false;
        }
        m.key = key;
        m.value = val;
        m.ascii = PyUnicode_IS_COMPACT_ASCII(key);
        if (m.ascii) {
            m.text = compact_ascii_text(key);
            m.length = PyUnicode_GET_LENGTH(key);
            m.kind = PyUnicode_1BYTE_KIND;
        } else {
            if (PyUnicode_READY(key) < 0) return false;
            m.text = PyUnicode_DATA(key);
            m.length = PyUnicode_GET_LENGTH(key);
            m.kind = PyUnicode_KIND(key);
        }
        if (m.kind == PyUnicode_1BYTE_KIND) m.head = key_head(static_cast<const Py_UCS1*>(m.text), m.length);
        return true;
    }

    // dict subclasses too are read through the dict API, as their stored items.
    //
    // Keys, values and list items are held by borrowed references, and so are the containers
    // below the argument. That is safe because nothing can release them while we write:
    // their owners (this dict, those lists) change only if code runs that is not ours, and
    // none does. Subclasses are read by their stored value; keys are compared natively; the
    // only allocations on the way are of our own buffers and of the ready form of a legacy
    // str, none of which can start a garbage collection, so no finaliser runs. Only raising
    // an exception can collect (and run finalisers), and after raising every path returns at
    // once without touching a borrowed reference again.
    [[gnu::noinline]] char* object(PyObject* dict, char* p) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return nullptr;
        const DictItems items = dict_items(dict);
        if (items.readable()) {
            if (narrow_keys_in_order(items)) return members_in_place(items, p);
            StackFrame<SlotKey> keys(slot_keys_);
            if (sort_narrow_keys(items, keys)) return table_members(keys, p);
        }
        MemberFrame frame(members_);
        // As many members as the dict has, the dict being unchanged.
        const auto n = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
        Member* const first = members_.extend(n);
        std::size_t count = 0;
        if (items.readable()) {
            for (const DictSlot* slot = items.begin; slot < items.end && count < n; ++slot) {
                if (slot->value == nullptr) continue;
                if (!set_member(first[count++], slot->key, slot->value)) return nullptr;
            }
        } else {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* val;
            while (count < n && PyDict_Next(dict, &pos, &key, &val)) {
                if (!set_member(first[count++], key, val)) return nullptr;
            }
        }
        members_.truncate(frame.base() + count);
        if (!sort_members(first, count)) return nullptr;
        return write_members(frame, p);
    }

    // An exact str of 1-byte code units, whose text can be read and compared in place.
    static bool narrow_key(PyObject* key) noexcept {
        return PyUnicode_CheckExact(key) && PyUnicode_IS_READY(key) && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND;
    }

    // Whether the keys are all 1-byte str already in canonical order, as keys often come
    // (objects built from canonical text, or built in order): then the members are written as
    // the table holds them, with no member stack and no sorting. The check reads only the
    // keys, so that when it fails nothing has been written.
    static bool narrow_keys_in_order(const DictItems& items) noexcept {
        const Py_UCS1* prev_text = nullptr;
        Py_ssize_t prev_length = 0;
        std::uint64_t prev_head = 0;
        for (const DictSlot* slot = items.begin; slot < items.end; ++slot) {
            if (slot->value == nullptr) continue;
            PyObject* const key = slot->key;
            if (!narrow_key(key)) return false;
            const auto* text = static_cast<const Py_UCS1*>(PyUnicode_DATA(key));
            const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
            const std::uint64_t head = key_head(text, length);
            if (prev_text != nullptr && compare_narrow(prev_head, prev_text, prev_length, head, text, length) >= 0) {
                return false;
            }
            prev_text = text;
            prev_length = length;
            prev_head = head;
        }
        return true;
    }

    char* members_in_place(const DictItems& items, char* p) {
        p = put(p, '{');
        bool comma = false;
        for (const DictSlot* slot = items.begin; slot < items.end; ++slot) {
            if (slot->value == nullptr) continue;
            p = slot_member(slot, p, comma);
            if (p == nullptr) return nullptr;
            comma = true;
        }
        return put(p, '}');
    }

    // Whether the keys are all 1-byte exact str, as keys nearly always are, when they are not
    // in order already. If so, they go to the key stack in canonical order and the members are
    // written from the table (see table_members), with no Member to fill for each. Only the
    // keys are read, so that when this fails nothing has been written.
    bool sort_narrow_keys(const DictItems& items, const StackFrame<SlotKey>& frame) {
        SlotKey* const first = slot_keys_.extend(static_cast<std::size_t>(items.end - items.begin));
        std::size_t count = 0;
        for (const DictSlot* slot = items.begin; slot < items.end; ++slot) {
            if (slot->value == nullptr) continue;
            PyObject* const key = slot->key;
            if (!narrow_key(key)) return false;
            first[count++] = SlotKey{key_head(PyUnicode_1BYTE_DATA(key), PyUnicode_GET_LENGTH(key)), slot};
        }
        slot_keys_.truncate(frame.base() + count);
        return sort_slot_keys(first, count);
    }

    // Puts the keys in canonical order; false if two have equal text. Exact str keys of one
    // dict never do: the dict would hold them as one. Should it happen all the same, the
    // general path reports it.
    [[gnu::noinline]] static bool sort_slot_keys(SlotKey* first, std::size_t n) noexcept {
        if (n <= kInlineMembers) {
            for (std::size_t i = 1; i < n; ++i) {
                const SlotKey k = first[i];
                std::size_t j = i;
                int order = -1;
                while (j > 0 && (order = compare_slot_keys(k, first[j - 1])) < 0) {
                    first[j] = first[j - 1];
                    --j;
                }
                if (order == 0) return false;
                first[j] = k;
            }
            return true;
        }
        std::sort(first, first + n, [](const SlotKey& a, const SlotKey& b) { return compare_slot_keys(a, b) < 0; });
        for (std::size_t i = 1; i < n; ++i) {
            if (compare_slot_keys(first[i - 1], first[i]) == 0) return false;
        }
        return true;
    }

    static int compare_slot_keys(const SlotKey& a, const SlotKey& b) noexcept {
        // Heads first, so that a key's text is looked up only on a tie.
        if (a.head != b.head) return a.head < b.head ? -1 : 1;
        PyObject* const x = a.slot->key;
        PyObject* const y = b.slot->key;
        return compare_narrow(a.head, PyUnicode_1BYTE_DATA(x), PyUnicode_GET_LENGTH(x), b.head,
                              PyUnicode_1BYTE_DATA(y), PyUnicode_GET_LENGTH(y));
    }

    // The members of the keys sort_narrow_keys has ordered, from the dict's table.
    char* table_members(const StackFrame<SlotKey>& frame, char* p) {
        p = put(p, '{');
        const std::size_t count = frame.count();
        for (std::size_t i = 0; i < count; ++i) {
            // Indexed afresh each time: nested objects may move the key stack.
            p = slot_member(slot_keys_[frame.base() + i].slot, p, i > 0);
            if (p == nullptr) return nullptr;
        }
        return put(p, '}');
    }

    // The member in a table slot, then whole blocks to the hash.
    char* slot_member(const DictSlot* slot, char* p, bool comma) {
        p = string(slot->key, p, true, comma);
        if (p == nullptr) return nullptr;
        p = value(slot->value, p);
        if (p != nullptr) out_.feed(p);
        return p;
    }

    // Sorts by key; keys with equal text are refused. Distinct dict keys can still have equal
    // text: str subclasses with their own __eq__/__hash__.
    [[gnu::noinline]] static bool sort_members(Member* first, std::size_t n) {
        if (n <= kInlineMembers) {
            // Insertion sort compares every key with its final left neighbour, so it finds
            // equal keys on the way.
            for (std::size_t i = 1; i < n; ++i) {
                std::size_t j = i;
                int order = -1;
                while (j > 0 && (order = compare_keys(first[i], first[j - 1])) < 0) --j;
                if (order == 0) return duplicate_key(first[i].key);
                if (j < i) std::rotate(first + j, first + i, first + i + 1);
            }
            return true;
        }
        std::sort(first, first + n, [](const Member& a, const Member& b) { return compare_keys(a, b) < 0; });
        for (std::size_t i = 1; i < n; ++i) {
            if (compare_keys(first[i - 1], first[i]) == 0) return duplicate_key(first[i].key);
        }
        return true;
    }

    // Members given in order must be: strictly increasing keys.
    static bool check_order(const Member* first, std::size_t n) {
        for (std::size_t i = 1; i < n; ++i) {
            const int order = compare_keys(first[i - 1], first[i]);
            if (order == 0) return duplicate_key(first[i].key);
            if (order > 0) {
                PyErr_Format(PyExc_ValueError, "object key '%U' is out of canonical order", first[i].key);
                return false;
            }
        }
        return true;
    }

    char* write_members(const MemberFrame& frame, char* p) {
        p = put(p, '{');
        const std::size_t count = frame.count();
        for (std::size_t i = 0; i < count; ++i) {
            // Indexed afresh each time: nested objects may move the member stack.
            const Member& m = members_[frame.base() + i];
            PyObject* const val = m.value;
            p = m.ascii && m.length <= kSliceUnits
                    ? ascii_string(static_cast<const Py_UCS1*>(m.text), static_cast<std::size_t>(m.length), p, true, i > 0)
                    : string(m.key, p, true, i > 0);
            if (p == nullptr) return nullptr;
            p = value(val, p);
            if (p == nullptr) return nullptr;
            out_.feed(p);
        }
        return put(p, '}');
    }

    Sink out_;
    MemberStack members_;
    FrameStack<SlotKey> slot_keys_;
    int depth_ = 0;
};

// ---- boundary ---------------------------------------------------------------------------

// No C++ exception may reach the interpreter.
template <typename R, typename F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kestrim_substrate._jcs");
    }
    return on_error;
}

// The SHA-256 of what write(encoder, position) writes with an encoder streaming into the
// hash; false with an exception set if it fails.
template <typename Write>
bool digest_of(unsigned char digest[SHA256_DIGEST_LENGTH], Write&& write) {
    Sha256 hash;
    Encoder encoder(&hash);
    char* const end = write(encoder, encoder.out().start());
    if (end == nullptr) return false;
    encoder.out().finish(end, digest);
    return true;
}

template <typename Write>
int hash_hex(char out_hex[64], Write&& write) noexcept {
    return guarded(-1, [&] {
        unsigned char digest[SHA256_DIGEST_LENGTH];
        if (!digest_of(digest, write)) return -1;
        to_hex(digest, out_hex);
        return 0;
    });
}

int api_sha256_hex(PyObject* obj, char out_hex[64]) {
    return hash_hex(out_hex, [obj](Encoder& e, char* p) { return e.value(obj, p); });
}

int api_sha256_members_hex(PyObject* const* keys, PyObject* const* values, Py_ssize_t n, char out_hex[64]) {
    if (n < 0) {
        PyErr_SetString(PyExc_SystemError, "sha256_members_hex: negative member count");
        return -1;
    }
    return hash_hex(out_hex, [=](Encoder& e, char* p) { return e.sorted_members(keys, values, n, p); });
}

// Every handle prepare_members has made; only ever grows, under the GIL.
const KestrimJcsMembers* g_prepared = nullptr;

const KestrimJcsMembers* api_prepare_members(PyObject* const* keys, Py_ssize_t n) {
    if (n < 0) {
        PyErr_SetString(PyExc_SystemError, "prepare_members: negative member count");
        return nullptr;
    }
    return guarded<const KestrimJcsMembers*>(nullptr, [=]() -> const KestrimJcsMembers* {
        Encoder encoder(nullptr);
        std::vector<std::size_t> ends;
        ends.reserve(static_cast<std::size_t>(n) + 1);
        const char* const end = encoder.member_pieces(keys, n, ends);
        if (end == nullptr) return nullptr;
        const char* const text = encoder.out().data();
        const auto size = static_cast<std::size_t>(end - text);
        // The same keys prepared again (say, by a module loaded anew) share a handle, so
        // repeated preparing does not grow memory.
        for (const KestrimJcsMembers* m = g_prepared; m != nullptr; m = m->next) {
            if (m->count == n && m->ends[n] == size && std::memcmp(m->text, text, size) == 0 &&
                std::equal(ends.begin(), ends.end(), m->ends)) {
                return m;
            }
        }
        std::unique_ptr<char[]> own_text(new char[size + kScratch]());
        std::memcpy(own_text.get(), text, size);
        std::unique_ptr<std::size_t[]> own_ends(new std::size_t[ends.size()]);
        std::copy(ends.begin(), ends.end(), own_ends.get());
        auto* members = new KestrimJcsMembers{g_prepared, n, own_ends.release(), own_text.release()};
        g_prepared = members;
        return members;
    });
}

int api_sha256_prepared_hex(const KestrimJcsMembers* members, PyObject* const* values, char out_hex[64]) {
    if (members == nullptr) {
        PyErr_SetString(PyExc_SystemError, "sha256_prepared_hex: no prepared members");
        return -1;
    }
    return hash_hex(out_hex, [=](Encoder& e, char* p) { return e.prepared(*members, values, p); });
}

PyObject* py_sha256_jcs(PyObject*, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [obj]() -> PyObject* {
        unsigned char digest[SHA256_DIGEST_LENGTH];
        if (!digest_of(digest, [obj](Encoder& e, char* p) { return e.value(obj, p); })) return nullptr;
        PyObject* result = PyUnicode_New(2 * SHA256_DIGEST_LENGTH, 127);
        if (result != nullptr) to_hex(digest, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result)));
        return result;
    });
}

PyObject* py_canonicalize(PyObject*, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [obj]() -> PyObject* {
        Encoder encoder(nullptr);
        const char* const end = encoder.value(obj, encoder.out().start());
        if (end == nullptr) return nullptr;
        return PyBytes_FromStringAndSize(encoder.out().data(), end - encoder.out().data());
    });
}

// ---- module -----------------------------------------------------------------------------

// The capsule owns its table and the reference behind the table's sha256_jcs.
struct OwnedApi {
    KestrimJcsApi api;
    PyRef function;
};

void destroy_api(PyObject* capsule) {
    delete static_cast<OwnedApi*>(PyCapsule_GetContext(capsule));
}

int exec_module(PyObject* module) {
    return guarded(-1, [module] {
        PyRef function(PyObject_GetAttrString(module, "sha256_jcs"));
        if (!function) return -1;
        auto owned = std::make_unique<OwnedApi>();
        owned->api.abi_version = KESTRIM_JCS_ABI_VERSION;
        owned->api.sha256_jcs = function.get();
        owned->api.sha256_hex = api_sha256_hex;
        owned->api.sha256_members_hex = api_sha256_members_hex;
        owned->api.prepare_members = api_prepare_members;
        owned->api.sha256_prepared_hex = api_sha256_prepared_hex;
        owned->function = std::move(function);
        PyRef capsule(PyCapsule_New(&owned->api, KESTRIM_JCS_CAPSULE_NAME, destroy_api));
        if (!capsule || PyCapsule_SetContext(capsule.get(), owned.get()) < 0) return -1;
        owned.release();  // the capsule's destructor frees it from here on
        return PyModule_AddObjectRef(module, "_C_API", capsule.get());
    });
}

PyDoc_STRVAR(sha256_jcs_doc,
             "sha256_jcs($module, obj, /)\n--\n\n"
             "SHA-256 of obj's RFC 8785 canonical JSON, as 64 lower-case hex digits.\n\n"
             "Takes what canonicalize() takes and raises what it raises.");

PyDoc_STRVAR(canonicalize_doc,
             "canonicalize($module, obj, /)\n--\n\n"
             "obj as RFC 8785 canonical JSON, in UTF-8 bytes.\n\n"
             "dict (str keys), list, tuple, str, int, float, bool and None are accepted, and\n"
             "subclasses of these as their stored value. Object members are sorted by the\n"
             "UTF-16 code units of their keys; floats are written as ECMAScript does.\n\n"
             "Raises ValueError for integers outside \u00b1(2**53-1), NaN and infinities, strings\n"
             "holding a lone surrogate and keys with equal text; TypeError for other types\n"
             "and non-str keys; RecursionError for nesting deeper than the recursion limit\n"
             "or 2000 levels.");

PyMethodDef kMethods[] = {
    {"sha256_jcs", py_sha256_jcs, METH_O, sha256_jcs_doc},
    {"canonicalize", py_canonicalize, METH_O, canonicalize_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kestrim_substrate._jcs",
    "RFC 8785 canonical JSON and its SHA-256.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrim

PyMODINIT_FUNC PyInit__jcs(void) {
    return PyModuleDef_Init(&kestrim::kModule);
}
