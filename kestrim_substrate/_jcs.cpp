// RFC 8785 canonical JSON and its SHA-256: the content hash behind every reference.
//
// Two inputs that differ in any way must never produce the same bytes, so nothing is
// rounded or coerced: values JSON cannot carry exactly are refused. No user code runs while
// a value is serialised (subclasses are read by their stored value, keys are compared
// natively), and every key, value and list item is held by a strong reference while in use.
#include "common/py_ref.hpp"
#include "kestrim_substrate/es_number.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

// The SHA256_* functions are deprecated in OpenSSL 3 in favour of EVP, but they keep the whole
// context on our stack: no allocation, no provider lookup, nothing shared between threads or
// between re-entrant calls. They measured fastest here (about 160 ns against 195 ns for a
// reused EVP_MD_CTX on a 229-byte input) and are present throughout OpenSSL 3.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace kestrim {
namespace {

class Sha256 {
public:
    Sha256() noexcept { SHA256_Init(&ctx_); }
    void update(const char* data, std::size_t size) noexcept { SHA256_Update(&ctx_, data, size); }
    void final(unsigned char digest[SHA256_DIGEST_LENGTH]) noexcept { SHA256_Final(digest, &ctx_); }

private:
    SHA256_CTX ctx_;
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
constexpr std::size_t kInlineBytes = 4096;
constexpr std::size_t kInlineMembers = 16;

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

// Whether any of eight ASCII bytes needs escaping (below 0x20, '"' or '\\'), a word at a
// time. The zero-byte and less-than tests are exact here because every byte is below 0x80.
inline bool needs_escape8(const Py_UCS1* s) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    std::uint64_t w;
    std::memcpy(&w, s, sizeof w);
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t backslash = w ^ (kOnes * '\\');
    return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) &
           kHighs;
}

void to_hex(const unsigned char* bytes, std::size_t n, char* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = kHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
    }
}

// Output buffer: starts on the stack and moves to the heap only when it outgrows it. With a
// hash attached it never grows for long: full buffers are fed to the hash instead.
class Sink {
public:
    explicit Sink(Sha256* hash) noexcept : hash_(hash) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Room for n more bytes; write through the pointer, then commit() the new end.
    char* reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - pos_) < n) spill(n);
        return pos_;
    }
    void commit(char* end) noexcept { pos_ = end; }
    void put(char c) {
        *reserve(1) = c;
        ++pos_;
    }
    void write(const char* s, std::size_t n) {
        std::memcpy(reserve(n), s, n);
        pos_ += n;
    }
    const char* data() const noexcept { return begin_; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
    // Hands what is still buffered to the hash.
    void drain() noexcept {
        hash_->update(begin_, size());
        pos_ = begin_;
    }

private:
    void spill(std::size_t n) {
        if (hash_ != nullptr) {
            drain();
            if (static_cast<std::size_t>(end_ - pos_) >= n) return;
        }
        const std::size_t used = size();
        const std::size_t capacity = std::max(2 * static_cast<std::size_t>(end_ - begin_), used + n);
        std::unique_ptr<char[]> grown(new char[capacity]);
        std::memcpy(grown.get(), begin_, used);
        heap_ = std::move(grown);
        begin_ = heap_.get();
        pos_ = begin_ + used;
        end_ = begin_ + capacity;
    }

    Sha256* hash_;
    char* begin_ = inline_;
    char* pos_ = inline_;
    char* end_ = inline_ + kInlineBytes;
    std::unique_ptr<char[]> heap_;
    char inline_[kInlineBytes];
};

// An object member while its object is written. text/length/kind describe the key's code
// units for sorting; they stay valid because the key is held.
struct Member {
    PyRef key;
    PyRef value;
    const void* text = nullptr;
    Py_ssize_t length = 0;
    int kind = 0;
};

// Members of every object being written, nested ones above their parents. One stack per call
// keeps C frames small for deep nesting and needs no allocation for small documents.
class MemberStack {
public:
    MemberStack() noexcept = default;
    MemberStack(const MemberStack&) = delete;
    MemberStack& operator=(const MemberStack&) = delete;
    ~MemberStack() {
        truncate(0);
        if (items_ != inline_items()) ::operator delete(items_);
    }

