#include "natives/numeric_text.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <system_error>

namespace natives {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

double NumericTextToDouble(const char* buffer, size_t size) {
  const void* zero = std::memchr(buffer, '\0', size);
  const size_t length =
      zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - buffer) : size;
  std::string_view text(buffer, length);

  // Surrounding spaces.
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);

  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }

  // Validate the whole shape before converting: from_chars alone would stop
  // at the first character it does not like and accept a prefix.
  size_t i = 0;
  size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return 0.0;
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') return 0.0;
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const size_t exponentStart = j;
    while (j < text.size() && IsDigit(text[j])) ++j;
    if (j == exponentStart || j != text.size()) return 0.0;
  }

  double value = 0.0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error != std::errc() || end != text.data() + text.size()) return 0.0;
  return negative ? -value : value;
}

}  // namespace natives
