// The trace's value helpers shared by the recording side and the writer:
// the duration histogram behind the summary's percentiles, and JSON string
// literals that stay valid whatever bytes a text holds.
#include <algorithm>
#include <cstdio>

#include "trace/trace.h"

namespace trace {

void Histogram::Add(uint64_t ns) {
  int bucket = 0;
  if (ns >= 8) {
    int msb = 63;
    while ((ns >> msb) == 0) --msb;
    bucket = msb * 8 + static_cast<int>((ns >> (msb - 3)) & 7);
  } else {
    bucket = static_cast<int>(ns);
  }
  ++buckets_[std::min(bucket, kBuckets - 1)];
  ++count_;
  max_ = std::max(max_, ns);
}

uint64_t Histogram::Percentile(double fraction) const {
  if (count_ == 0) return 0;
  const auto rank = static_cast<uint64_t>(fraction * static_cast<double>(count_ - 1));
  uint64_t seen = 0;
  for (int b = 0; b < kBuckets; ++b) {
    seen += buckets_[b];
    if (seen > rank) {
      if (b < 8 * 3) return std::min<uint64_t>(static_cast<uint64_t>(b), max_);
      // The bucket's lower bound: msb and three more bits.
      const int msb = b / 8;
      const uint64_t value = (uint64_t{1} << msb) | (static_cast<uint64_t>(b % 8) << (msb - 3));
      return std::min(value, max_);
    }
  }
  return max_;
}

namespace {
// One byte of text as it goes into a JSON string; its length.
size_t Escaped(char c, char piece[8]) {
  const auto u = static_cast<unsigned char>(c);
  if (c == '"' || c == '\\') {
    piece[0] = '\\';
    piece[1] = c;
    return 2;
  }
  if (u < 0x20 || u >= 0x7F) {
    // Control bytes and anything not plain ASCII (a cut may split a
    // character): escaped, so the file is valid JSON whatever the text.
    std::snprintf(piece, 8, "\\u%04x", u);
    return 6;
  }
  piece[0] = c;
  return 1;
}
}  // namespace

std::string JsonString(std::string_view text, size_t most) {
  char piece[8];
  size_t whole = 2;
  for (char c : text) whole += Escaped(c, piece);
  // Too long: cut after escaping, where "..." and the quote still fit.
  const size_t room = whole <= most ? whole : (most >= 5 ? most - 4 : 1);
  std::string out = "\"";
  for (char c : text) {
    const size_t n = Escaped(c, piece);
    if (whole > most && out.size() + n > room) {
      out += "...";
      break;
    }
    out.append(piece, n);
  }
  return out + "\"";
}

}  // namespace trace
