// The trace's records as Trace Event Format JSON: one line per event, each
// within kLine bytes (texts are cut after escaping, long argument lists and
// the summary continue on lines of their own), so every line fits the page
// the file promises.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/cpu.h"
#include "trace/writer_impl.h"

namespace trace::detail {
namespace {

constexpr size_t kHexChunk = 1500;    // record bytes per argument part
constexpr uint64_t kDepthEvery = 64;  // a depth counter every this many deliveries
constexpr size_t kWhereCut = 400;     // a funnel line's where-text, escaped
constexpr size_t kMessageCut = 2800;  // and its message: both within kLine

}  // namespace

void Writer::Calibrate() {
  const uint64_t ticks = platform::CpuTicks();
  const uint64_t ns = SteadyNs();
  if (ticks > tick0_ && ns > steady0_)
    nsPerTick_ = static_cast<double>(ns - steady0_) / static_cast<double>(ticks - tick0_);
}

void Writer::PutCommon(std::string& s, const char* ph, uint32_t tid, uint64_t ns) const {
  s += ",\"ph\":\"";
  s += ph;
  s += "\",\"pid\":";
  Put(s, pid_);
  s += ",\"tid\":";
  Put(s, tid);
  s += ",\"ts\":";
  PutUs(s, ns);
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
         (s_.ring ? "ring" : "all") + "\",\"file\":" + JsonString(path_, 1024) + "}},\n");
}

// thread_name metadata for Java threads not yet named in the file.
void Writer::Names() {
  for (auto& [b, seen] : seen_) Name(*b, seen);
}

void Writer::Name(const Buffer& b, Seen& seen) {
  if (seen.nameWritten || b.named.load(std::memory_order_acquire) != 2) return;
  seen.nameWritten = true;
  ToFile("{\"name\":\"thread_name\",\"cat\":\"__metadata\",\"ph\":\"M\",\"pid\":" +
         std::to_string(pid_) + ",\"tid\":" + std::to_string(b.tid.load()) +
         ",\"args\":{\"name\":" + JsonString(b.name) + "}},\n");
}

