// The trace's writer thread: passes over every thread's buffer every 10 ms,
// formats the records (writer_format.cpp) and writes them (writer_file.cpp),
// and ends when asked: whole, or, past its callers' bounds, giving up on a
// destination that stalls and counting what it did not write.
//
// The thread never blocks for long: the file takes the system's own calls
// with bounded waits, so a caller waiting for the writer sees it finish
// soon after it is told to give up, and where it cannot be joined it is
// ended only once it parked, never inside the C runtime or the heap.
#include <chrono>
#include <cstring>
#include <exception>

#include "platform/cpu.h"
#include "trace/writer_impl.h"

namespace trace {
namespace {
std::atomic<void (*)()> gBeforePass{nullptr};
}  // namespace

void SetBeforePassForTests(void (*hook)()) {
  gBeforePass.store(hook);
}
}  // namespace trace

namespace trace::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::milliseconds(10);
// After giving up: its current write's wait, the summary's, and time to run.
constexpr auto kAfterGivingUp = std::chrono::milliseconds(2000);

}  // namespace

bool Writer::Open(std::string* problem) {
  tick0_ = platform::CpuTicks();
  steady0_ = SteadyNs();
  utcStart_ = UtcNow();
  out_.reserve(20 * kPage);  // the pages waiting for the file, allocated now
  line_.reserve(2 * kPage);
  // The counters as they stand, and any records left from an earlier trace
  // skipped: this trace starts now. A buffer whose thread ended meanwhile is
  // free again.
  for (Buffer* b = gBuffers.load(std::memory_order_acquire); b != nullptr; b = b->next) {
    const bool ended = b->owner.load(std::memory_order_acquire) == kEnded;
    Seen& seen = seen_[b];
    seen.calls0 = b->calls.load(std::memory_order_relaxed);
    seen.deliveries0 = b->deliveries.load(std::memory_order_relaxed);
    seen.dropped0 = b->dropped.load(std::memory_order_relaxed);
    seen.droppedCalls0 = b->droppedCalls.load(std::memory_order_relaxed);
    seen.eventsDropped0 = b->eventsDropped.load(std::memory_order_relaxed);
    seen.handlerThrew0 = b->handlerThrew.load(std::memory_order_relaxed);
    seen.eventsTaken0 = b->eventsTaken.load(std::memory_order_relaxed);
    b->tail.store(b->head.load(std::memory_order_acquire), std::memory_order_release);
    if (ended) Release(*b);
  }
  triggersSeen_ = TriggerCounts();
  ReadFailures(&failures0_);
  unbuffered0_ = gUnbuffered.load(std::memory_order_relaxed);
  unbufferedCalls0_ = gUnbufferedCalls.load(std::memory_order_relaxed);
  queueDropped0_ = gQueueDropped.load(std::memory_order_relaxed);
  if (s_.ring) return true;  // the file waits for a trigger
  if (!CreateFile(problem)) return false;
  Head();  // written by the writer's first pass: the caller never waits for the disk
  return true;
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
      OnDelivered(b, r, reinterpret_cast<const char*>(at + sizeof r));
    } else if (h.kind == kFunnel) {
      BytesRecord r;
      std::memcpy(&r, at, sizeof r);
      OnFunnel(b, r, reinterpret_cast<const char*>(at + sizeof r));
    } else if (h.kind != kPad) {
      OnArg(seen, h, at);
    }
    tail += h.size;
  }
  b.tail.store(tail, std::memory_order_release);
}

uint64_t Writer::Skip(Buffer& b) {
  uint64_t n = 0;
  uint64_t tail = b.tail.load(std::memory_order_relaxed);
  const uint64_t head = b.head.load(std::memory_order_acquire);
  while (tail < head) {
    Header h;
    std::memcpy(&h, b.data + (static_cast<size_t>(tail) & (b.capacity - 1)), sizeof h);
    if (h.kind != kPad) ++n;
    tail += h.size;
  }
  b.tail.store(tail, std::memory_order_release);
  return n;
}

