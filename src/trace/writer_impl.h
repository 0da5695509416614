// The trace's writer, inside: one object per open trace, its thread's work
// split by what it does: writer.cpp (the thread, its passes over the
// buffers, how it ends), writer_format.cpp (records to JSON lines and the
// summary) and writer_file.cpp (the file, its pages, ring mode's dumps).
// Used by those files only.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "trace/buffer.h"
#include "trace/format.h"
#include "trace/trace.h"
#include "trace/writer.h"

namespace trace::detail {

constexpr size_t kPage = 4096;
constexpr size_t kLine = 3600;         // a line's longest, so it fits a page
constexpr unsigned kWriteWaitMs = 50;  // one write's wait, between looks at giveUp

// One argument of the call in progress, its value already JSON in
// Seen::args; named only at the call's record, which says whose it is.
struct Piece {
  uint16_t kind;    // what it is for naming: kText, kBytes, kNumber, ...
  bool secret;      // written as its length only
  uint32_t part;    // a long record's later part: the offset it starts at
  int64_t element;  // a String[]'s element: its index (-1: none)
  size_t end;       // where its value ends in args
};

// The Java parameter names of ClientAPI's natives (parameters.cpp): appends
// each argument's key, `,"name":`, taking for it the native's first
// parameter of its type not yet taken; an argument no parameter takes keeps
// a key by its kind and position (`int3`).
class ArgumentNames {
 public:
  struct Parameter;
  explicit ArgumentNames(std::string_view exported);  // the native's exported name
  void Key(std::string& out, const Piece& piece, size_t index);

 private:
  const std::vector<Parameter>* parameters_;
  uint64_t taken_ = 0;  // a bit per parameter
  int array_ = -1;      // the String[] whose elements come now
  int last_ = -1;       // the parameter of the previous argument
};

// What the writer keeps per buffer: the counters when the trace began, the
// arguments of the call in progress, and whether its name is in the file.
struct Seen {
  uint64_t calls0 = 0, deliveries0 = 0, dropped0 = 0, droppedCalls0 = 0;
  uint64_t eventsDropped0 = 0, handlerThrew0 = 0, eventsTaken0 = 0;
  std::string args;           // the arguments' values, one after another
  std::vector<Piece> pieces;  // what each is and where it ends in args
  int64_t element = -1;       // a String[] element's index, for the next text
  bool nameWritten = false;
};

class Writer {
 public:
  explicit Writer(const Settings& s) : s_(s), pid_(platform::ProcessId()) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Open(std::string* problem);
  void Run();
  void Close() { file_.reset(); }

  std::thread thread;
  std::atomic<bool> finish{false};
  std::atomic<const char*> endTrigger{nullptr};
  // Set last of all: from then on the writer touches nothing but parking.
  std::atomic<bool> finished{false};
  std::atomic<bool> park{false};  // park instead of returning, once finished
  // Set by a waiting caller past its bound: the writer writes no more than
  // what the destination takes at once, counts the rest and finishes.
  std::atomic<bool> giveUp{false};
  std::atomic<uint64_t> progress{0};  // passes made and writes done, for the waiter
  std::atomic<void*> self{nullptr};   // a handle to the writer's thread, where parking needs one
  std::atomic<bool> running{false};   // its thread has started: past the system's start-up

 private:
  // writer.cpp
  void Pass();
  void Drain(Buffer& b, Seen& seen);
  uint64_t Skip(Buffer& b);  // the records not written, once giving up

  // writer_format.cpp
  uint64_t Ns(uint64_t ticks) const {
    if (ticks <= tick0_) return 0;
    return static_cast<uint64_t>(static_cast<double>(ticks - tick0_) * nsPerTick_);
  }
  void Calibrate();
  std::string Common(const char* ph, uint32_t tid, uint64_t ns) const {
    std::string s;
    PutCommon(s, ph, tid, ns);
    return s;
  }
  void PutCommon(std::string& s, const char* ph, uint32_t tid, uint64_t ns) const;
  void OnCall(Buffer& b, Seen& seen, const CallRecord& r);
  void OnDelivered(Buffer& b, const DeliveredRecord& r, const char* why);
  void OnArg(Seen& seen, const Header& h, const unsigned char* record);
  void OnFunnel(Buffer& b, const BytesRecord& r, const char* text);
  void Head();
  void Names();
  void Name(const Buffer& b, Seen& seen);  // its thread_name line, once
  std::vector<std::string> Summary();      // one or more lines, each within kLine

  // writer_file.cpp
  void NoteTrigger(std::string text) {
    if (s_.ring && trigger_.empty()) trigger_ = std::move(text);
  }
  void Line(std::string& line);  // one event, to the file or the ring
  void ToFile(const std::string& line);
  void Flush();
  bool CreateFile(std::string* problem);
  void Dump();
  void ReportUnwritten();

  Settings s_;
  uint32_t pid_;
  std::string path_;
  std::unique_ptr<platform::OutputFile> file_;
  uint64_t tick0_ = 0, steady0_ = 0;
  double nsPerTick_ = 1.0;
  std::string utcStart_;
  std::unordered_map<Buffer*, Seen> seen_;
  std::string line_;              // the line being made
  std::string pairs_;             // a call's arguments, named: "key":value after a comma each
  std::vector<size_t> pairEnds_;  // where each ends in pairs_
  std::string out_;               // whole lines waiting for the file
  uint64_t written_ = 0;          // bytes in the file, out_ not included
  bool limitReached_ = false;
  bool stalled_ = false;  // given up on the destination: nothing more is written
  uint64_t unwrittenBytes_ = 0, unwrittenRecords_ = 0;
  std::string ring_;  // ring mode: the last lines, oldest first from ringStart_
  size_t ringStart_ = 0;
  std::string trigger_;  // ring mode: the trigger seen in this pass
  Triggers triggersSeen_;
  std::vector<std::string> triggers_;
  Failures failures0_;  // the failures noted before the trace began
  // The records and calls that found no buffer before the trace began.
  uint64_t unbuffered0_ = 0, unbufferedCalls0_ = 0;
  uint64_t queueDropped0_ = 0;  // events the queue dropped before the trace began
  std::map<std::string_view, Histogram> natives_;
  std::map<int32_t, uint64_t> events_;
  uint64_t maxDepth_ = 0, delivered_ = 0;
};

}  // namespace trace::detail
