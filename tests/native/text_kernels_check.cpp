// The substrate's text kernels and key order, checked alone against byte-at-a-time
// references on many generated inputs. Built twice (make test-native): with KESTRIM_SIMD=1
// it checks the SSE2 forms the release build uses, with KESTRIM_SIMD=0 the word forms. Both
// builds run under AddressSanitizer, and every input and output sits in a heap block of its
// exact size, so a kernel that reads or writes a byte outside what it may touch fails.
//
// Prints one line per failure (the first few) and ends with "N passed, M failed".
#include "kestrim_delegation_ref/ref_shape.hpp"
#include "kestrim_substrate/key_order.hpp"
#include "kestrim_substrate/text_kernels.hpp"
#include "tests/native/check_random.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using kestrim::kScratch;

long g_passed = 0;
long g_failed = 0;

void check(bool ok, const char* what, const std::string& input) {
    if (ok) {
        ++g_passed;
        return;
    }
    if (++g_failed <= 20) {
        std::string shown;
        for (unsigned char c : input) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "%02x", c);
            shown += hex;
        }
        std::printf("FAIL %s on bytes %s\n", what, shown.c_str());
    }
}

// ASCII text, mostly plain, with escapes (controls, quote, backslash) at a rate that varies
// from string to string, so that both the all-plain and the escape paths see every length.
std::string ascii_text(Random& r, std::size_t n) {
    static const char kSpecial[] = {'"', '\\', '\n', '\t', '\0', '\x01', '\x1f', '\b', '\f', '\r'};
    const unsigned rate = r.below(4) == 0 ? 0 : 1 + r.below(40);
    std::string s(n, ' ');
    for (auto& c : s) {
        if (rate != 0 && r.below(rate) == 0) {
            c = kSpecial[r.below(sizeof kSpecial)];
        } else {
            c = static_cast<char>(0x20 + r.below(0x7F - 0x20));  // space .. '~', and DEL
        }
    }
    return s;
}

std::string reference_escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char u[7];
                    std::snprintf(u, sizeof u, "\\u%04x", c);
                    out += u;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// A heap copy of exactly the bytes of s, so that AddressSanitizer sees any read past it.
std::unique_ptr<std::uint8_t[]> exact_copy(const std::string& s) {
    std::unique_ptr<std::uint8_t[]> p(new std::uint8_t[s.size() == 0 ? 1 : s.size()]);
    std::memcpy(p.get(), s.data(), s.size());
    return p;
}

void check_words(Random& r) {
    for (int round = 0; round < 20000; ++round) {
        std::string s = ascii_text(r, 8);
        const auto text = exact_copy(s);
        const std::uint64_t w = kestrim::load_le64(text.get());
        std::uint64_t expected = 0;
        for (int i = 7; i >= 0; --i) expected = expected << 8 | static_cast<unsigned char>(s[i]);
        check(w == expected, "load_le64", s);
        unsigned char back[8];
        kestrim::store_le64(back, w);
        check(std::memcmp(back, s.data(), 8) == 0, "store_le64", s);
        check(kestrim::load_le32(text.get()) == (expected & 0xFFFFFFFFu), "load_le32", s);

        // escape_mask: zero exactly when no byte needs escaping, else its lowest flag marks
        // the first byte that does.
        const std::uint64_t mask = kestrim::escape_mask(w);
        int first = -1;
        for (int i = 0; i < 8 && first < 0; ++i) {
            if (needs_escape(static_cast<unsigned char>(s[i]))) first = i;
        }
        check((mask == 0) == (first < 0), "escape_mask (any)", s);
        if (mask != 0 && first >= 0)
            check(__builtin_ctzll(mask) / 8 == first, "escape_mask (first)", s);

        for (unsigned n = 1; n <= 7; ++n) {
            const auto part = exact_copy(s.substr(0, n));
            check(kestrim::load_short(part.get(), n) ==
                      (expected & ((std::uint64_t{1} << (8 * n)) - 1)),
                  "load_short", s.substr(0, n));
        }
        for (unsigned n = 1; n <= 8; ++n) {
            const std::string want = reference_escape(s.substr(0, n));
            std::unique_ptr<char[]> out(new char[want.size() + kScratch]);
            char* const end = kestrim::put_word(out.get(), w, n);
            check(std::string(out.get(), end) == want, "put_word", s.substr(0, n));
        }
    }
}

