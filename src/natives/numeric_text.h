// The trading library's numbers, written as decimal text into a 21-byte
// buffer, read back as doubles.
#pragma once

#include <cstddef>

namespace natives {

inline constexpr size_t kNumericTextBytes = 21;

// The text is the buffer's bytes up to the first zero byte (all 21 when there
// is none). It must be: spaces, an optional sign, decimal digits with at most
// one "." among or after them (at least one digit), an optional exponent ("E"
// or "e", optional sign, digits), spaces, and nothing else. "." is always the
// decimal point and no thousands separator is accepted, whatever the
// machine's regional settings: the process locale is never consulted.
// Anything else, and a value beyond the range of a double, gives 0.0.
double NumericTextToDouble(const char* buffer, size_t size = kNumericTextBytes);

}  // namespace natives
