#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform.h"

namespace platform {

LibraryHandle LoadLibraryFile(const std::string& fileName, std::string* whyNot) {
  // No "file not found" dialog: a missing library is reported as a result code.
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // A full path has the library's own folder searched first for the DLLs it
  // imports (as if it were the program), not the JVM's: the file loaded is
  // the same. The flag wants backslashes and is undefined for a relative
  // path, which keeps the plain search.
  const bool full =
      (fileName.size() > 2 && fileName[1] == ':' && (fileName[2] == '\\' || fileName[2] == '/')) ||
      fileName.rfind("\\\\", 0) == 0 || fileName.rfind("//", 0) == 0;
  HMODULE module = nullptr;
  if (full) {
    std::string path = fileName;
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  } else {
    module = LoadLibraryA(fileName.c_str());
  }
  const DWORD error = GetLastError();
  SetErrorMode(previous);
  if (module == nullptr && whyNot != nullptr) {
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
    whyNot->assign("error ").append(std::to_string(error));
    if (n > 0) whyNot->append(": ").append(text, n);
  }
  return reinterpret_cast<LibraryHandle>(module);
}

void* ResolveSymbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool FreeLibraryHandle(LibraryHandle library) {
  FreeLibrary(static_cast<HMODULE>(library));
  // A module's handle is its base address: still answered for, it is still
  // mapped because another module holds it.
  HMODULE still = nullptr;
  return !GetModuleHandleExA(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             static_cast<LPCSTR>(library), &still) ||
         still != static_cast<HMODULE>(library);
}

bool PinThisModule() {
  HMODULE self = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCSTR>(&PinThisModule), &self) != 0;
}

namespace {
DWORD gThreadKeys[2] = {FLS_OUT_OF_INDEXES, FLS_OUT_OF_INDEXES};
ThreadExitHook gThreadExitHooks[2] = {nullptr, nullptr};

// The system's callback convention, around the module's own hook, one per
// slot. It also runs for every thread's value when the slot is freed.
template <int kSlot>
VOID NTAPI OnThreadExit(PVOID value) {
  if (value != nullptr && gThreadExitHooks[kSlot] != nullptr) gThreadExitHooks[kSlot](value);
}
}  // namespace

bool CreateThreadPointer(ThreadExitHook onExit, ThreadSlot slot) {
  const auto i = static_cast<int>(slot);
  if (gThreadKeys[i] != FLS_OUT_OF_INDEXES) return true;
  // A fiber-local slot, for its callback at thread end (plain TLS has none).
  gThreadExitHooks[i] = onExit;
  gThreadKeys[i] = FlsAlloc(i == 0 ? &OnThreadExit<0> : &OnThreadExit<1>);
  return gThreadKeys[i] != FLS_OUT_OF_INDEXES;
}

void* GetThreadPointer(ThreadSlot slot) {
  return FlsGetValue(gThreadKeys[static_cast<int>(slot)]);
}

void SetThreadPointer(void* value, ThreadSlot slot) {
  FlsSetValue(gThreadKeys[static_cast<int>(slot)], value);
}

void DeleteThreadPointer(ThreadSlot slot) {
  const auto i = static_cast<int>(slot);
  if (gThreadKeys[i] != FLS_OUT_OF_INDEXES) FlsFree(gThreadKeys[i]);
  gThreadKeys[i] = FLS_OUT_OF_INDEXES;
}

bool ThreadEnded(void* thread) {
  return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

void ForgetThread(void* thread) {
  if (thread != nullptr) CloseHandle(thread);
}

bool PrepareHeavyFence() {
  return true;
}

void HeavyFence() {
  FlushProcessWriteBuffers();
}

namespace {
std::atomic<unsigned> gMinimumSleepMs{0};
}  // namespace

void SetMinimumSleepForTests(unsigned milliseconds) {
  gMinimumSleepMs.store(milliseconds, std::memory_order_relaxed);
}

void SleepMs(unsigned milliseconds) {
  milliseconds = std::max(milliseconds, gMinimumSleepMs.load(std::memory_order_relaxed));
  Sleep(milliseconds);
}

bool ProbeUnreadable(const void* address, unsigned size) {
  return IsBadReadPtr(address, size) != 0;
}

std::string ModuleFileName() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ModuleFileName), &self))
    return {};
  char buffer[1024];
  DWORD length = GetModuleFileNameA(self, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return {};
  return std::string(buffer, length);
}

bool IsDirectoryEnd(char c) {
  return c == '\\' || c == ':';
}

void DefaultErrorBox(const char* text) {
  MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONERROR);
}

void DebugOutput(const char* line) {
  OutputDebugStringA(line);
}

struct AutoResetEvent::State {
  HANDLE event;
};

AutoResetEvent::AutoResetEvent()
    : state_(new State{CreateEventA(nullptr, FALSE, FALSE, nullptr)}) {}

AutoResetEvent::~AutoResetEvent() {
  if (state_->event != nullptr) CloseHandle(state_->event);
  delete state_;
}

void AutoResetEvent::Set() {
  SetEvent(state_->event);
}

void AutoResetEvent::Wait() {
  WaitForSingleObject(state_->event, INFINITE);
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
  return WaitForSingleObject(state_->event, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

bool CanJoinThreadsDuringUnload() {
  return false;
}

}  // namespace platform

namespace platform {

uint32_t OsThreadId() {
  return static_cast<uint32_t>(GetCurrentThreadId());
}

uint32_t ProcessId() {
  return static_cast<uint32_t>(GetCurrentProcessId());
}

void* OpenThisThread() {
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                       FALSE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  return self;
}

void ParkThisThread() {
  for (;;) Sleep(INFINITE);
}

void EndParkedThread(void* thread, unsigned timeoutMs) {
  if (thread == nullptr) return;
  TerminateThread(static_cast<HANDLE>(thread), 0);
  WaitForSingleObject(static_cast<HANDLE>(thread), timeoutMs);
  CloseHandle(static_cast<HANDLE>(thread));
}

bool ThreadsRunDuringExit() {
  return false;
}

void LowerThisThreadPriority() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}

}  // namespace platform