void check_strings(Random& r) {
    for (int round = 0; round < 40000; ++round) {
        const std::size_t n = round < 2000 ? static_cast<std::size_t>(round % 100) : r.below(600);
        const std::string s = ascii_text(r, n);
        const auto text = exact_copy(s);
        const std::uint8_t* const begin = text.get();

        // put_ascii of the whole string and of a slice that starts inside it.
        const std::size_t from = n == 0 ? 0 : r.below(static_cast<unsigned>(n) + 1);
        for (const std::size_t start : {std::size_t{0}, from}) {
            const std::string want = reference_escape(s.substr(start));
            std::unique_ptr<char[]> out(new char[want.size() + kScratch]);
            char* const end = kestrim::put_ascii(out.get(), begin, begin + start, begin + n);
            check(std::string(out.get(), end) == want, "put_ascii", s.substr(start));
        }

        // copy_plain: true exactly when nothing needs escaping, and then a faithful copy.
        // The output block holds exactly n bytes.
        bool plain = true;
        for (unsigned char c : s) plain = plain && !needs_escape(c);
        std::unique_ptr<char[]> out(new char[n == 0 ? 1 : n]);
        const bool copied = kestrim::copy_plain(out.get(), begin, n);
        check(copied == plain, "copy_plain (verdict)", s);
        if (copied && plain)
            check(std::memcmp(out.get(), s.data(), n) == 0, "copy_plain (copy)", s);
    }
}

// copy_plain over UTF-8: any byte, with the special ones (escapes, and 0xED, which it
// refuses) at a varying rate among ASCII and high bytes, at every length up to past two
// vectors and at random longer ones.
void check_utf8_plain(Random& r) {
    static const unsigned char kSpecial[] = {'"', '\\', '\n', 0, 0x1F, 0xED};
    for (int round = 0; round < 40000; ++round) {
        const std::size_t n = round < 4000 ? static_cast<std::size_t>(round % 40) : r.below(300);
        const unsigned rate = r.below(3) == 0 ? 0 : 1 + r.below(60);
        std::string s(n, ' ');
        for (auto& c : s) {
            if (rate != 0 && r.below(rate) == 0) {
                c = static_cast<char>(kSpecial[r.below(sizeof kSpecial)]);
            } else {
                // Bytes around each edge a signed or an unsigned test could get wrong.
                c = static_cast<char>(r.below(2) == 0 ? 0x20 + r.below(0x60)
                                                      : 0x80 + r.below(0x80));
                if (static_cast<unsigned char>(c) == 0xED) c = static_cast<char>(0xEC);
            }
        }
        bool plain = true;
        for (unsigned char c : s) plain = plain && !needs_escape(c) && c != 0xED;
        const auto text = exact_copy(s);
        std::unique_ptr<char[]> out(new char[n == 0 ? 1 : n]);
        const bool copied =
            kestrim::copy_plain<kestrim::PlainBytes::kUtf8>(out.get(), text.get(), n);
        check(copied == plain, "copy_plain utf8 (verdict)", s);
        if (copied && plain)
            check(std::memcmp(out.get(), s.data(), n) == 0, "copy_plain utf8 (copy)", s);
    }
}

void check_hex(Random& r) {
    for (int round = 0; round < 5000; ++round) {
        std::unique_ptr<unsigned char[]> bytes(new unsigned char[kestrim::kDigestBytes]);
        for (int i = 0; i < kestrim::kDigestBytes; ++i) {
            bytes[i] = round < 256 ? static_cast<unsigned char>(round + i)
                                   : static_cast<unsigned char>(r.next());
        }
        std::string want;
        for (int i = 0; i < kestrim::kDigestBytes; ++i) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", bytes[i]);
            want += two;
        }
        std::unique_ptr<char[]> out(new char[2 * kestrim::kDigestBytes]);
        kestrim::to_hex(bytes.get(), out.get());
        check(std::string(out.get(), 2 * kestrim::kDigestBytes) == want, "to_hex",
              std::string(reinterpret_cast<const char*>(bytes.get()), kestrim::kDigestBytes));
    }
}

