#include "trace/trace.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace trace {

std::atomic<bool> gOn{false};

namespace {

constexpr size_t kTextCut = 64;
constexpr size_t kDefaultRecords = 65536;
constexpr uint64_t kDefaultMaxMb = 256;
constexpr uint64_t kDepthEvery = 64;
constexpr int kWriterPeriodMs = 20;  // how often the writer looks without being called  // a depth
                                     // counter every this many deliveries

struct NativeStats {
  Histogram durations;
  std::map<int32_t, uint64_t> failures;  // result code -> count
};

// One open trace. Owned by gTrace; every member below `mutex` is guarded by it.
struct Trace {
  FILE* file = nullptr;
  uint64_t startNs = 0;
  uint64_t maxBytes = 0;
  size_t capacity = kDefaultRecords;
  std::thread writer;
  std::atomic<bool> writerDone{false};

  std::mutex mutex;
  std::condition_variable wake;
  std::vector<std::string> pending;
  bool stopping = false;
  uint64_t dropped = 0;
  uint64_t written = 0;  // bytes in the file (the writer's own count)
  bool limitReached = false;
  uint64_t calls = 0;
  uint64_t deliveries = 0;
  uint64_t maxDepth = 0;
  std::map<std::string, NativeStats, std::less<>> natives;
  std::map<int32_t, uint64_t> failures;
  std::map<int32_t, uint64_t> events;
};

std::mutex gControl;  // Start and Stop, one at a time
Trace* gTrace = nullptr;

thread_local std::string tArgs;  // the argument summary of this thread's call
thread_local int tArgCount = 0;
thread_local int tSecret = 0;

// Nanoseconds since the trace began; written as microseconds with three
// decimals by integer arithmetic (a float conversion costs more than a record).
uint64_t Since(const Trace& t, uint64_t ns) {
  return ns - std::min(ns, t.startNs);
}
unsigned long long Whole(uint64_t ns) {
  return ns / 1000;
}
unsigned Frac(uint64_t ns) {
  return static_cast<unsigned>(ns % 1000);
}
// Microseconds with three decimals, as text.
std::string Us(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03u", Whole(ns), Frac(ns));
  return text;
}

// printf into a string (records are short: 512 bytes at most before args).
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  const int n = std::snprintf(text, sizeof text, format, args...);
  return n > 0 ? std::string(text, std::min(static_cast<size_t>(n), sizeof text - 1))
               : std::string();
}

// Appends a record to the buffer, or counts it as dropped when it is full.
void Push(Trace& t, std::string record) {
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.stopping || t.pending.size() >= t.capacity) {
    ++t.dropped;
    return;
  }
  t.pending.push_back(std::move(record));
  // The writer wakes on its own every few milliseconds; it is called early
  // only when the buffer is half full, so a record costs no system call.
  if (t.pending.size() == t.capacity / 2 + 1) t.wake.notify_one();
}

void Write(Trace& t, const std::string& text) {
  if (t.limitReached) return;
  if (t.written + text.size() > t.maxBytes) {
    t.limitReached = true;
    return;
  }
  std::fwrite(text.data(), 1, text.size(), t.file);
  t.written += text.size();
}

// The writer: empties the buffer into the file, so no caller waits on disk.
void WriterLoop(Trace* t) {
  std::vector<std::string> batch;
  for (;;) {
    bool last;
    {
      std::unique_lock<std::mutex> lock(t->mutex);
      t->wake.wait_for(lock, std::chrono::milliseconds(kWriterPeriodMs),
                       [&] { return t->pending.size() > t->capacity / 2 || t->stopping; });
      batch.swap(t->pending);
      last = t->stopping;
    }
    for (const std::string& record : batch) Write(*t, record + ",\n");
    batch.clear();
    std::fflush(t->file);
    if (last) break;
  }
  t->writerDone.store(true);
}

