// The trace's writer thread: drains every thread's buffer, formats the
// records as Trace Event Format JSON, keeps the summary's statistics, and
// writes the file so that only whole records ever reach the disk.
//
// Whole records: each line is one event ("{...},"), no line crosses a
// 4 KiB boundary of the file (a line that would is moved to the next one,
// the gap filled with spaces), and each write to the system covers at most
// one such page. A write within one page is never cut by a kill, so a
// process killed at any moment leaves a file of whole lines: the array form
// without its "]", which the viewers load.
#include "trace/writer.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/cpu.h"
#include "platform/platform.h"
#include "trace/buffer.h"
#include "trace/format.h"
#include "trace/trace.h"

namespace trace {
namespace {
std::atomic<void (*)()> gBeforeWrite{nullptr};
}  // namespace

void SetBeforeWriteForTests(void (*hook)()) {
  gBeforeWrite.store(hook);
}
}  // namespace trace

namespace trace::detail {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kLine = 3600;        // a line's longest, so it fits a page
constexpr size_t kHexChunk = 1500;    // record bytes per argument part
constexpr uint64_t kDepthEvery = 64;  // a depth counter every this many deliveries
constexpr auto kPeriod = std::chrono::milliseconds(10);
constexpr auto kStartBound = std::chrono::seconds(5);  // for the writer's thread to start
constexpr int32_t kForcedLogout = 6;
constexpr int32_t kWrapperError = 99;

struct NativeStats {
  Histogram durations;
};

// What the writer keeps per buffer: the counters when the trace began, the
// arguments of the call in progress, and whether its name is in the file.
struct Seen {
  uint64_t calls0 = 0, deliveries0 = 0, dropped0 = 0;
  std::string args;          // "key":value pairs, each after a comma
  std::vector<size_t> ends;  // where each pair ends in args
  bool nameWritten = false;
};

}  // namespace