// The ref digits' test against its byte-at-a-time form: every byte value at every position of
// an otherwise valid digest (one wrong byte anywhere must be found, in any 16-byte step), and
// random mixes. Each input sits in a block of exactly 64 bytes.
void check_ref_digits(Random& r) {
    static const char kHex[] = "0123456789abcdef";
    std::unique_ptr<unsigned char[]> digits(new unsigned char[kestrim::delegation::kDigestLength]);
    const auto run = [&] {
        const std::string shown(reinterpret_cast<const char*>(digits.get()),
                                kestrim::delegation::kDigestLength);
        check(kestrim::delegation::all_lower_hex(digits.get()) ==
                  kestrim::delegation::all_lower_hex_bytewise(digits.get()),
              "all_lower_hex", shown);
    };
    for (std::size_t at = 0; at < kestrim::delegation::kDigestLength; ++at) {
        for (unsigned value = 0; value < 256; ++value) {
            for (std::size_t i = 0; i < kestrim::delegation::kDigestLength; ++i) {
                digits[i] = static_cast<unsigned char>(kHex[r.below(16)]);
            }
            digits[at] = static_cast<unsigned char>(value);
            run();
        }
    }
    for (int round = 0; round < 20000; ++round) {
        for (std::size_t i = 0; i < kestrim::delegation::kDigestLength; ++i) {
            digits[i] = r.below(8) == 0 ? static_cast<unsigned char>(r.next())
                                        : static_cast<unsigned char>(kHex[r.below(16)]);
        }
        run();
    }
}

// ---- key order ----------------------------------------------------------------------------

// Code points as UTF-16 code units; values in D800..DFFF stand for themselves (a str may hold
// a lone surrogate, and its 2-byte form stores it as one unit).
std::vector<std::uint16_t> utf16(const std::vector<std::uint32_t>& cps) {
    std::vector<std::uint16_t> units;
    for (std::uint32_t c : cps) {
        if (c > 0xFFFF) {
            units.push_back(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(c));
        }
    }
    return units;
}

// By units; keys whose units agree but whose code points do not (a pair of surrogate code
// points against the character it encodes) by code points, so that they stay two keys.
int reference_order(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    const auto x = utf16(a);
    const auto y = utf16(b);
    if (x != y) return x < y ? -1 : 1;
    if (a != b) return a < b ? -1 : 1;
    return 0;
}

// Code points from a small alphabet (so that keys share prefixes and tie often) of the
// given width: 1 = below 0x100, 2 = below 0x10000, 4 = any; surrogate code points too, where
// asked (a key holding one is refused when written, but its order decides which refusal
// comes first).
std::vector<std::uint32_t> key_points(Random& r, int width, std::size_t n, bool surrogates) {
    static const std::uint32_t kWide[] = {0x100,  0x7FF,  0xD7FF, 0xE000, 0xFFFF,
                                          0xFF61, 0xD800, 0xDBFF, 0xDC00, 0xDFFF};
    static const std::uint32_t kAstral[] = {0x10000, 0x1F600, 0x10FFFF};
    const unsigned wide = surrogates ? 10 : 6;
    std::vector<std::uint32_t> cps(n);
    for (auto& c : cps) {
        const unsigned pick = r.below(10);
        if (width == 4 && pick == 0) {
            c = kAstral[r.below(3)];
        } else if (width >= 2 && pick <= 2) {
            c = kWide[r.below(wide)];
        } else {
            c = r.below(4) == 0 ? r.below(0x100) : 'a' + r.below(3);  // zeros included
        }
    }
    return cps;
}

// The narrowest str storage (1, 2 or 4 bytes a unit) that holds these code points.
int width_of(const std::vector<std::uint32_t>& cps) {
    int w = 1;
    for (auto c : cps) w = c > 0xFFFF ? 4 : c > 0xFF && w < 2 ? 2 : w;
    return w;
}

