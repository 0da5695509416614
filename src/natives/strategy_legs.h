// Strategy legs: the leg description texts Java sends, and the 1248-byte leg
// table the trading library takes (16 legs of 78 bytes, zero-filled).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace natives {

inline constexpr size_t kLegs = 16;
inline constexpr size_t kLegBytes = 78;
inline constexpr size_t kLegTableBytes = kLegs * kLegBytes;

// The five fields of a leg description, separated by "\001". Field 5 is all
// that follows the fourth separator, further separators included; missing
// separators give empty fields. Failures are logged under "Parse" and leave
// the fields found so far.
struct LegFields {
  std::string field[5];
};
LegFields Parse(const std::string& description);

// Removes every byte of 32 or less from both ends.
std::string Trim(const std::string& text);

// Field 4: spaces, an optional sign, then decimal digits to the end of the
// field, or hexadecimal digits after "$" or "0x". False for anything else,
// for an empty field and for a value outside the signed 32-bit range.
bool ParseLegInteger(const std::string& text, int32_t* value);

// Writes leg `index` (below 16) of the table: the first byte of field 1,
// fields 2, 3 and 5 trimmed and cut to 50, 10 and 10 bytes with a zero byte,
// field 4 as a little-endian 32-bit integer. Nothing is written outside the
// leg. Throws std::invalid_argument for an empty field 1 or a bad field 4.
void FillLeg(unsigned char* table, size_t index, const LegFields& fields);

}  // namespace natives