class Writer {
 public:
  explicit Writer(const Settings& s) : s_(s), pid_(platform::ProcessId()) {}
  ~Writer() { Close(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Open(std::string* problem);
  void Run();
  void Close();

  std::thread thread;
  std::atomic<bool> finish{false};
  std::atomic<const char*> endTrigger{nullptr};
  std::atomic<bool> finished{false};
  std::atomic<bool> park{false};     // park instead of returning, once finished
  std::atomic<void*> self{nullptr};  // a handle to the writer's thread, where parking needs one
  std::atomic<bool> running{false};  // the thread is in Run: the system has started it

 private:
  uint64_t Ns(uint64_t ticks) const {
    if (ticks <= tick0_) return 0;
    return static_cast<uint64_t>(static_cast<double>(ticks - tick0_) * nsPerTick_);
  }
  void Calibrate() {
    const uint64_t ticks = platform::CpuTicks();
    const uint64_t ns = SteadyNs();
    if (ticks > tick0_ && ns > steady0_)
      nsPerTick_ = static_cast<double>(ns - steady0_) / static_cast<double>(ticks - tick0_);
  }
  std::string Common(const char* ph, uint32_t tid, uint64_t ns) const {
    std::string s;
    PutCommon(s, ph, tid, ns);
    return s;
  }
  void PutCommon(std::string& s, const char* ph, uint32_t tid, uint64_t ns) const {
    s += ",\"ph\":\"";
    s += ph;
    s += "\",\"pid\":";
    Put(s, pid_);
    s += ",\"tid\":";
    Put(s, tid);
    s += ",\"ts\":";
    PutUs(s, ns);
  }
  void Pass();
  void Drain(Buffer& b, Seen& seen);
  void OnCall(Buffer& b, Seen& seen, const CallRecord& r);
  void OnDelivered(Buffer& b, const DeliveredRecord& r);
  void OnArg(Seen& seen, const Header& h, const unsigned char* record);
  void NoteTrigger(std::string text) {
    if (s_.ring && trigger_.empty()) trigger_ = std::move(text);
  }
  void Line(std::string& line);  // one event, to the file or the ring
  void ToFile(const std::string& line);
  void Flush();
  bool CreateFile(std::string* problem);
  void Head();
  void Names();
  void Dump();
  std::string Summary();

  Settings s_;
  uint32_t pid_;
  std::string path_;
  std::FILE* file_ = nullptr;
  uint64_t tick0_ = 0, steady0_ = 0;
  double nsPerTick_ = 1.0;
  std::string utcStart_;
  std::unordered_map<Buffer*, Seen> seen_;
  std::string line_;      // the line being made
  std::string out_;       // whole lines waiting for the file
  uint64_t written_ = 0;  // bytes in the file, out_ not included
  bool limitReached_ = false;
  std::string ring_;  // ring mode: the last lines, oldest first from ringStart_
  size_t ringStart_ = 0;
  std::string trigger_;  // ring mode: the trigger seen in this pass
  std::vector<std::string> triggers_;
  std::map<std::string_view, NativeStats> natives_;
  std::map<int32_t, uint64_t> failures_, events_;
  uint64_t maxDepth_ = 0, delivered_ = 0;
};

bool Writer::CreateFile(std::string* problem) {
  std::string name;
  for (size_t i = 0; i < s_.pattern.size(); ++i) {
    const char c = s_.pattern[i];
    const char next = i + 1 < s_.pattern.size() ? s_.pattern[i + 1] : '\0';
    if (c == '%' && (next == 'p' || next == 'n' || next == '%')) {
      name += next == 'p' ? std::to_string(pid_) : next == 'n' ? std::to_string(s_.session) : "%";
      ++i;
    } else {
      name += c;
    }
  }
  // A name already taken (an earlier session, an earlier run) is never
  // overwritten: "-2", "-3", ... go before the extension.
  size_t dot = name.rfind('.');
  size_t slash = name.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
  for (int n = 1; n <= 1000; ++n) {
    path_ = n == 1 ? name : name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
    bool exists = false;
    file_ = platform::CreateNewFile(path_, &exists);
    if (file_ != nullptr) return true;
    if (!exists) break;
  }
  *problem = " Cannot open the trace file " + name + "; tracing is off";
  return false;
}

bool Writer::Open(std::string* problem) {
  tick0_ = platform::CpuTicks();
  steady0_ = SteadyNs();
  utcStart_ = UtcNow();
  // The counters as they stand, and any records left from an earlier trace
  // skipped: this trace starts now.
  for (Buffer* b = gBuffers.load(std::memory_order_acquire); b != nullptr; b = b->next) {
    Seen& seen = seen_[b];
    seen.calls0 = b->calls.load(std::memory_order_relaxed);
    seen.deliveries0 = b->deliveries.load(std::memory_order_relaxed);
    seen.dropped0 = b->dropped.load(std::memory_order_relaxed);
    b->tail.store(b->head.load(std::memory_order_acquire), std::memory_order_release);
  }
  if (s_.ring) return true;  // the file waits for a trigger
  if (!CreateFile(problem)) return false;
  Head();
  Flush();
  return true;
}

// The array's start and what a viewer shows about the whole trace.
void Writer::Head() {
  ToFile("[\n");
  const std::string p = std::to_string(pid_);
  ToFile("{\"name\":\"process_name\",\"cat\":\"__metadata\",\"ph\":\"M\",\"pid\":" + p +
         ",\"tid\":0,\"args\":{\"name\":\"JavaWrapper\"}},\n");
  ToFile("{\"name\":\"process_labels\",\"cat\":\"__metadata\",\"ph\":\"M\",\"pid\":" + p +
         ",\"tid\":0,\"args\":{\"labels\":\"trace started " + utcStart_ + "\"}},\n");
  ToFile("{\"name\":\"thread_name\",\"cat\":\"__metadata\",\"ph\":\"M\",\"pid\":" + p +
         ",\"tid\":0,\"args\":{\"name\":\"trace\"}},\n");
  ToFile("{\"name\":\"trace start\",\"cat\":\"trace\"" + Common("i", 0, 0) +
         ",\"s\":\"g\",\"args\":{\"utc\":\"" + utcStart_ + "\",\"pid\":" + p +
         ",\"session\":" + std::to_string(s_.session) + ",\"mode\":\"" +
         (s_.ring ? "ring" : "all") + "\",\"file\":" + JsonString(path_) + "}},\n");
}

// thread_name metadata for Java threads not yet named in the file.
void Writer::Names() {
  for (auto& [b, seen] : seen_) {
    if (seen.nameWritten || b->named.load(std::memory_order_acquire) != 2) continue;
    seen.nameWritten = true;
    ToFile("{\"name\":\"thread_name\",\"cat\":\"__metadata\",\"ph\":\"M\",\"pid\":" +
           std::to_string(pid_) + ",\"tid\":" + std::to_string(b->tid) +
           ",\"args\":{\"name\":" + JsonString(b->name) + "}},\n");
  }
}

void Writer::ToFile(const std::string& line) {
  if (file_ == nullptr) return;
  const size_t at = (written_ + out_.size()) % kPage;
  if (at + line.size() > kPage) {  // never across a page: spaces to its end
    const size_t gap = kPage - at;
    out_.append(gap - 1, ' ');
    out_ += '\n';
  }
  out_ += line;
  if (out_.size() >= 16 * kPage) Flush();
}

// One write per page (or part of one), each within a page of the file.
void Writer::Flush() {
  size_t done = 0;
  while (done < out_.size() && !limitReached_) {
    const size_t n = std::min(out_.size() - done, static_cast<size_t>(kPage - written_ % kPage));
    if (written_ + n > s_.maxBytes) {
      limitReached_ = true;
      break;
    }
    if (void (*hook)() = gBeforeWrite.load(std::memory_order_relaxed)) hook();
    if (std::fwrite(out_.data() + done, 1, n, file_) != n) break;
    written_ += n;
    done += n;
  }
  out_.clear();
}

void Writer::Line(std::string& line) {
  line += ",\n";
  if (!s_.ring) {
    ToFile(line);
    return;
  }
  ring_ += line;
  if (ring_.size() - ringStart_ > s_.ringBytes) {
    const size_t cut = ring_.find('\n', ring_.size() - static_cast<size_t>(s_.ringBytes));
    ringStart_ = cut == std::string::npos ? ring_.size() : cut + 1;
    if (ringStart_ > s_.ringBytes) {
      ring_.erase(0, ringStart_);
      ringStart_ = 0;
    }
  }
}

// Ring mode: the ring goes to the file under the trigger's name.
void Writer::Dump() {
  if (file_ == nullptr && !limitReached_) {
    std::string problem;
    if (!CreateFile(&problem)) {
      limitReached_ = true;  // nowhere to write: the ring is kept in memory only
      return;
    }
    Head();
  }
  triggers_.push_back(trigger_);
  Names();
  const uint64_t now = Ns(platform::CpuTicks());
  ToFile("{\"name\":\"trigger: " + JsonString(trigger_).substr(1) + ",\"cat\":\"trigger\"" +
         Common("i", 0, now) + ",\"s\":\"g\",\"args\":{\"trigger\":" + JsonString(trigger_) +
         ",\"bytes_kept\":" + std::to_string(ring_.size() - ringStart_) + "}},\n");
  size_t at = ringStart_;
  while (at < ring_.size()) {
    const size_t end = ring_.find('\n', at);
    ToFile(ring_.substr(at, end - at + 1));
    at = end + 1;
  }
  ring_.clear();
  ringStart_ = 0;
  trigger_.clear();
  Flush();
}

void Writer::OnArg(Seen& seen, const Header& h, const unsigned char* record) {
  ValueRecord v;
  BytesRecord bytes;
  if (h.kind == kText || h.kind == kBytes) {
    std::memcpy(&bytes, record, sizeof bytes);
  } else {
    std::memcpy(&v, record, sizeof v);
  }
  const size_t index = seen.ends.size();
  std::string& a = seen.args;
  auto key = [&](const char* what) {
    a += ",\"";
    a += what;
    Put(a, index);
    a += "\":";
  };
  const unsigned char* payload = record + sizeof(BytesRecord);
  switch (h.kind) {
    case kText:
      key("text");
      a += JsonString(std::string_view(reinterpret_cast<const char*>(payload), bytes.stored));
      break;
    case kBytes:
      // Long records in parts: "record2" holds the first bytes, "record2@1500"
      // the bytes from offset 1500, so no line outgrows its page.
      for (size_t off = 0; off == 0 || off < bytes.stored; off += kHexChunk) {
        if (off != 0) {
          seen.ends.push_back(a.size());
          a += ",\"record";
          Put(a, index);
          a += '@';
          Put(a, off);
          a += "\":";
        } else {
          key("record");
        }
        a += '"';
        PutHex(a, payload + off, std::min<size_t>(kHexChunk, bytes.stored - off));
        a += '"';
      }
      break;
    case kNumber:
      key("int");
      Put(a, v.number);
      break;
    case kFlag:
      key("flag");
      a += v.number != 0 ? "true" : "false";
      break;
    case kReal: {
      key("real");
      // to_chars: never the process's locale (a comma-decimal one would break
      // the JSON), and the shortest text that reads back as the same double.
      char text[40];
      const std::string_view digits(text,
                                    std::to_chars(text, text + sizeof text, v.real).ptr - text);
      const bool finite = v.real == v.real && v.real - v.real == 0;
      if (!finite) a += '"';
      a += digits;
      if (!finite) a += '"';
      break;
    }
    case kOutSize:
      key("out");
      Put(a, v.number);
      break;
    case kSecret:
      key(h.extra == kText ? "text" : h.extra == kBytes ? "record" : "value");
      a += "{\"secret_length\":";
      Put(a, v.number);
      a += '}';
      break;
    default:
      return;
  }
  seen.ends.push_back(a.size());
}

void Writer::OnCall(Buffer& b, Seen& seen, const CallRecord& r) {
  // The Java method name: what follows the class in the exported name.
  std::string_view name(r.name, r.nameLength);
  if (const size_t underscore = name.rfind('_'); underscore != std::string_view::npos)
    name.remove_prefix(underscore + 1);
  const uint64_t start = Ns(r.start);
  const uint64_t dur = Ns(r.end) - std::min(Ns(r.end), start);
  natives_[name].durations.Add(dur);
  if (r.code != 0) ++failures_[r.code];
  if (r.code == kWrapperError) NoteTrigger("result 99 from " + std::string(name));
  if (name == "logoff" && r.code != 0) NoteTrigger("logoff returned " + std::to_string(r.code));
  // Method names are plain identifiers: no escaping needed.
  std::string& line = line_;
  line.assign("{\"name\":\"").append(name).append("\",\"cat\":\"native\"");
  PutCommon(line, "X", b.tid, start);
  line += ",\"dur\":";
  PutUs(line, dur);
  line += ",\"args\":{\"result\":";
  Put(line, r.code);
  size_t from = 0;
  for (size_t to : seen.ends) {
    if (line.size() + (to - from) + 2 > kLine) {  // the rest on a line of its own
      line += "}}";
      Line(line);
      line.assign("{\"name\":\"")
          .append(name)
          .append(" (arguments continued)\",\"cat\":\"native\"");
      PutCommon(line, "i", b.tid, start);
      line += ",\"s\":\"t\",\"args\":{\"part\":true";
    }
    line.append(seen.args, from, to - from);
    from = to;
  }
  seen.args.clear();
  seen.ends.clear();
  line += "}}";
  Line(line);
}

void Writer::OnDelivered(Buffer& b, const DeliveredRecord& r) {
  ++events_[r.id];
  maxDepth_ = std::max(maxDepth_, r.depth);
  if (r.id == kForcedLogout) NoteTrigger("forced logout event");
  const uint64_t start = Ns(r.start);
  const uint64_t end = Ns(r.end);
  const uint64_t wait = r.enqueued != 0 && r.start > r.enqueued ? start - Ns(r.enqueued) : 0;
  std::string& line = line_;
  line.assign("{\"name\":\"event ");
  Put(line, r.id);
  line += "\",\"cat\":\"event\"";
  PutCommon(line, "X", b.tid, start);
  line += ",\"dur\":";
  PutUs(line, end - std::min(end, start));
  line += ",\"args\":{\"id\":";
  Put(line, r.id);
  line += ",\"length\":";
  Put(line, r.length);
  line += ",\"queue_wait_us\":";
  PutUs(line, wait);
  line += ",\"producer_tid\":";
  Put(line, r.producer);
  line += "}}";
  Line(line);
  if (delivered_++ % kDepthEvery == 0) {
    line.assign("{\"name\":\"queue depth\",\"cat\":\"event\"");
    PutCommon(line, "C", b.tid, end);
    line += ",\"args\":{\"depth\":";
    Put(line, r.depth);
    line += "}}";
    Line(line);
  }
}

// Everything this buffer holds now, in order.
void Writer::Drain(Buffer& b, Seen& seen) {
  uint64_t tail = b.tail.load(std::memory_order_relaxed);
  const uint64_t head = b.head.load(std::memory_order_acquire);
  while (tail < head) {
    const unsigned char* at = b.data + (static_cast<size_t>(tail) & (b.capacity - 1));
    Header h;
    std::memcpy(&h, at, sizeof h);
    if (h.kind == kCall) {
      CallRecord r;
      std::memcpy(&r, at, sizeof r);
      OnCall(b, seen, r);
    } else if (h.kind == kDelivered) {
      DeliveredRecord r;
      std::memcpy(&r, at, sizeof r);
      OnDelivered(b, r);
    } else if (h.kind == kFunnel) {
      BytesRecord r;
      std::memcpy(&r, at, sizeof r);
      const char* text = reinterpret_cast<const char*>(at + sizeof r);
      line_ = "{\"name\":\"funnel\",\"cat\":\"funnel\"" + Common("i", b.tid, Ns(r.at)) +
              ",\"s\":\"t\",\"args\":{\"where\":" + JsonString(std::string_view(text, r.stored)) +
              ",\"message\":" + JsonString(std::string_view(text + r.stored, r.full)) + "}}";
      Line(line_);
    } else if (h.kind != kPad) {
      OnArg(seen, h, at);
    }
    tail += h.size;
  }
  b.tail.store(tail, std::memory_order_release);
}

void Writer::Pass() {
  Calibrate();
  for (Buffer* b = gBuffers.load(std::memory_order_acquire); b != nullptr; b = b->next)
    Drain(*b, seen_[b]);
  if (!s_.ring) Names();
  if (!trigger_.empty()) Dump();
  Flush();
}

std::string Writer::Summary() {
  uint64_t calls = 0, deliveries = 0, dropped = 0;
  std::string byThread;
  for (auto& [b, seen] : seen_) {
    calls += b->calls.load(std::memory_order_relaxed) - seen.calls0;
    deliveries += b->deliveries.load(std::memory_order_relaxed) - seen.deliveries0;
    const uint64_t lost = b->dropped.load(std::memory_order_relaxed) - seen.dropped0;
    dropped += lost;
    if (lost != 0)
      byThread +=
          (byThread.empty() ? "\"" : ",\"") + std::to_string(b->tid) + "\":" + std::to_string(lost);
  }
  auto counts = [](const std::map<int32_t, uint64_t>& m) {
    std::string s;
    for (const auto& [key, n] : m)
      s += (s.empty() ? "\"" : ",\"") + std::to_string(key) + "\":" + std::to_string(n);
    return "{" + s + "}";
  };
  std::string natives;
  for (const auto& [name, stats] : natives_) {
    natives += (natives.empty() ? "\"" : ",\"") + std::string(name) +
               "\":{\"calls\":" + std::to_string(stats.durations.Count()) +
               ",\"p50_us\":" + Us(stats.durations.Percentile(0.5)) +
               ",\"p99_us\":" + Us(stats.durations.Percentile(0.99)) +
               ",\"max_us\":" + Us(stats.durations.Max()) + "}";
  }
  std::string triggers;
  for (const std::string& t : triggers_) {
    if (!triggers.empty()) triggers += ',';
    triggers += JsonString(t);
  }
  // Appended piece by piece: GCC 12 at -O3 misreads a literal + string chain.
  std::string out = "{\"name\":\"summary\",\"cat\":\"summary\"";
  PutCommon(out, "i", 0, Ns(platform::CpuTicks()));
  out += ",\"s\":\"g\",\"args\":{\"calls\":";
  Put(out, calls);
  out += ",\"deliveries\":";
  Put(out, deliveries);
  out.append(",\"failures\":").append(counts(failures_));
  out.append(",\"natives\":{").append(natives).append("},\"events\":").append(counts(events_));
  out += ",\"max_queue_depth\":";
  Put(out, maxDepth_);
  out += ",\"records_dropped\":";
  Put(out, dropped);
  out.append(",\"records_dropped_by_thread\":{").append(byThread).append("},\"triggers\":[");
  out.append(triggers).append("],\"file_limit_reached\":");
  out.append(limitReached_ ? "true" : "false").append("}}");
  return out;
}

void Writer::Run() {
  // The callers come first: on a busy machine the writer waits, and records
  // it cannot take in time are dropped and counted.
  self.store(platform::OpenThisThread(), std::memory_order_release);
  running.store(true, std::memory_order_release);
  platform::LowerThisThreadPriority();
  for (;;) {
    const bool last = finish.load(std::memory_order_acquire);
    Pass();
    if (last) break;
    std::this_thread::sleep_for(kPeriod);
  }
  if (const char* why = endTrigger.load(std::memory_order_acquire); s_.ring && why != nullptr) {
    trigger_ = why;
    Dump();
  }
  if (file_ != nullptr) {
    const std::string summary = Summary();
    limitReached_ = false;  // the summary always fits: it says whether the limit was hit
    ToFile(summary + "\n]\n");
    Flush();
  }
  finished.store(true, std::memory_order_release);
  // Holding no lock: the unloading thread ends this one here.
  if (park.load(std::memory_order_acquire)) platform::ParkThisThread();
}

void Writer::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

Writer* StartWriter(const Settings& settings, std::string* problem) {
  Writer* w = nullptr;
  try {
    w = new Writer(settings);
    if (w->Open(problem)) {
      w->thread = std::thread([w] { w->Run(); });
      // Until the system has started it, a new thread on Windows still needs
      // the loader lock: a bridge freed right after this session would hold
      // that lock while it waits for the writer to finish, and cut its file
      // short. The wait is bounded; a writer still not running after it is
      // ended as any stuck writer is.
      const auto until = std::chrono::steady_clock::now() + kStartBound;
      while (!w->running.load(std::memory_order_acquire) &&
             std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return w;
    }
  } catch (const std::exception& e) {  // no memory, no thread: tracing stays off
    *problem = std::string(" Cannot start the trace: ") + e.what() + "; tracing is off";
  }
  delete w;
  return nullptr;
}

void AskToFinish(Writer* w, const char* trigger) {
  if (trigger != nullptr) w->endTrigger.store(trigger, std::memory_order_release);
  w->finish.store(true, std::memory_order_release);
}

bool WaitFinished(Writer* w, std::chrono::steady_clock::time_point deadline) {
  while (!w->finished.load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void EndWithoutJoin(Writer* w, const char* trigger,
                    std::chrono::steady_clock::time_point deadline) {
  w->park.store(true, std::memory_order_release);
  AskToFinish(w, trigger);
  WaitFinished(w, deadline);
  // Ended even when it did not finish: a writer stuck on the disk may hold
  // its file's lock, but one left running would execute unmapped code.
  platform::EndParkedThread(w->self.load(std::memory_order_acquire), 1000);
  w->Close();
}

void JoinAndFree(Writer* w) {
  w->thread.join();
  w->Close();
  delete w;
}

}  // namespace trace::detail