std::string Summary(Trace& t) {
  std::lock_guard<std::mutex> lock(t.mutex);
  std::string s = "{\"name\":\"summary\",\"ph\":\"M\",\"pid\":1,\"tid\":0,\"args\":{";
  s += "\"calls\":" + std::to_string(t.calls);
  s += ",\"failures\":{";
  bool first = true;
  for (const auto& [code, n] : t.failures) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on
    // "literal" + std::string&& (it inlines the insert at the front).
    s += first ? "\"" : ",\"";
    s += std::to_string(code) + "\":" + std::to_string(n);
    first = false;
  }
  s += "},\"natives\":{";
  first = true;
  for (const auto& [name, stats] : t.natives) {
    s += first ? "" : ",";
    s += JsonString(name) + ":{\"calls\":" + std::to_string(stats.durations.Count()) +
         ",\"p50_us\":" + Us(stats.durations.Percentile(0.5)) +
         ",\"p99_us\":" + Us(stats.durations.Percentile(0.99)) +
         ",\"max_us\":" + Us(stats.durations.Max()) + "}";
    first = false;
  }
  s += "},\"events\":{";
  first = true;
  for (const auto& [id, n] : t.events) {
    s += first ? "\"" : ",\"";
    s += std::to_string(id) + "\":" + std::to_string(n);
    first = false;
  }
  s += "},\"max_queue_depth\":" + std::to_string(t.maxDepth);
  s += ",\"records_dropped\":" + std::to_string(t.dropped);
  s += std::string(",\"file_limit_reached\":") + (t.limitReached ? "true" : "false");
  s += "}}";
  return s;
}

// Ends the open trace: the writer drains and stops, then the summary and the
// closing bracket make the file whole. Where a join could deadlock (a
// Windows module being unloaded) the writer is given a moment and let go.
void Close(Trace* t, bool mayJoin) {
  {
    std::lock_guard<std::mutex> lock(t->mutex);
    t->stopping = true;
  }
  t->wake.notify_all();
  if (mayJoin) {
    t->writer.join();
  } else {
    for (int i = 0; i < 2000 && !t->writerDone.load(); ++i) platform::SleepMs(1);
    t->writer.detach();
    if (!t->writerDone.load()) return;  // the file is left without its summary
  }
  const std::string summary = Summary(*t);
  t->limitReached = false;  // the summary always fits: it says whether the limit was hit
  std::fwrite(summary.data(), 1, summary.size(), t->file);
  std::fputs("\n]\n", t->file);
  std::fclose(t->file);
  delete t;
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  return (end != nullptr && *end == '\0' && v > 0) ? v : fallback;
}

void StopLocked(bool mayJoin) {
  if (gTrace == nullptr) return;
  gOn.store(false);
  Trace* t = gTrace;
  gTrace = nullptr;
  Close(t, mayJoin);
}

}  // namespace

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint32_t ThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local uint32_t id = next.fetch_add(1);
  return id;
}

std::string Start() {
  std::lock_guard<std::mutex> lock(gControl);
  StopLocked(true);
  const char* path = std::getenv("JAVAWRAPPER_TRACE");
  if (path == nullptr || *path == '\0') return {};  // off
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr)
    return std::string(" Cannot open the trace file ") + path + "; tracing is off";
  auto* t = new Trace;
  t->file = file;
  t->startNs = NowNs();
  t->maxBytes = EnvNumber("JAVAWRAPPER_TRACE_MAX_MB", kDefaultMaxMb) << 20;
  t->capacity = static_cast<size_t>(EnvNumber("JAVAWRAPPER_TRACE_BUFFER", kDefaultRecords));
  // The array form: a reader can load a file cut short, without its "]".
  const std::string head =
      "[\n{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"tid\":0,"
      "\"args\":{\"name\":\"JavaWrapper\"}},\n";
  std::fwrite(head.data(), 1, head.size(), file);
  t->written = head.size();
  t->writer = std::thread(WriterLoop, t);
  gTrace = t;
  gOn.store(true);
  return {};
}

void Stop() {
  std::lock_guard<std::mutex> lock(gControl);
  StopLocked(true);
}

void StopAtUnload() {
  std::lock_guard<std::mutex> lock(gControl);
  StopLocked(platform::CanJoinThreadsDuringUnload());
}

// The cheap way first: the statistics, and whether the buffer has room; a
// record that would be dropped is never formatted.
bool Room(Trace& t) {
  if (t.stopping || t.pending.size() >= t.capacity) {
    ++t.dropped;
    return false;
  }
  return true;
}