void Writer::Pass() {
  if (void (*hook)() = gBeforePass.load(std::memory_order_relaxed)) hook();
  Calibrate();
  // Read before the buffers: the records published before a trigger are in
  // this pass, so ring mode's dump holds the call that raised it.
  const Triggers triggers = TriggerCounts();
  for (Buffer* b = gBuffers.load(std::memory_order_acquire); b != nullptr; b = b->next) {
    // Read before its records: an ended thread published its last one.
    const bool ended = b->owner.load(std::memory_order_acquire) == kEnded;
    Seen& seen = seen_[b];
    if (giveUp.load(std::memory_order_relaxed)) {
      unwrittenRecords_ += Skip(*b);
    } else {
      Drain(*b, seen);
    }
    if (ended) {
      // Named now, before the buffer goes back to the pool (which forgets
      // the name): a thread that recorded and ended since the last pass
      // would otherwise leave its rows in the file with no name.
      if (!s_.ring) Name(*b, seen);
      seen.nameWritten = false;  // the next thread to take it has a name of its own
      seen.args.clear();
      seen.pieces.clear();
      seen.element = -1;
      Release(*b);
    }
  }
  if (triggers != triggersSeen_) {
    NoteTrigger(TriggersSince(triggersSeen_, triggers));
    triggersSeen_ = triggers;
  }
  if (!s_.ring) Names();
  if (!trigger_.empty()) Dump();
  Flush();
  progress.fetch_add(1, std::memory_order_relaxed);
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
    limitReached_ = false;  // the summary always fits: it says whether the limit was hit
    for (const std::string& line : Summary()) ToFile(line + "\n");
    ToFile("]\n");
    Flush();
  }
  ReportUnwritten();
  finished.store(true, std::memory_order_release);
  // Holding no lock and owning no object still to be destroyed: the
  // unloading thread ends this one here.
  if (park.load(std::memory_order_acquire)) platform::ParkThisThread();
}

Writer* StartWriter(const Settings& settings, std::string* problem) {
  Writer* w = nullptr;
  try {
    w = new Writer(settings);
    if (w->Open(problem)) {
      w->thread = std::thread([w] { w->Run(); });
      // Running before the trace is on: a thread still starting needs the
      // Windows loader lock, so one that a host's FreeLibrary overtook could
      // neither finish nor park before the bridge is unmapped. The wait is a
      // deadline, so a coarse system timer cannot stretch it.
      const auto until = Clock::now() + std::chrono::seconds(5);
      while (!w->running.load(std::memory_order_acquire) && Clock::now() < until)
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

bool WaitFinished(Writer* w, std::chrono::milliseconds stalled, std::chrono::milliseconds most) {
  const Clock::time_point start = Clock::now();
  Clock::time_point lastProgress = start, gaveUp{};
  uint64_t seen = w->progress.load(std::memory_order_relaxed);
  while (!w->finished.load(std::memory_order_acquire)) {
    const Clock::time_point now = Clock::now();
    if (const uint64_t p = w->progress.load(std::memory_order_relaxed); p != seen) {
      seen = p;
      lastProgress = now;
    }
    if (!w->giveUp.load(std::memory_order_relaxed) &&
        (now - lastProgress >= stalled || now - start >= most)) {
      w->giveUp.store(true, std::memory_order_relaxed);
      gaveUp = now;
    }
    if (w->giveUp.load(std::memory_order_relaxed) && now - gaveUp >= kAfterGivingUp) {
      platform::WriteStandardError(
          "JavaWrapper: the trace's writer did not finish within its bound (a stalled destination, "
          "or no processor time); what it had not written is lost\n");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void JoinAndFree(Writer* w) {
  w->thread.join();
  delete w;
}

void LeaveRunning(Writer* w) {
  w->thread.detach();
}

void EndWithoutJoin(Writer* w, const char* trigger, std::chrono::milliseconds bound) {
  w->park.store(true, std::memory_order_release);
  AskToFinish(w, trigger);
  // Ended only once it parked: a thread ended anywhere else might hold the
  // C runtime's or the heap's lock, which the unloading thread needs next.
  // One that never parks is left running (its next step in unmapped code
  // ends the process: a fault, where the lock would have been a hang).
  if (!WaitFinished(w, bound, bound)) return;
  platform::EndParkedThread(w->self.load(std::memory_order_acquire), 1000);
  w->Close();
}

}  // namespace trace::detail
