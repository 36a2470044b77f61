// format_double checked against a plain rendering of the shortest digits std::to_chars gives
// (the way the writer formatted every double before it took short decimals directly), on
// many doubles of every shape: random bits (subnormals included), decimals of 1 to 17
// digits, the neighbours of powers of ten and two, and the edges of the short-decimal path.
//
// Prints the first few mismatches and ends with "N passed, M failed".
#include "kestrim_substrate/es_number.hpp"
#include "tests/native/check_random.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace {

long g_passed = 0;
long g_failed = 0;

// ECMAScript's Number::toString from the shortest round-trip digits, spelled out with
// strings: nothing shared with the code under test but the digit generator.
std::string reference(double v) {
    if (v == 0) return "0";
    std::string sign;
    if (v < 0) {
        sign = "-";
        v = -v;
    }
    char sci[64];
    char* const end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    const std::string text(static_cast<char*>(sci), end);
    const std::size_t e = text.find('e');
    std::string digits = text.substr(0, e);
    if (digits.size() > 1) digits.erase(1, 1);  // the point
    const int n = std::atoi(text.c_str() + e + 1) + 1;
    const int k = static_cast<int>(digits.size());
    if (k <= n && n <= 21) return sign + digits + std::string(static_cast<std::size_t>(n - k), '0');
    if (0 < n && n <= 21)
        return sign + digits.substr(0, static_cast<std::size_t>(n)) + "." +
               digits.substr(static_cast<std::size_t>(n));
    if (-6 < n && n <= 0)
        return sign + "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
    const int x = n - 1;
    return sign + digits.substr(0, 1) + (k > 1 ? "." + digits.substr(1) : "") + "e" +
           (x < 0 ? "-" : "+") + std::to_string(x < 0 ? -x : x);
}

void check(double v) {
    if (!std::isfinite(v)) return;
    // Exactly the room it asks for, on the heap, so that AddressSanitizer sees a write past it.
    const std::unique_ptr<char[]> room(new char[kestrim::es::kNumberRoom]);
    char* const out = room.get();
    const std::size_t n = kestrim::es::format_double(v, out);
    const std::string got(out, n);
    const std::string want = reference(v);
    if (got == want && n <= kestrim::es::kMaxNumberChars) {
        ++g_passed;
        return;
    }
    if (++g_failed <= 20) std::printf("FAIL %a: got %s, want %s\n", v, got.c_str(), want.c_str());
}

void check_both_signs(double v) {
    check(v);
    check(-v);
}

// The double and a few of its neighbours on each side.
void check_around(double v) {
    double up = v;
    double down = v;
    for (int i = 0; i < 4; ++i) {
        check_both_signs(up);
        check_both_signs(down);
        up = std::nextafter(up, std::numeric_limits<double>::infinity());
        down = std::nextafter(down, 0.0);
    }
}

}  // namespace

int main() {
    Random r;
    // Random bit patterns: every exponent, subnormals and all.
    for (int i = 0; i < 2000000; ++i) {
        const std::uint64_t bits = r.next();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        check(v);
    }
    // Decimals of 1 to 17 significant digits at exponents around the layout boundaries,
    // read as a parser reads them: the short-decimal path's own territory and its edges.
    for (int i = 0; i < 3000000; ++i) {
        const int digits = 1 + static_cast<int>(r.below(17));
        std::uint64_t m = 0;
        for (int d = 0; d < digits; ++d) m = m * 10 + r.below(10);
        const int exponent = static_cast<int>(r.below(60)) - 35;
        char text[64];
        std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(m), exponent);
        check_both_signs(std::strtod(text, nullptr));
    }
    // Powers of ten (1e21 and 1e-7 switch layouts) and of two (where a double's spacing
    // halves, so its rounding interval is lopsided), and the short path's limits.
    for (int e = -325; e <= 309; ++e)
        check_around(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
    for (int e = -1074; e <= 1023; ++e) check_around(std::ldexp(1.0, e));
    for (double v : {562949953421312.0, 9007199254740992.0, 1e-7, 1e-6, 1e21, 5e-324,
                     2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 0.3, 1.0 / 3})
        check_around(v);
    std::printf("%ld passed, %ld failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
