// Text pieces of the trace's JSON, for the writer only: times, numbers and
// bytes appended without temporary strings or printf where it matters.
#pragma once

#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

namespace trace::detail {

// Microseconds with three decimals, by integer arithmetic.
inline std::string Us(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 ".%03u", ns / 1000, static_cast<unsigned>(ns % 1000));
  return text;
}

// The wall-clock time now in UTC, ISO 8601 with milliseconds.
inline std::string UtcNow() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const int64_t days = ms / 86400000;
  const int64_t inDay = ms % 86400000;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(y),
                static_cast<int>(m), static_cast<int>(d), static_cast<int>(inDay / 3600000),
                static_cast<int>(inDay / 60000 % 60), static_cast<int>(inDay / 1000 % 60),
                static_cast<int>(inDay % 1000));
  return text;
}

inline uint64_t SteadyNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Appenders for the hot records: no temporary strings, no printf.
template <typename Int>
void Put(std::string& s, Int v) {
  char text[24];
  s.append(text, std::to_chars(text, text + sizeof text, v).ptr);
}
inline void PutUs(std::string& s, uint64_t ns) {
  Put(s, ns / 1000);
  const auto frac = static_cast<unsigned>(ns % 1000);
  const char digits[4] = {'.', static_cast<char>('0' + frac / 100),
                          static_cast<char>('0' + frac / 10 % 10),
                          static_cast<char>('0' + frac % 10)};
  s.append(digits, 4);
}
inline void PutHex(std::string& s, const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
}

}  // namespace trace::detail