void Writer::OnArg(Seen& seen, const Header& h, const unsigned char* record) {
  ValueRecord v;
  BytesRecord bytes;
  if (h.kind == kText || h.kind == kBytes) {
    std::memcpy(&bytes, record, sizeof bytes);
  } else {
    std::memcpy(&v, record, sizeof v);
  }
  if (h.kind == kElement) {  // no value of its own: it marks the next text
    seen.element = v.number;
    return;
  }
  std::string& a = seen.args;
  Piece piece{h.kind, false, 0, -1, 0};
  if (h.kind == kText || h.kind == kNull || (h.kind == kSecret && h.extra == kText)) {
    piece.element = seen.element;  // an element of a String[], or -1
    seen.element = -1;
  }
  const unsigned char* payload = record + sizeof(BytesRecord);
  switch (h.kind) {
    case kText:
      a += JsonString(std::string_view(reinterpret_cast<const char*>(payload), bytes.stored));
      break;
    case kNull:
      piece.kind = kText;
      a += "null";
      break;
    case kBytes:
      // Long records in parts: "order" holds the first bytes, "order@1500"
      // the bytes from offset 1500, so no line outgrows its page.
      for (size_t off = 0; off == 0 || off < bytes.stored; off += kHexChunk) {
        if (off != 0) {
          piece.end = a.size();
          seen.pieces.push_back(piece);
          piece.part = static_cast<uint32_t>(off);
        }
        a += '"';
        PutHex(a, payload + off, std::min<size_t>(kHexChunk, bytes.stored - off));
        a += '"';
      }
      break;
    case kNumber:
    case kOutSize:
    case kCount:
      Put(a, v.number);
      break;
    case kFlag:
      a += v.number != 0 ? "true" : "false";
      break;
    case kReal: {
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
    case kSecret:
      piece.kind = h.extra;
      piece.secret = true;
      a += "{\"secret_length\":";
      Put(a, v.number);
      a += '}';
      break;
    default:
      return;
  }
  piece.end = a.size();
  seen.pieces.push_back(piece);
}

void Writer::OnCall(Buffer& b, Seen& seen, const CallRecord& r) {
  // The Java method name: what follows the class in the exported name.
  std::string_view name(r.name, r.nameLength);
  if (const size_t underscore = name.rfind('_'); underscore != std::string_view::npos)
    name.remove_prefix(underscore + 1);
  const uint64_t start = Ns(r.start);
  const uint64_t dur = Ns(r.end) - std::min(Ns(r.end), start);
  natives_[name].Add(dur);
  const uint32_t tid = b.tid.load(std::memory_order_relaxed);
  // The arguments as "key":value pairs, keyed by the Java parameters' names.
  pairs_.clear();
  pairEnds_.clear();
  ArgumentNames names(std::string_view(r.name, r.nameLength));
  size_t from = 0;
  for (size_t i = 0; i < seen.pieces.size(); ++i) {
    names.Key(pairs_, seen.pieces[i], i);
    pairs_.append(seen.args, from, seen.pieces[i].end - from);
    from = seen.pieces[i].end;
    pairEnds_.push_back(pairs_.size());
  }
  seen.args.clear();
  seen.pieces.clear();
  seen.element = -1;
  // Method names are plain identifiers: no escaping needed.
  std::string& line = line_;
  line.assign("{\"name\":\"").append(name).append("\",\"cat\":\"native\"");
  PutCommon(line, "X", tid, start);
  line += ",\"dur\":";
  PutUs(line, dur);
  line += ",\"args\":{\"result\":";
  Put(line, r.code);
  from = 0;
  for (size_t to : pairEnds_) {
    if (line.size() + (to - from) + 2 > kLine) {  // the rest on a line of its own
      line += "}}";
      Line(line);
      line.assign("{\"name\":\"")
          .append(name)
          .append(" (arguments continued)\",\"cat\":\"native\"");
      PutCommon(line, "i", tid, start);
      line += ",\"s\":\"t\",\"args\":{\"part\":true";
    }
    line.append(pairs_, from, to - from);
    from = to;
  }
  line += "}}";
  Line(line);
}

void Writer::OnDelivered(Buffer& b, const DeliveredRecord& r, const char* why) {
  // Only an event messageReceived returned from counts as delivered; one
  // Java never got, or whose handler threw, is marked on its bar and in its
  // name, so no viewer shows it as a normal delivery.
  const auto outcome = static_cast<Outcome>(r.h.extra);
  const char* mark = outcome == Outcome::kDropped ? " (dropped)"
                     : outcome == Outcome::kThrew ? " (handler threw)"
                                                  : "";
  if (outcome == Outcome::kDelivered) ++events_[r.id];
  maxDepth_ = std::max(maxDepth_, r.depth);
  const uint32_t tid = b.tid.load(std::memory_order_relaxed);
  const uint64_t start = Ns(r.start);
  const uint64_t end = Ns(r.end);
  const uint64_t wait = r.enqueued != 0 && r.start > r.enqueued ? start - Ns(r.enqueued) : 0;
  std::string& line = line_;
  line.assign("{\"name\":\"event ");
  Put(line, r.id);
  line += mark;
  line += "\",\"cat\":\"event\"";
  PutCommon(line, "X", tid, start);
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
  if (outcome != Outcome::kDelivered) {
    line += outcome == Outcome::kDropped ? ",\"outcome\":\"dropped\""
                                         : ",\"outcome\":\"handler threw\"";
    line += ",\"why\":";
    line += JsonString(std::string_view(why, r.why), kMessageCut);
  }
  line += "}}";
  Line(line);
  if (delivered_++ % kDepthEvery == 0) {
    line.assign("{\"name\":\"queue depth\",\"cat\":\"event\"");
    PutCommon(line, "C", tid, end);
    line += ",\"args\":{\"depth\":";
    Put(line, r.depth);
    line += "}}";
    Line(line);
  }
}

// A zero-length bar rather than an instant: some viewers drop instant events.
void Writer::OnFunnel(Buffer& b, const BytesRecord& r, const char* text) {
  line_ =
      "{\"name\":\"error\",\"cat\":\"funnel\"" +
      Common("X", b.tid.load(std::memory_order_relaxed), Ns(r.at)) +
      ",\"dur\":0,\"args\":{\"where\":" + JsonString(std::string_view(text, r.stored), kWhereCut) +
      ",\"message\":" + JsonString(std::string_view(text + r.stored, r.full), kMessageCut) + "}}";
  Line(line_);
}

// The summary's event, and, where the natives' statistics would make its
// line too long, "summary (continued)" events with the rest of them.
std::vector<std::string> Writer::Summary() {
  uint64_t calls = 0, deliveries = 0, dropped = 0, droppedCalls = 0;
  uint64_t eventsDropped = 0, handlerThrew = 0, taken = 0;
  std::string byThread;
  for (auto& [b, seen] : seen_) {
    calls += b->calls.load(std::memory_order_relaxed) - seen.calls0;
    deliveries += b->deliveries.load(std::memory_order_relaxed) - seen.deliveries0;
    eventsDropped += b->eventsDropped.load(std::memory_order_relaxed) - seen.eventsDropped0;
    handlerThrew += b->handlerThrew.load(std::memory_order_relaxed) - seen.handlerThrew0;
    taken += b->eventsTaken.load(std::memory_order_relaxed) - seen.eventsTaken0;
    droppedCalls += b->droppedCalls.load(std::memory_order_relaxed) - seen.droppedCalls0;
    const uint64_t lost = b->dropped.load(std::memory_order_relaxed) - seen.dropped0;
    dropped += lost;
    if (lost != 0 && byThread.size() < 1000)  // the first threads' (a buffer's last owner)
      byThread += (byThread.empty() ? "\"" : ",\"") + std::to_string(b->tid.load()) +
                  "\":" + std::to_string(lost);
  }
  // Records of threads that found no buffer: counted for the whole process,
  // this trace's since it began.
  const uint64_t unbufferedCalls =
      gUnbufferedCalls.load(std::memory_order_relaxed) - unbufferedCalls0_;
  dropped += gUnbuffered.load(std::memory_order_relaxed) - unbuffered0_;
  droppedCalls += unbufferedCalls;
  calls += unbufferedCalls;
  // Taken with no outcome yet: a handler still running as the trace closed
  // (it logged off itself, or another thread did). Neither delivered nor
  // dropped here, and never counted by a later trace.
  const uint64_t outcomes = deliveries + eventsDropped + handlerThrew;
  const uint64_t cutOff = taken > outcomes ? taken - outcomes : 0;
  // Dropped by the queue before any pump saw them (its hard limit).
  const uint64_t queueDropped = gQueueDropped.load(std::memory_order_relaxed) - queueDropped0_;
  eventsDropped += queueDropped;
  Failures now;
  ReadFailures(&now);
  std::string failures;
  for (int i = 0; i < Failures::kCodes; ++i) {
    const uint64_t before = now.code[i] == failures0_.code[i] ? failures0_.count[i] : 0;
    if (now.code[i] != 0 && now.count[i] > before)
      failures += (failures.empty() ? "\"" : ",\"") + std::to_string(now.code[i]) +
                  "\":" + std::to_string(now.count[i] - before);
  }
  if (now.other > failures0_.other)
    failures += (failures.empty() ? "\"" : ",\"") + std::string("other\":") +
                std::to_string(now.other - failures0_.other);
  std::string events;
  for (const auto& [id, n] : events_)
    events += (events.empty() ? "\"" : ",\"") + std::to_string(id) + "\":" + std::to_string(n);
  std::string triggers;
  for (const std::string& t : triggers_) {
    if (triggers.size() > 1000) break;
    if (!triggers.empty()) triggers += ',';
    triggers += JsonString(t, 200);
  }
  const uint64_t now_ns = Ns(platform::CpuTicks());
  // Appended piece by piece: GCC 12 at -O3 misreads a literal + string chain.
  std::string out = "{\"name\":\"summary\",\"cat\":\"summary\"";
  PutCommon(out, "i", 0, now_ns);
  out += ",\"s\":\"g\",\"args\":{\"calls\":";
  Put(out, calls);
  out += ",\"deliveries\":";
  Put(out, deliveries);
  out += ",\"events_dropped\":";
  Put(out, eventsDropped);
  out += ",\"handler_threw\":";
  Put(out, handlerThrew);
  out += ",\"events_cut_off\":";
  Put(out, cutOff);
  out += ",\"events_dropped_by_queue\":";
  Put(out, queueDropped);
  out.append(",\"failures\":{").append(failures).append("}");
  out.append(",\"events\":{").append(events.size() < 800 ? events : "").append("}");
  out += ",\"max_queue_depth\":";
  Put(out, maxDepth_);
  out += ",\"records_dropped\":";
  Put(out, dropped);
  out += ",\"calls_dropped\":";
  Put(out, droppedCalls);
  out.append(",\"records_dropped_by_thread\":{").append(byThread).append("},\"triggers\":[");
  out.append(triggers).append("],\"file_limit_reached\":");
  out.append(limitReached_ ? "true" : "false");
  if (unwrittenRecords_ != 0 || unwrittenBytes_ != 0) {
    out += ",\"not_written\":{\"records\":";
    Put(out, unwrittenRecords_);
    out += ",\"bytes\":";
    Put(out, unwrittenBytes_);
    out += '}';
  }
  out += ",\"natives\":{";
  // The natives' statistics, as many as fit; the rest continue below.
  std::vector<std::string> lines;
  bool first = true;
  for (const auto& [name, d] : natives_) {
    std::string one = (first ? "\"" : ",\"") + std::string(name) +
                      "\":{\"calls\":" + std::to_string(d.Count()) +
                      ",\"p50_us\":" + Us(d.Percentile(0.5)) +
                      ",\"p99_us\":" + Us(d.Percentile(0.99)) + ",\"max_us\":" + Us(d.Max()) + "}";
    if (out.size() + one.size() + 8 > kLine) {
      lines.push_back(out + "}}},");
      out = "{\"name\":\"summary (continued)\",\"cat\":\"summary\"";
      PutCommon(out, "i", 0, now_ns);
      out += ",\"s\":\"g\",\"args\":{\"natives\":{";
      if (!first) one.erase(0, 1);
    }
    out += one;
    first = false;
  }
  lines.push_back(out + "}}}");
  return lines;
}

}  // namespace trace::detail
