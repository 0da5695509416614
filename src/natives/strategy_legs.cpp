#include "natives/strategy_legs.h"

#include <cstring>
#include <stdexcept>

#include "binding/errors.h"
#include "natives/frame.h"

namespace natives {
namespace {

constexpr size_t kField2At = 1, kField2Width = 50;
constexpr size_t kField3At = 52, kField3Width = 10;
constexpr size_t kField4At = 63;
constexpr size_t kField5At = 67, kField5Width = 10;

// Copies at most width bytes and a zero byte; the table is zero already.
void PutText(unsigned char* leg, size_t at, size_t width, const std::string& text) {
  const size_t n = text.size() < width ? text.size() : width;
  std::memcpy(leg + at, text.data(), n);
  leg[at + n] = 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

LegFields Parse(const std::string& description) {
  LegFields fields;
  binding::CaptureAll("Parse", [&] {
    std::string rest = description;
    for (int i = 0; i < 4; ++i) {
      auto parts = SplitAt(rest, '\001');
      fields.field[i] = std::move(parts.first);
      rest = std::move(parts.second);
    }
    fields.field[4] = std::move(rest);
  });
  return fields;
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

bool ParseLegInteger(const std::string& text, int32_t* value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;  // no digits at all
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int digit =
        base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) return false;  // trailing spaces included
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;
  }
  *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

void FillLeg(unsigned char* table, size_t index, const LegFields& fields) {
  if (index >= kLegs) throw std::out_of_range("leg index beyond the table");
  if (fields.field[0].empty()) throw std::invalid_argument("strategy leg without a first field");
  int32_t number = 0;
  if (!ParseLegInteger(fields.field[3], &number))
    throw std::invalid_argument("'" + fields.field[3] + "' is not a valid integer value");
  unsigned char* leg = table + index * kLegBytes;
  leg[0] = static_cast<unsigned char>(fields.field[0][0]);
  PutText(leg, kField2At, kField2Width, Trim(fields.field[1]));
  PutText(leg, kField3At, kField3Width, Trim(fields.field[2]));
  const auto bits = static_cast<uint32_t>(number);
  for (int b = 0; b < 4; ++b) leg[kField4At + b] = static_cast<unsigned char>(bits >> (8 * b));
  PutText(leg, kField5At, kField5Width, Trim(fields.field[4]));
}

}  // namespace natives