template <typename Unit>
std::unique_ptr<Unit[]> stored(const std::vector<std::uint32_t>& cps) {
    std::unique_ptr<Unit[]> p(new Unit[cps.empty() ? 1 : cps.size()]);
    for (std::size_t i = 0; i < cps.size(); ++i) p[i] = static_cast<Unit>(cps[i]);
    return p;
}

std::string describe(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    std::string s;
    for (auto c : a) s += std::to_string(c) + ",";
    s += " vs ";
    for (auto c : b) s += std::to_string(c) + ",";
    return s;
}

template <typename A, typename B>
void check_units(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    const auto x = stored<A>(a);
    const auto y = stored<B>(b);
    const int got = kestrim::compare_units(x.get(), static_cast<std::ptrdiff_t>(a.size()), y.get(),
                                           static_cast<std::ptrdiff_t>(b.size()));
    check(got == reference_order(a, b), "compare_units", describe(a, b));
}

// A key's head (utf16_head) in its storage width.
template <typename Unit>
std::uint64_t head_of(const std::vector<std::uint32_t>& cps) {
    const auto x = stored<Unit>(cps);
    return kestrim::utf16_head(x.get(), static_cast<std::ptrdiff_t>(cps.size()));
}

std::uint64_t head_in(const std::vector<std::uint32_t>& cps, int width) {
    switch (width) {
        case 1: return head_of<std::uint8_t>(cps);
        case 2: return head_of<std::uint16_t>(cps);
        default: return head_of<std::uint32_t>(cps);
    }
}

// Where the heads of two keys differ, they order as the keys do, in any storage that holds
// each key.
void check_heads(const std::vector<std::uint32_t>& a, int na, const std::vector<std::uint32_t>& b,
                 int nb) {
    for (int wa = na; wa <= 4; wa *= 2) {
        for (int wb = nb; wb <= 4; wb *= 2) {
            const std::uint64_t ha = head_in(a, wa);
            const std::uint64_t hb = head_in(b, wb);
            if (ha == hb) continue;
            check((ha < hb ? -1 : 1) == reference_order(a, b), "utf16_head", describe(a, b));
        }
    }
}

void check_key_order(Random& r) {
    for (int round = 0; round < 60000; ++round) {
        const int wa = round % 3 == 0 ? 1 : round % 3 == 1 ? 2 : 4;
        const int wb = r.below(3) == 0 ? 1 : r.below(2) == 0 ? 2 : 4;
        const bool surrogates = r.below(2) == 0;
        auto a = key_points(r, wa, r.below(20), surrogates);
        // Often b extends, truncates or edits a, so that long common prefixes are common.
        auto b = a;
        switch (r.below(4)) {
            case 0: b = key_points(r, wb, r.below(20), surrogates); break;
            case 1: b.resize(r.below(static_cast<unsigned>(a.size()) + 1)); break;
            case 2: b.push_back(key_points(r, wb, 1, surrogates)[0]); break;
            default:
                if (!b.empty()) {
                    b[r.below(static_cast<unsigned>(b.size()))] =
                        key_points(r, wb, 1, surrogates)[0];
                }
        }
        const int na = width_of(a);
        const int nb = width_of(b);
        if (na == 1 && nb == 1) {
            // The 1-byte fast order: heads first, then the units.
            const auto x = stored<std::uint8_t>(a);
            const auto y = stored<std::uint8_t>(b);
            const auto la = static_cast<std::ptrdiff_t>(a.size());
            const auto lb = static_cast<std::ptrdiff_t>(b.size());
            const int got = kestrim::compare_narrow(kestrim::key_head(x.get(), la), x.get(), la,
                                                    kestrim::key_head(y.get(), lb), y.get(), lb);
            check(got == reference_order(a, b), "compare_narrow", describe(a, b));
        }
        // The pair in every pairing of storage widths that can hold each key.
        if (na == 1) {
            if (nb == 1) check_units<std::uint8_t, std::uint8_t>(a, b);
            if (nb <= 2) check_units<std::uint8_t, std::uint16_t>(a, b);
            check_units<std::uint8_t, std::uint32_t>(a, b);
        }
        if (na <= 2) {
            if (nb == 1) check_units<std::uint16_t, std::uint8_t>(a, b);
            if (nb <= 2) check_units<std::uint16_t, std::uint16_t>(a, b);
            check_units<std::uint16_t, std::uint32_t>(a, b);
        }
        if (nb == 1) check_units<std::uint32_t, std::uint8_t>(a, b);
        if (nb <= 2) check_units<std::uint32_t, std::uint16_t>(a, b);
        check_units<std::uint32_t, std::uint32_t>(a, b);
        check_heads(a, na, b, nb);
    }
}

