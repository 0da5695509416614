// What went wrong, noted by the calling thread when a call ends (or an event
// is delivered), apart from its records: a result other than 0 is counted by
// code and a trigger of ring mode is raised even when the call's records
// could not be kept, so the summary's failures and ring mode's file never
// depend on room in a buffer. A failure is rare: the shared counters cost a
// passing call nothing.
#include <cstring>
#include <string>

#include "trace/buffer.h"

namespace trace::detail {
namespace {

constexpr int32_t kWrapperError = 99;

// Failures by code: a slot is claimed once for a code (0: free) and then
// only counted.
std::atomic<int32_t> gCode[Failures::kCodes];
std::atomic<uint64_t> gCount[Failures::kCodes];
std::atomic<uint64_t> gOther{0};

// The last trigger: its native (an exported name, a static text; nullptr for
// a forced logout) and its result, then the count that publishes them.
std::atomic<const char*> gTriggerWhere{nullptr};
std::atomic<int32_t> gTriggerCode{0};
std::atomic<uint64_t> gTriggers{0};  // calls' triggers
std::atomic<uint64_t> gForcedLogouts{0};

void Count(int32_t code) {
  for (int i = 0; i < Failures::kCodes; ++i) {
    int32_t seen = gCode[i].load(std::memory_order_relaxed);
    if (seen == 0 && gCode[i].compare_exchange_strong(seen, code, std::memory_order_relaxed))
      seen = code;
    if (seen == code) {
      gCount[i].fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  gOther.fetch_add(1, std::memory_order_relaxed);
}

void Raise(const char* where, int32_t code) {
  gTriggerWhere.store(where, std::memory_order_relaxed);
  gTriggerCode.store(code, std::memory_order_relaxed);
  gTriggers.fetch_add(1, std::memory_order_release);
}

bool EndsWith(const char* text, const char* end) {
  const size_t n = std::strlen(text), m = std::strlen(end);
  return n >= m && std::memcmp(text + n - m, end, m) == 0;
}

}  // namespace

void NoteResult(const char* where, int32_t code) {
  if (code == 0) return;
  Count(code);
  if (code == kWrapperError || EndsWith(where, "_logoff")) Raise(where, code);
}

void NoteForcedLogout() {
  gForcedLogouts.fetch_add(1, std::memory_order_release);
}

void ReadFailures(Failures* out) {
  for (int i = 0; i < Failures::kCodes; ++i) {
    out->code[i] = gCode[i].load(std::memory_order_relaxed);
    out->count[i] = gCount[i].load(std::memory_order_relaxed);
  }
  out->other = gOther.load(std::memory_order_relaxed);
}

Triggers TriggerCounts() {
  Triggers t;
  t.calls = gTriggers.load(std::memory_order_acquire);
  t.forced = gForcedLogouts.load(std::memory_order_acquire);
  return t;
}

std::string TriggersSince(const Triggers& seen, const Triggers& now) {
  std::string text;
  if (now.calls != seen.calls) {
    // The Java method name: what follows the class in the exported name.
    const char* where = gTriggerWhere.load(std::memory_order_relaxed);
    const char* name = where != nullptr ? std::strrchr(where, '_') : nullptr;
    name = name != nullptr ? name + 1 : where != nullptr ? where : "a native";
    const int32_t code = gTriggerCode.load(std::memory_order_relaxed);
    text = code == kWrapperError ? std::string("result 99 from ") + name
                                 : std::string(name) + " returned " + std::to_string(code);
  }
  if (now.forced != seen.forced)
    text += text.empty() ? "forced logout event" : ", forced logout event";
  return text;
}

}  // namespace trace::detail