    std::size_t size() const noexcept { return size_; }
    Member& operator[](std::size_t i) noexcept { return items_[i]; }
    Member* at(std::size_t i) noexcept { return items_ + i; }
    Member& push() {
        if (size_ == capacity_) grow();
        return *new (items_ + size_++) Member();
    }
    // Drops the members above n, and the references they hold.
    void truncate(std::size_t n) noexcept {
        while (size_ > n) items_[--size_].~Member();
    }

private:
    Member* inline_items() noexcept { return reinterpret_cast<Member*>(inline_); }
    void grow() {
        const std::size_t capacity = 2 * capacity_;
        auto* fresh = static_cast<Member*>(::operator new(capacity * sizeof(Member)));
        for (std::size_t i = 0; i < size_; ++i) {
            new (fresh + i) Member(std::move(items_[i]));
            items_[i].~Member();
        }
        if (items_ != inline_items()) ::operator delete(items_);
        items_ = fresh;
        capacity_ = capacity;
    }

    alignas(Member) unsigned char inline_[kInlineMembers * sizeof(Member)];
    Member* items_ = reinterpret_cast<Member*>(inline_);
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineMembers;
};

// Pops an object's members on every way out, exceptions included.
class MemberFrame {
public:
    explicit MemberFrame(MemberStack& stack) noexcept : stack_(stack), base_(stack.size()) {}
    MemberFrame(const MemberFrame&) = delete;
    MemberFrame& operator=(const MemberFrame&) = delete;
    ~MemberFrame() { stack_.truncate(base_); }
    std::size_t base() const noexcept { return base_; }
    std::size_t count() const noexcept { return stack_.size() - base_; }

private:
    MemberStack& stack_;
    std::size_t base_;
};

// Bounds nesting by the interpreter's recursion limit, and by a fixed depth as well: a raised
// recursion limit must not let a deep document overflow the C stack. A level costs up to
// about 400 bytes of stack in a release build and 1.5 KiB under AddressSanitizer; no document
// we hash comes near this depth.
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
        if (Py_EnterRecursiveCall(" while encoding canonical JSON") != 0) return false;
        entered_ = true;
        ++depth_;
        return true;
    }
    ~DepthGuard() {
        if (entered_) {
            --depth_;
            Py_LeaveRecursiveCall();
        }
    }

private:
    int& depth_;
    bool entered_ = false;
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

int compare_keys(const Member& a, const Member& b) noexcept {
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

// ---- the writer -------------------------------------------------------------------------

class Encoder {
public:
    // With a hash, the output is streamed into it; without, it stays in the buffer.
    explicit Encoder(Sha256* hash) noexcept : out_(hash) {}

    Sink& out() noexcept { return out_; }

    bool value(PyObject* obj) {
        if (PyUnicode_CheckExact(obj)) return string(obj);
        if (PyLong_CheckExact(obj)) return integer(obj);
        if (PyDict_CheckExact(obj)) return object(obj);
        if (PyList_CheckExact(obj)) return array(obj, true);
        if (obj == Py_None) return literal("null", 4);
        if (obj == Py_True) return literal("true", 4);
        if (obj == Py_False) return literal("false", 5);
        if (PyFloat_CheckExact(obj)) return number(PyFloat_AS_DOUBLE(obj));
        if (PyTuple_Check(obj)) return array(obj, false);
        // Subclasses, by their stored value. bool cannot be subclassed, so PyLong_Check is
        // safe after the identity tests above.
        if (PyUnicode_Check(obj)) return string(obj);
        if (PyLong_Check(obj)) return integer(obj);
        if (PyFloat_Check(obj)) return number(PyFloat_AS_DOUBLE(obj));
        if (PyDict_Check(obj)) return object(obj);
        if (PyList_Check(obj)) return array(obj, true);
        return not_serializable(obj);
    }

    // An object given as members whose keys are already in canonical order.
    bool sorted_members(PyObject* const* keys, PyObject* const* values, Py_ssize_t n) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return false;
        MemberFrame frame(members_);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!push_member(keys[i], values[i])) return false;
        }
        for (std::size_t i = 1; i < frame.count(); ++i) {
            const int order = compare_keys(members_[frame.base() + i - 1], members_[frame.base() + i]);
            if (order == 0) return duplicate_key(members_[frame.base() + i].key.get());
            if (order > 0) {
                PyErr_Format(PyExc_ValueError, "object key '%U' is out of canonical order",
                             members_[frame.base() + i].key.get());
                return false;
            }
        }
        return write_members(frame);
    }