// Heads past a shared prefix, found while the keys are read one after another: the skip is
// the prefix all keys share (where it is worth skipping), every head taken again where it
// was taken at another skip is right, and keys compare past the skip as they do whole. Each
// round's keys cut a common stem at random places, so the prefix shrinks at any key, to any
// length, or not at all.
void check_skipped_heads(Random& r) {
    constexpr std::ptrdiff_t kWorth = kestrim::kHeadUnits;
    for (int round = 0; round < 20000; ++round) {
        const auto stem = key_points(r, 1, r.below(40), false);
        const std::size_t n = 1 + r.below(30);
        std::vector<std::vector<std::uint32_t>> keys(n);
        for (auto& key : keys) {
            std::size_t cut = stem.size();
            if (r.below(6) == 0) cut = r.below(static_cast<unsigned>(stem.size()) + 1);
            key.assign(stem.begin(), stem.begin() + static_cast<std::ptrdiff_t>(cut));
            const auto tail = key_points(r, 1, r.below(12), false);
            key.insert(key.end(), tail.begin(), tail.end());
        }
        std::vector<std::unique_ptr<std::uint8_t[]>> texts;
        std::vector<std::uint64_t> heads;
        kestrim::SkippedHeads skipped(kWorth);
        for (const auto& key : keys) {
            texts.push_back(stored<std::uint8_t>(key));
            heads.push_back(
                skipped.next(texts.back().get(), static_cast<std::ptrdiff_t>(key.size())));
        }
        const std::ptrdiff_t skip = skipped.skip();
        for (std::size_t i = 0; i < skipped.stale(); ++i) {
            heads[i] = kestrim::key_head(texts[i].get() + skip,
                                         static_cast<std::ptrdiff_t>(keys[i].size()) - skip);
        }
        std::size_t shared = keys[0].size();
        for (const auto& key : keys) {
            std::size_t k = 0;
            while (k < shared && k < key.size() && key[k] == keys[0][k]) ++k;
            shared = k;
        }
        const std::ptrdiff_t expected = n >= 2 && static_cast<std::ptrdiff_t>(shared) >= kWorth
                                            ? static_cast<std::ptrdiff_t>(shared)
                                            : 0;
        check(skip == expected, "SkippedHeads skip", describe(keys[0], keys[n - 1]));
        for (std::size_t i = 0; i < n; ++i) {
            const auto length = static_cast<std::ptrdiff_t>(keys[i].size());
            check(heads[i] == kestrim::key_head(texts[i].get() + skip, length - skip),
                  "SkippedHeads head", describe(keys[0], keys[i]));
            const std::size_t j = r.below(static_cast<unsigned>(n));
            const auto other = static_cast<std::ptrdiff_t>(keys[j].size());
            const int got = kestrim::compare_narrow(heads[i], texts[i].get() + skip, length - skip,
                                                    heads[j], texts[j].get() + skip, other - skip);
            check(got == reference_order(keys[i], keys[j]), "SkippedHeads order",
                  describe(keys[i], keys[j]));
        }
    }
}

}  // namespace

int main() {
#ifdef KESTRIM_USE_SSE2
    std::printf("text kernels, SSE2 forms\n");
#else
    std::printf("text kernels, word forms\n");
#endif
    Random r;
    check_words(r);
    check_strings(r);
    check_utf8_plain(r);
    check_hex(r);
    check_ref_digits(r);
    check_key_order(r);
    check_skipped_heads(r);
    std::printf("%ld passed, %ld failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
