#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform.h"

namespace platform {

LibraryHandle LoadLibraryFile(const std::string& fileName, std::string* whyNot) {
  // RTLD_LOCAL keeps the trading library's names out of the global scope, so
  // a second library (or the JVM) can never bind to them by accident.
  void* library = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && whyNot != nullptr) {
    const char* text = dlerror();  // this thread's last dl error
    *whyNot = text != nullptr ? text : "unknown error";
  }
  return library;
}

void* ResolveSymbol(LibraryHandle library, const char* name) {
  return dlsym(library, name);
}

bool FreeLibraryHandle(LibraryHandle library) {
  // An address inside the library, taken while the reference is ours: after
  // the close the system places it in a module only while that stays mapped.
  link_map* map = nullptr;
  const void* inside = dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr
                           ? static_cast<const void*>(map->l_ld)
                           : nullptr;
  dlclose(library);
  Dl_info info{};
  return inside == nullptr || dladdr(inside, &info) == 0;
}

bool PinThisModule() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinThisModule), &info) == 0 || info.dli_fname == nullptr)
    return false;
  // Marks the loaded module as never to be unmapped; the reference this
  // takes is never given back.
  return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

namespace {
pthread_key_t gThreadKeys[2];
bool gThreadKeysMade[2] = {false, false};
}  // namespace

bool CreateThreadPointer(ThreadExitHook onExit, ThreadSlot slot) {
  const auto i = static_cast<int>(slot);
  if (gThreadKeysMade[i]) return true;
  gThreadKeysMade[i] = pthread_key_create(&gThreadKeys[i], onExit) == 0;
  return gThreadKeysMade[i];
}

void* GetThreadPointer(ThreadSlot slot) {
  return pthread_getspecific(gThreadKeys[static_cast<int>(slot)]);
}

void SetThreadPointer(void* value, ThreadSlot slot) {
  pthread_setspecific(gThreadKeys[static_cast<int>(slot)], value);
}

void DeleteThreadPointer(ThreadSlot slot) {
  const auto i = static_cast<int>(slot);
  if (gThreadKeysMade[i]) pthread_key_delete(gThreadKeys[i]);
  gThreadKeysMade[i] = false;
}

// A thread that ends runs its key hooks (pthread_exit unwinds its frames
// first), so no thread is held.
bool ThreadEnded(void*) {
  return false;
}

void ForgetThread(void*) {}

bool PrepareHeavyFence() {
  return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

void HeavyFence() {
  syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
}

bool ProbeUnreadable(const void*, unsigned) {
  return false;
}

namespace {
std::atomic<unsigned> gMinimumSleepMs{0};
}  // namespace

void SetMinimumSleepForTests(unsigned milliseconds) {
  gMinimumSleepMs.store(milliseconds, std::memory_order_relaxed);
}

void SleepMs(unsigned milliseconds) {
  milliseconds = std::max(milliseconds, gMinimumSleepMs.load(std::memory_order_relaxed));
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

std::string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::string name(info.dli_fname);
  if (name.size() > 1023) name.resize(1023);  // the same bound as the Windows buffer
  return name;
}

bool IsDirectoryEnd(char c) {
  return c == '/';
}

void DefaultErrorBox(const char* text) {
  std::fprintf(stderr, "Error: %s\n", text);
}

void DebugOutput(const char*) {}

struct AutoResetEvent::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
};

AutoResetEvent::AutoResetEvent() : state_(new State) {}
AutoResetEvent::~AutoResetEvent() {
  delete state_;
}

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->signalled = true;
  }
  state_->cv.notify_one();
}

void AutoResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->cv.wait(lock, [this] { return state_->signalled; });
  state_->signalled = false;
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (!state_->cv.wait_for(lock, timeout, [this] { return state_->signalled; })) return false;
  state_->signalled = false;
  return true;
}

bool CanJoinThreadsDuringUnload() {
  return true;
}

}  // namespace platform

namespace platform {

uint32_t OsThreadId() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

uint32_t ProcessId() {
  return static_cast<uint32_t>(getpid());
}

void* OpenThisThread() {
  return nullptr;
}

void ParkThisThread() {
  for (;;) pause();
}

void EndParkedThread(void*, unsigned) {}

bool ThreadsRunDuringExit() {
  return true;
}

void LowerThisThreadPriority() {
  // On Linux a nice value belongs to the thread named by its id.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
}

}  // namespace platform
