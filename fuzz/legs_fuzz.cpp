// libFuzzer target for the bridge's two parsers of untrusted text: strategy
// leg descriptions (from Java) and numeric text (from the trading library).
// Each is checked against a slow reference written independently, and the
// leg table is surrounded by guard bytes that must never change.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "natives/numeric_text.h"
#include "natives/strategy_legs.h"

using namespace natives;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

// Fields by counting separators: with k of them, the first min(k, 4) fields
// are the first pieces, missing fields are empty, and field 5 is the rest.
LegFields ReferenceParse(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == '\001') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  LegFields f;
  const size_t k = pieces.size() - 1;
  for (size_t i = 0; i < 4 && i < k; ++i) f.field[i] = pieces[i];
  std::string rest = pieces[k < 4 ? k : 4];
  for (size_t i = 5; i < pieces.size(); ++i) rest += '\001' + pieces[i];
  f.field[4] = rest;
  return f;
}

bool ReferenceInteger(const std::string& text, int32_t* value) {
  static const std::regex shape("^ *([+-]?)(\\$[0-9a-fA-F]+|0[xX][0-9a-fA-F]+|[0-9]+)$");
  std::smatch m;
  if (!std::regex_match(text, m, shape)) return false;
  std::string digits = m[2].str();
  int base = 10;
  if (digits[0] == '$') {
    base = 16;
    digits = digits.substr(1);
  } else if (digits.size() > 1 && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  if (digits.size() > 11) return false;
  const long long magnitude = std::stoll(digits, nullptr, base);
  const long long signedValue = m[1].str() == "-" ? -magnitude : magnitude;
  if (signedValue < INT32_MIN || signedValue > INT32_MAX) return false;
  *value = static_cast<int32_t>(signedValue);
  return true;
}

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

void CheckLegs(const std::string& input) {
  constexpr size_t kGuard = 64;
  std::vector<unsigned char> memory(kLegTableBytes + 2 * kGuard, 0xA5);
  unsigned char* table = memory.data() + kGuard;
  std::memset(table, 0, kLegTableBytes);

  std::vector<std::string> descriptions(1);
  for (char c : input) {
    if (c == '\n') {
      descriptions.emplace_back();
    } else {
      descriptions.back() += c;
    }
  }
  for (size_t i = 0; i < descriptions.size() && i < kLegs; ++i) {
    const LegFields got = Parse(descriptions[i]);
    const LegFields want = ReferenceParse(descriptions[i]);
    for (int f = 0; f < 5; ++f) Check(got.field[f] == want.field[f], "Parse");

    int32_t number = 0;
    const bool valid = !want.field[0].empty() && ReferenceInteger(want.field[3], &number);
    bool filled = true;
    try {
      FillLeg(table, i, got);
    } catch (const std::invalid_argument&) {
      filled = false;
    }
    Check(filled == valid, "leg validity");
    if (!filled) continue;
    const unsigned char* leg = table + i * kLegBytes;
    Check(leg[0] == static_cast<unsigned char>(want.field[0][0]), "field 1");
    const struct {
      size_t at, width;
      int field;
    } texts[] = {{1, 50, 1}, {52, 10, 2}, {67, 10, 4}};
    for (const auto& t : texts) {
      const std::string text = Trimmed(want.field[t.field]).substr(0, t.width);
      Check(std::memcmp(leg + t.at, text.data(), text.size()) == 0, "text field");
      Check(leg[t.at + text.size()] == 0, "text terminator");
    }
    uint32_t bits = 0;
    for (int b = 3; b >= 0; --b) bits = (bits << 8) | leg[63 + b];
    Check(static_cast<int32_t>(bits) == number, "field 4");
  }
  for (size_t i = 0; i < kGuard; ++i) {
    Check(memory[i] == 0xA5, "written before the leg table");
    Check(memory[kGuard + kLegTableBytes + i] == 0xA5, "written past the leg table");
  }
}

double ReferenceNumber(const unsigned char* data, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && i < kNumericTextBytes && data[i] != 0; ++i) text += char(data[i]);
  static const std::regex shape("^ *[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)? *$");
  if (!std::regex_match(text, shape)) return 0.0;
  errno = 0;
  const double value = std::strtod(text.c_str(), nullptr);  // the "C" locale: never changed here
  if (errno == ERANGE) return 0.0;
  return value;
}

void CheckNumber(const unsigned char* data, size_t size) {
  char buffer[kNumericTextBytes] = {};
  std::memcpy(buffer, data, size < sizeof buffer ? size : sizeof buffer);
  const double got = NumericTextToDouble(buffer);
  const double want = ReferenceNumber(reinterpret_cast<const unsigned char*>(buffer), sizeof buffer);
  Check(got == want || (got == 0.0 && std::fabs(want) < 1e-300), "numeric text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    CheckNumber(data + 1, size - 1);
  } else {
    CheckLegs(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  }
  return 0;
}
