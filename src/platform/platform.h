// Operating-system services the bridge and the simulator need, behind one
// small interface. Only the platform_*.cpp files include system headers.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// An opaque module handle; nullptr means "no library".
using LibraryHandle = void*;

// Loads the library at exactly this file name (nothing is appended).
// Returns nullptr when the file cannot be loaded; never shows a dialog. Then
// whyNot (when given) receives the system's own text for the failure.
LibraryHandle LoadLibraryFile(const std::string& fileName, std::string* whyNot = nullptr);

// Address of the exported name (exact, case-sensitive), or nullptr.
void* ResolveSymbol(LibraryHandle library, const char* name);

// Drops one reference to a library returned by LoadLibraryFile. True when
// the library has left the process; false when another module still holds
// it, so its threads may still call whatever it was given.
bool FreeLibraryHandle(LibraryHandle library);

// Keeps the module that contains this code mapped until the process ends,
// whoever unloads it later: for code another library may still call. False
// when the system refused.
bool PinThisModule();

void SleepMs(unsigned milliseconds);
// For tests: every SleepMs lasts at least this long, as on a system whose
// timer ticks coarsely (15.6 ms on Windows unless raised). 0 restores it.
void SetMinimumSleepForTests(unsigned milliseconds);

// Whether reading size bytes at address would fault, asked the way a
// library asks the system (IsBadReadPtr on Windows, which handles the fault
// itself). Elsewhere no such probe exists and the answer is false.
bool ProbeUnreadable(const void* address, unsigned size);

// Full file name of the module that contains this code (the bridge library,
// or the test program that links the bridge statically), read into a buffer
// of 1024 characters. Empty when the system cannot tell.
std::string ModuleFileName();

// True for the characters that end a module's directory: "\" and ":" on
// Windows, "/" elsewhere.
bool IsDirectoryEnd(char c);

// The modal "Error" box with one OK button and an error icon. On Windows this
// is MessageBoxA; elsewhere one line "Error: <text>" on standard error.
// Tests replace the sink to see what would be shown without blocking.
using MessageSink = void (*)(const char* text);
void ShowErrorBox(const char* text);
MessageSink SetMessageSink(MessageSink sink);  // returns the previous sink
// The system's own box (or line): the sink when no other is set.
void DefaultErrorBox(const char* text);

// One line for a debugger attached to the process (OutputDebugStringA on
// Windows, where a GUI front-end has no standard error); nothing elsewhere.
void DebugOutput(const char* line);

// An auto-reset event: Set() wakes one waiter (or the next one to wait) and
// the signal is consumed by that wait. Not copyable.
class AutoResetEvent {
 public:
  AutoResetEvent();
  ~AutoResetEvent();
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set();
  void Wait();
  // Returns true when signalled, false when the time ran out.
  bool WaitFor(std::chrono::milliseconds timeout);

 private:
  struct State;
  State* state_;
};

// One pointer per thread, with a hook run when a thread that set it ends.
// Get is the hot path: no lock and no system call (a pthread key on Linux, a
// fiber-local slot on Windows). At most one such pointer exists per module
// and slot: the library-use guard's, and the trace's (its thread's buffer).
enum class ThreadSlot { kLibraryUse, kTrace };
using ThreadExitHook = void (*)(void* value);
// false when the system refuses
bool CreateThreadPointer(ThreadExitHook onExit, ThreadSlot slot = ThreadSlot::kLibraryUse);
void* GetThreadPointer(ThreadSlot slot = ThreadSlot::kLibraryUse);
void SetThreadPointer(void* value, ThreadSlot slot = ThreadSlot::kLibraryUse);
// Removes the key when the module leaves the process: no hook runs after.
void DeleteThreadPointer(ThreadSlot slot = ThreadSlot::kLibraryUse);

// Whether a thread that OpenThisThread gave has ended, also when it ended
// without its exit hook (a library ended it inside a call, or the system
// did); a null thread never has. ForgetThread closes the handle.
bool ThreadEnded(void* thread);
void ForgetThread(void* thread);

// The asymmetric fence: after HeavyFence returns, every other thread of the
// process has passed a full memory barrier, so a thread that publishes with
// a plain store and reads with a plain load (ordered only by the compiler)
// is ordered against the caller. Linux: membarrier's private expedited
// command; Windows: FlushProcessWriteBuffers. PrepareHeavyFence registers
// the process once and answers false where the system refuses (an old
// kernel, a sandbox); the callers then use full fences instead.
bool PrepareHeavyFence();
void HeavyFence();

// Whether a thread that is still alive may be joined while its module is
// being unloaded. Windows holds the loader lock during unload, so a join there
// would deadlock; the caller detaches instead after the thread has finished
// its work.
bool CanJoinThreadsDuringUnload();

// The system's id of the calling thread (gettid, GetCurrentThreadId) and of
// the process.
uint32_t OsThreadId();
uint32_t ProcessId();

// A file written only with the system's own calls (write, WriteFile), so a
// thread writing it holds no C runtime or heap lock, and never for longer
// than the wait a write is given where the system can wait with a bound: a
// pipe nobody reads (and, on Windows, a share that hangs) costs the writer
// that wait, not its thread. Create makes a file that did not exist (never truncating one that
// does; nullptr with *exists true when the name is taken); a name that is
// already a pipe (a FIFO, \\.\pipe\...) or a device is opened for writing
// instead. Not copyable; closed by its destructor.
class OutputFile {
 public:
  static OutputFile* Create(const std::string& path, bool* exists);  // nullptr: failed
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Writes at most size bytes at the file's end within waitMs: the bytes
  // written (0 when the destination took nothing in time), -1 on an error.
  long Write(const void* bytes, size_t size, unsigned waitMs);

 private:
  OutputFile() = default;
  struct State;
  State* state_ = nullptr;
};

// A line on standard error with the system's own call: no C runtime lock.
void WriteStandardError(const std::string& line);

// Appends bytes to the file at path (made if missing) with one write on a
// handle opened for appending only, so the system places each write at the
// end: lines from threads (or processes) writing at once never overwrite one
// another. Opened and closed per call; false where it could not be written.
bool AppendToFile(const char* path, const void* bytes, size_t size) noexcept;

// Puts the calling thread at the system's lowest normal priority (a
// background worker that must never take time from the threads it serves).
void LowerThisThreadPriority();

// Whether threads other than the caller may still run while a module's
// exit hook runs at process exit (Linux: yes; Windows ends them first).
bool ThreadsRunDuringExit();

// A thread that must stop where it cannot be joined (under the Windows loader
// lock a thread cannot end: its end needs that lock). The thread opens a
// handle to itself, and when told to, parks for good at a point where it
// holds no lock; the unloading thread then ends it there, so it never runs
// this module's code after the module is unmapped. Elsewhere threads are
// joined instead: no handle, and EndParkedThread does nothing.
void* OpenThisThread();
[[noreturn]] void ParkThisThread();
// Ends a thread that parked (or, past the caller's wait, one that did not),
// waiting up to timeoutMs for it to be gone; closes the handle.
void EndParkedThread(void* thread, unsigned timeoutMs);

}  // namespace platform
