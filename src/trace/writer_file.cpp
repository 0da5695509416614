// The trace's file: its name, its pages, and ring mode's dumps.
//
// Whole records: each line is one event ("{...},"), no line crosses a
// 4 KiB boundary of the file (a line that would is moved to the next one,
// the gap filled with spaces), and each write to the system covers at most
// one such page. A write within one page is never cut by a kill, so a
// process killed at any moment leaves a file of whole lines: the array form
// without its "]", which the viewers load.
//
// Writes are the system's own calls, each waiting at most kWriteWaitMs, so
// the writer looks at giveUp between them; once it gives up on a
// destination that takes nothing, what is left is counted, not written.
#include <algorithm>

#include "platform/cpu.h"
#include "trace/writer_impl.h"

namespace trace {
namespace {
std::atomic<void (*)()> gBeforeWrite{nullptr};
}  // namespace

void SetBeforeWriteForTests(void (*hook)()) {
  gBeforeWrite.store(hook);
}
}  // namespace trace

namespace trace::detail {

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
    file_.reset(platform::OutputFile::Create(path_, &exists));
    if (file_ != nullptr) return true;
    if (!exists) break;
  }
  *problem = " Cannot open the trace file " + name + "; tracing is off";
  return false;
}

void Writer::ToFile(const std::string& line) {
  if (file_ == nullptr) return;
  if (line.size() > kPage) {  // never made (lines are cut to kLine): counted, not torn
    ++unwrittenRecords_;
    return;
  }
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
  while (done < out_.size() && !limitReached_ && !stalled_) {
    const size_t n = std::min(out_.size() - done, static_cast<size_t>(kPage - written_ % kPage));
    if (written_ + n > s_.maxBytes) {
      limitReached_ = true;
      break;
    }
    if (void (*hook)() = gBeforeWrite.load(std::memory_order_relaxed)) hook();
    const long wrote = file_->Write(out_.data() + done, n, kWriteWaitMs);
    if (wrote > 0) {
      written_ += static_cast<uint64_t>(wrote);
      done += static_cast<size_t>(wrote);
      progress.fetch_add(1, std::memory_order_relaxed);
    } else if (wrote < 0 || giveUp.load(std::memory_order_relaxed)) {
      stalled_ = true;  // an error, or a destination given up on: nothing more goes
    }
  }
  if (stalled_) unwrittenBytes_ += out_.size() - done;
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
  ToFile("{\"name\":\"trigger: " + JsonString(trigger_, 200).substr(1) + ",\"cat\":\"trigger\"" +
         Common("i", 0, now) + ",\"s\":\"g\",\"args\":{\"trigger\":" + JsonString(trigger_, 200) +
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

// What a writer that gave up did not write, where someone will see it when
// the file cannot say so: standard error.
void Writer::ReportUnwritten() {
  if (!stalled_ || (unwrittenBytes_ == 0 && unwrittenRecords_ == 0)) return;
  platform::WriteStandardError("JavaWrapper: the trace " + path_ +
                               " stalled: " + std::to_string(unwrittenRecords_) + " records and " +
                               std::to_string(unwrittenBytes_) +
                               " bytes of formatted events were not written\n");
}

}  // namespace trace::detail
