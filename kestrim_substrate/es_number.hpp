// Number-to-text the way ECMAScript's Number::toString does it, which is what RFC 8785
// prescribes for JSON numbers. Kept free of Python so it can be built and checked on its own.
#pragma once

#include <cstddef>

namespace kestrim::es {

// Longest possible output: "-0.0000012345678901234567" is 25 characters.
inline constexpr std::size_t kMaxNumberChars = 32;

// Writes the text of a finite double into out (no terminator) and returns its length.
// -0 gives "0"; the caller must have refused NaN and the infinities.
std::size_t format_double(double value, char* out) noexcept;

}  // namespace kestrim::es