void Call(std::string_view where, uint64_t startNs, int32_t code) {
  const uint64_t end = NowNs();
  std::string args = std::move(tArgs);
  tArgs.clear();
  tArgCount = 0;
  std::lock_guard<std::mutex> control(gControl);
  Trace* t = gTrace;
  if (t == nullptr) return;
  // The Java method name: what follows the class in the exported name.
  const size_t underscore = where.rfind('_');
  const std::string_view name =
      underscore == std::string_view::npos ? where : where.substr(underscore + 1);
  {
    std::lock_guard<std::mutex> lock(t->mutex);
    ++t->calls;
    auto it = t->natives.find(name);
    if (it == t->natives.end()) it = t->natives.emplace(std::string(name), NativeStats{}).first;
    it->second.durations.Add(end - startNs);
    if (code != 0) ++t->failures[code];
    if (!Room(*t)) return;
  }
  // Method names are plain identifiers: no escaping needed.
  Push(*t, Format("{\"name\":\"%.*s\",\"cat\":\"native\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,"
                  "\"ts\":%llu.%03u,\"dur\":%llu.%03u,\"args\":{\"result\":%d",
                  static_cast<int>(name.size()), name.data(), ThreadId(), Whole(Since(*t, startNs)),
                  Frac(Since(*t, startNs)), Whole(end - startNs), Frac(end - startNs), code) +
               args + "}}");
}

void Delivered(int32_t id, int32_t length, uint64_t startNs, uint64_t enqueuedNs, uint32_t producer,
               uint64_t depth) {
  const uint64_t end = NowNs();
  std::lock_guard<std::mutex> control(gControl);
  Trace* t = gTrace;
  if (t == nullptr) return;
  bool counter;
  {
    std::lock_guard<std::mutex> lock(t->mutex);
    ++t->events[id];
    t->maxDepth = std::max(t->maxDepth, depth);
    counter = t->deliveries++ % kDepthEvery == 0;
    if (!Room(*t)) return;
  }
  const uint64_t wait = enqueuedNs != 0 && startNs > enqueuedNs ? startNs - enqueuedNs : 0;
  const unsigned tid = ThreadId();
  Push(*t,
       Format("{\"name\":\"event %d\",\"cat\":\"event\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,"
              "\"ts\":%llu.%03u,\"dur\":%llu.%03u,\"args\":{\"id\":%d,\"length\":%d,"
              "\"queue_wait_us\":%llu.%03u,\"producer_tid\":%u}}",
              id, tid, Whole(Since(*t, startNs)), Frac(Since(*t, startNs)), Whole(end - startNs),
              Frac(end - startNs), id, length, Whole(wait), Frac(wait), producer));
  if (counter) {
    Push(*t, Format("{\"name\":\"queue depth\",\"ph\":\"C\",\"pid\":1,\"tid\":%u,\"ts\":%llu.%03u,"
                    "\"args\":{\"depth\":%llu}}",
                    tid, Whole(Since(*t, end)), Frac(Since(*t, end)),
                    static_cast<unsigned long long>(depth)));
  }
}

void Funnel(std::string_view where, std::string_view message) {
  std::lock_guard<std::mutex> control(gControl);
  Trace* t = gTrace;
  if (t == nullptr) return;
  Push(*t, "{\"name\":\"funnel\",\"cat\":\"funnel\",\"ph\":\"i\",\"s\":\"t\",\"pid\":1,\"tid\":" +
               std::to_string(ThreadId()) + ",\"ts\":" + Us(Since(*t, NowNs())) +
               ",\"args\":{\"where\":" + JsonString(where) + ",\"message\":" + JsonString(message) +
               "}}");
}

void ArgText(const char* text, size_t length) {
  const std::string key = ",\"text" + std::to_string(tArgCount++) + "\":";
  if (tSecret > 0) {
    tArgs += key + "{\"secret_length\":" + std::to_string(length) + "}";
  } else {
    tArgs += key + JsonString(std::string_view(text, std::min(length, kTextCut)));
  }
}

void ArgSize(const char* what, size_t size) {
  tArgs += ",\"" + std::string(what) + std::to_string(tArgCount++) + "\":" + std::to_string(size);
}

Secret::Secret() {
  ++tSecret;
}
Secret::~Secret() {
  --tSecret;
}

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

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      // Control bytes and anything not plain ASCII (a cut may split a
      // character): escaped, so the file is valid JSON whatever the text.
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace trace