private:
    // Scalars stay out of line: their locals would otherwise widen the frames of the
    // recursion through value(), array() and object(), and with them the stack a level costs.
    [[gnu::noinline]] bool literal(const char* text, std::size_t n) {
        out_.write(text, n);
        return true;
    }

    [[gnu::noinline]] bool integer(PyObject* obj) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || v > kMaxSafeInteger || v < -kMaxSafeInteger) return integer_out_of_range(obj);
        char* p = out_.reserve(24);
        out_.commit(std::to_chars(p, p + 24, v).ptr);
        return true;
    }

    [[gnu::noinline]] bool number(double v) {
        if (!std::isfinite(v)) {
            PyErr_Format(PyExc_ValueError, "float %s is not representable in canonical JSON",
                         std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf");
            return false;
        }
        char* p = out_.reserve(es::kMaxNumberChars);
        out_.commit(p + es::format_double(v, p));
        return true;
    }

    [[gnu::noinline]] bool string(PyObject* s) {
        if (PyUnicode_READY(s) < 0) return false;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        out_.put('"');
        Py_ssize_t bad = -1;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                if (PyUnicode_IS_ASCII(s)) {
                    ascii(static_cast<const Py_UCS1*>(data), n);
                } else {
                    bad = units(static_cast<const Py_UCS1*>(data), n);
                }
                break;
            case PyUnicode_2BYTE_KIND: bad = units(static_cast<const Py_UCS2*>(data), n); break;
            default: bad = units(static_cast<const Py_UCS4*>(data), n); break;
        }
        if (bad >= 0) return lone_surrogate(PyUnicode_READ_CHAR(s, bad), bad);
        out_.put('"');
        return true;
    }

    // ASCII is already UTF-8: copy the runs between escapes.
    void ascii(const Py_UCS1* s, Py_ssize_t n) {
        while (n > 0) {
            const Py_ssize_t slice = std::min(n, kSliceUnits);
            char* p = out_.reserve(static_cast<std::size_t>(slice) * kMaxBytesPerUnit);
            const Py_UCS1* const end = s + slice;
            while (s < end) {
                const Py_UCS1* run = s;
                while (end - s >= 8 && !needs_escape8(s)) s += 8;
                while (s < end && kEscape[*s] == 0) ++s;
                std::memcpy(p, run, static_cast<std::size_t>(s - run));
                p += s - run;
                if (s < end) {
                    p = put_escape(p, *s, kEscape[*s]);
                    ++s;
                }
            }
            out_.commit(p);
            n -= slice;
        }
    }

    // Encodes code units to UTF-8 with escapes; returns the index of a lone surrogate, or -1.
    template <typename CharT>
    Py_ssize_t units(const CharT* s, Py_ssize_t n) {
        for (Py_ssize_t start = 0; start < n; start += kSliceUnits) {
            const Py_ssize_t stop = std::min(n, start + kSliceUnits);
            char* p = out_.reserve(static_cast<std::size_t>(stop - start) * kMaxBytesPerUnit);
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
                            out_.commit(p);
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
            out_.commit(p);
        }
        return -1;
    }

    bool array(PyObject* seq, bool is_list) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return false;
        out_.put('[');
        // The size is read again each time round: nothing should change the list, but if
        // anything did, we stay within its current items.
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
            const PyRef item = PyRef::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            if (i > 0) out_.put(',');
            if (!value(item.get())) return false;
        }
        out_.put(']');
        return true;
    }

    bool push_member(PyObject* key, PyObject* val) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "keys must be str, not %.200s", Py_TYPE(key)->tp_name);
            return false;
        }
        if (PyUnicode_READY(key) < 0) return false;
        Member& m = members_.push();
        m.key = PyRef::borrow(key);
        m.value = PyRef::borrow(val);
        m.text = PyUnicode_DATA(key);
        m.length = PyUnicode_GET_LENGTH(key);
        m.kind = PyUnicode_KIND(key);
        return true;
    }

    // dict subclasses too are read through the dict API, as their stored items.
    bool object(PyObject* dict) {
        DepthGuard guard(depth_);
        if (!guard.enter()) return false;
        MemberFrame frame(members_);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* val;
        while (PyDict_Next(dict, &pos, &key, &val)) {
            if (!push_member(key, val)) return false;
        }
        if (!sort_members(members_.at(frame.base()), frame.count())) return false;
        return write_members(frame);
    }

    // Sorts by key; keys with equal text are refused. Distinct dict keys can still have equal
    // text: str subclasses with their own __eq__/__hash__.
    static bool sort_members(Member* first, std::size_t n) {
        if (n <= kInlineMembers) {
            // Insertion sort compares every key with its final left neighbour, so it finds
            // equal keys on the way.
            for (std::size_t i = 1; i < n; ++i) {
                std::size_t j = i;
                int order = -1;
                while (j > 0 && (order = compare_keys(first[i], first[j - 1])) < 0) --j;
                if (order == 0) return duplicate_key(first[i].key.get());
                if (j < i) std::rotate(first + j, first + i, first + i + 1);
            }
            return true;
        }
        std::sort(first, first + n, [](const Member& a, const Member& b) { return compare_keys(a, b) < 0; });
        for (std::size_t i = 1; i < n; ++i) {
            if (compare_keys(first[i - 1], first[i]) == 0) return duplicate_key(first[i].key.get());
        }
        return true;
    }

    bool write_members(const MemberFrame& frame) {
        out_.put('{');
        for (std::size_t i = 0; i < frame.count(); ++i) {
            if (i > 0) out_.put(',');
            // Indexed afresh each time: nested objects may move the member stack.
            if (!string(members_[frame.base() + i].key.get())) return false;
            out_.put(':');
            if (!value(members_[frame.base() + i].value.get())) return false;
        }
        out_.put('}');
        return true;
    }

    Sink out_;
    MemberStack members_;
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

