#include "natives/java_text.h"

#include <cstdint>

namespace natives {
namespace {

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Windows-1252's 0x80 to 0x9F; the five unassigned bytes keep their C1 code
// points, as Windows itself maps them.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendModifiedUtf8(std::string& out, char16_t unit) {
  if (unit != 0 && unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 | (unit >> 6));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  }
}

}  // namespace

bool IsModifiedUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
    } else if ((c & 0xE0) == 0xC0) {
      // Two bytes; the only overlong form allowed is 0xC0 0x80 (U+0000).
      if (end - p < 2 || !IsContinuation(p[1])) return false;
      if (c < 0xC2 && !(c == 0xC0 && p[1] == 0x80)) return false;
      p += 2;
    } else if ((c & 0xF0) == 0xE0) {
      if (end - p < 3 || !IsContinuation(p[1]) || !IsContinuation(p[2])) return false;
      if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
      p += 3;
    } else {
      return false;  // four-byte forms and stray continuation bytes
    }
  }
  return true;
}

std::string ToModifiedUtf8(std::string_view bytes) {
  if (IsModifiedUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    const char16_t unit = (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : char16_t{c};
    AppendModifiedUtf8(out, unit);
  }
  return out;
}

}  // namespace natives
