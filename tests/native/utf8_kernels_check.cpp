// put_units checked against a unit-at-a-time UTF-8 writer, for each storage width, on
// generated strings that put ASCII runs, escapes, wider letters and lone surrogates at every
// offset around the kernel's eight-unit blocks. Built twice (make test-native), with
// KESTRIM_SIMD=1 for the SSE2 form and 0 for the word form, under AddressSanitizer: each
// input and output sits in a heap block of its exact size.
//
// Prints one line per failure (the first few) and ends with "N passed, M failed".
// This check uses only part of text_kernels.hpp, whose functions have internal linkage.
#pragma GCC diagnostic ignored "-Wunused-function"
#include "kestrim_substrate/utf8_kernels.hpp"
#include "tests/native/check_random.hpp"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

long g_passed = 0;
long g_failed = 0;

// The UTF-8 of units up to the first lone surrogate, and that surrogate's index (or -1).
std::string reference(const std::vector<std::uint32_t>& units, long& bad) {
    std::string out;
    bad = -1;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            bad = static_cast<long>(i);
            return out;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            static const char kNamed[] = "btnvfr";
            if (c >= 8 && c <= 13 && c != 11) {
                out += '\\';
                out += kNamed[c - 8];
            } else {
                char u[7];
                std::snprintf(u, sizeof u, "\\u%04x", c);
                out += u;
            }
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Units that fit the width: mostly plain ASCII in runs, with escapes, letters of each UTF-8
// length and, for 2 and 4 bytes, surrogates at rates that vary from string to string.
std::vector<std::uint32_t> units_of(Random& r, int width, std::size_t n) {
    static const std::uint32_t kAscii[] = {'"',  '\\', '\n', '\t', 0,   1,   0x1F,
                                           '\b', '\f', '\r', 0x7F, ' ', 'a', '~'};
    static const std::uint32_t kLatin[] = {0x80, 0xA0, 0xE9, 0xFF};
    static const std::uint32_t kWide[] = {0x100, 0x7FF, 0x800, 0x65E5, 0xD7FF, 0xE000, 0xFFFF};
    static const std::uint32_t kSurrogates[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF};
    static const std::uint32_t kAstral[] = {0x10000, 0x1F510, 0x10FFFF};
    const unsigned odd = r.below(4) == 0 ? 0 : 1 + r.below(30);  // one unit in `odd` not plain
    const bool surrogates = width > 1 && r.below(3) == 0;
    std::vector<std::uint32_t> units(n);
    for (auto& c : units) {
        c = 0x20 + r.below(0x5F);
        if (odd == 0 || r.below(odd) != 0) continue;
        switch (r.below(5)) {
            case 0: c = kAscii[r.below(sizeof kAscii / sizeof *kAscii)]; break;
            case 1: c = kLatin[r.below(4)]; break;
            case 2:
                if (width > 1) c = kWide[r.below(7)];
                break;
            case 3:
                if (surrogates && r.below(4) == 0) c = kSurrogates[r.below(4)];
                break;
            default:
                if (width == 4) c = kAstral[r.below(3)];
                break;
        }
    }
    return units;
}

template <typename CharT>
void check_width(Random& r, int width) {
    for (int round = 0; round < 60000; ++round) {
        const std::size_t n = round < 4000 ? static_cast<std::size_t>(round % 40) : r.below(300);
        auto units = units_of(r, width, n);
        // Now and then one character placed on purpose next to a block edge.
        if (n > 0 && r.below(2) == 0) {
            const std::size_t block = 8 * std::size_t{r.below(static_cast<unsigned>(n / 8 + 1))};
            const std::size_t at = std::min(n - 1, block + r.below(3) - (block > 0 ? 1 : 0));
            static const std::uint32_t kEdge[] = {'"', 0x1F, 0xE9, 0x800, 0xDC00, 0x1F510};
            const std::uint32_t c = kEdge[r.below(6)];
            if (c < (width == 1   ? 0x100u
                     : width == 2 ? 0x10000u
                                  : 0x110000u) &&
                (width > 1 || c < 0x100))
                units[at] = c;
        }
        long want_bad;
        const std::string want = reference(units, want_bad);
        std::unique_ptr<CharT[]> in(new CharT[n == 0 ? 1 : n]);
        for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<CharT>(units[i]);
        const std::size_t room = 6 * n;
        std::unique_ptr<char[]> out(new char[room == 0 ? 1 : room]);
        char* p = out.get();
        const std::ptrdiff_t bad = kestrim::put_units(p, in.get(), n);
        const bool ok = bad == want_bad && std::string(out.get(), p) == want;
        if (ok) {
            ++g_passed;
        } else if (++g_failed <= 20) {
            std::string shown;
            for (auto c : units) shown += std::to_string(c) + ",";
            std::printf("FAIL put_units width %d (bad %ld, want %ld): %s\n", width,
                        static_cast<long>(bad), want_bad, shown.c_str());
        }
    }
}

}  // namespace

int main() {
#ifdef KESTRIM_USE_SSE2
    std::printf("UTF-8 kernel, SSE2 form\n");
#else
    std::printf("UTF-8 kernel, word form\n");
#endif
    Random r{0x2545F4914F6CDD1DULL};  // its own seed, so its inputs stay as they were
    check_width<std::uint8_t>(r, 1);
    check_width<std::uint16_t>(r, 2);
    check_width<std::uint32_t>(r, 4);
    std::printf("%ld passed, %ld failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