// Hashes what write() puts into an encoder streaming into the hash.
template <typename Write>
int hash_hex(char out_hex[64], Write&& write) noexcept {
    return guarded(-1, [&] {
        Sha256 hash;
        Encoder encoder(&hash);
        if (!write(encoder)) return -1;
        encoder.out().drain();
        unsigned char digest[SHA256_DIGEST_LENGTH];
        hash.final(digest);
        to_hex(digest, sizeof digest, out_hex);
        return 0;
    });
}

int api_sha256_hex(PyObject* obj, char out_hex[64]) {
    return hash_hex(out_hex, [obj](Encoder& e) { return e.value(obj); });
}

int api_sha256_members_hex(PyObject* const* keys, PyObject* const* values, Py_ssize_t n, char out_hex[64]) {
    if (n < 0) {
        PyErr_SetString(PyExc_SystemError, "sha256_members_hex: negative member count");
        return -1;
    }
    return hash_hex(out_hex, [=](Encoder& e) { return e.sorted_members(keys, values, n); });
}

PyObject* py_sha256_jcs(PyObject*, PyObject* obj) {
    char hex[64];
    if (api_sha256_hex(obj, hex) < 0) return nullptr;
    PyObject* result = PyUnicode_New(64, 127);
    if (result != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(result), hex, sizeof hex);
    return result;
}

PyObject* py_canonicalize(PyObject*, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [obj]() -> PyObject* {
        Encoder encoder(nullptr);
        if (!encoder.value(obj)) return nullptr;
        return PyBytes_FromStringAndSize(encoder.out().data(), static_cast<Py_ssize_t>(encoder.out().size()));
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
