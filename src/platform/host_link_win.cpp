// The library host's system services on Windows: CreateProcess with only the
// named handles inherited, an unnamed section and a pair of anonymous pipes
// for the channel, a pair of events per shared word for the wake-ups, and a
// job object that ends the host with the bridge's process.
//
// The ints of the interface: a section is its handle's value (kernel handles
// keep to 32 bits in both bitnesses, and are multiples of 4); a channel (the
// "socket") is an odd number naming an entry of this file's own table; a
// host is its process id.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/host_link.h"
#include "platform/platform.h"

namespace platform {
namespace {

HANDLE ToHandle(int value) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}
int FromHandle(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

std::string SystemError(const char* what) {
  return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

// The tables below, and their lock, are never destroyed: a thread-end hook
// may reach them while the process's static objects go.
std::mutex& gLock = *new std::mutex;

// Channels: the read end of one pipe and the write end of the other.
struct Channel {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  HANDLE process = nullptr;  // the host's, on the bridge's side (not owned)
  bool used = false;
};
constexpr int kChannels = 16;
Channel gChannels[kChannels];

Channel* ChannelOf(int id) {
  const int i = (id - 1) / 2;
  if (id <= 0 || id % 2 == 0 || i >= kChannels || !gChannels[i].used) return nullptr;
  return &gChannels[i];
}
int AddChannel(HANDLE read, HANDLE write, HANDLE process) {
  std::lock_guard<std::mutex> lock(gLock);
  for (int i = 0; i < kChannels; ++i) {
    if (gChannels[i].used) continue;
    gChannels[i] = {read, write, process, true};
    return 2 * i + 1;
  }
  return -1;
}

// Started hosts: their process and job handles by process id.
struct Started {
  DWORD pid = 0;
  HANDLE process = nullptr;
  HANDLE job = nullptr;
};
std::vector<Started>& gStarted = *new std::vector<Started>;

// A mapping and the wake-ups of its shared words. The section's tail, past
// the caller's bytes, carries the table the host reads: [magic][count] then
// per word [offset][event the bridge waits on][event the host waits on], the
// handles as the host's own.
constexpr uint32_t kTableMagic = 0x4A574557;  // "JWEW"
constexpr size_t kTableBytes = 4096;
constexpr int kMaxWords = (kTableBytes - 8) / 12;
struct Mapping {
  unsigned char* base = nullptr;
  size_t bytes = 0;
  HANDLE section = nullptr;  // the bridge's, until CloseDescriptor
  bool isHost = false;
  int count = 0;
  uint32_t offsets[kMaxWords] = {};
  HANDLE events[kMaxWords][2] = {};  // [0] the bridge waits on it, [1] the host
};
std::vector<Mapping*>& gMappings = *new std::vector<Mapping*>;

size_t Rounded(size_t bytes) {
  return (bytes + 65535) & ~size_t{65535};
}

Mapping* MappingOf(const void* word) {
  const auto* p = static_cast<const unsigned char*>(word);
  for (Mapping* m : gMappings)
    if (p >= m->base && p < m->base + m->bytes) return m;
  return nullptr;
}

// The pair of events of a shared word, or nullptr for a word with none.
HANDLE* EventsOf(const void* word) {
  std::lock_guard<std::mutex> lock(gLock);
  Mapping* m = MappingOf(word);
  if (m == nullptr) return nullptr;
  const auto offset = static_cast<uint32_t>(static_cast<const unsigned char*>(word) - m->base);
  int low = 0, high = m->count;
  while (low < high) {
    const int mid = (low + high) / 2;
    if (m->offsets[mid] < offset) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low < m->count && m->offsets[low] == offset ? m->events[low] : nullptr;
}

bool IsHostSide(const void* word) {
  std::lock_guard<std::mutex> lock(gLock);
  Mapping* m = MappingOf(word);
  return m != nullptr && m->isHost;
}

// Whole reads and writes on a pipe: false at its other end's close.
bool ReadAll(HANDLE pipe, void* bytes, DWORD length) {
  auto* p = static_cast<unsigned char*>(bytes);
  while (length > 0) {
    DWORD n = 0;
    if (!ReadFile(pipe, p, length, &n, nullptr) || n == 0) return false;
    p += n;
    length -= n;
  }
  return true;
}

}  // namespace

const char* HostFileName(int bits) {
  return bits == 32 ? "JavaWrapperHost32.exe" : "JavaWrapperHost64.exe";
}

bool SpawnHost(const std::string& exe, HostProcess* out, std::string* whyNot) {
  // Two pipes, neither end inheritable; the host's two ends are then made
  // inheritable and named in the handle list, so nothing else passes.
  HANDLE toHostRead, toHostWrite, fromHostRead, fromHostWrite;
  if (!CreatePipe(&toHostRead, &toHostWrite, nullptr, 0)) {
    *whyNot = SystemError("CreatePipe");
    return false;
  }
  if (!CreatePipe(&fromHostRead, &fromHostWrite, nullptr, 0)) {
    *whyNot = SystemError("CreatePipe");
    CloseHandle(toHostRead);
    CloseHandle(toHostWrite);
    return false;
  }
  HANDLE inherited[3] = {toHostRead, fromHostWrite, nullptr};
  DWORD count = 2;
  SetHandleInformation(toHostRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(fromHostWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  // The library's diagnostics go where the bridge's own do.
  HANDLE error = nullptr;
  const HANDLE ownError = GetStdHandle(STD_ERROR_HANDLE);
  if (ownError != nullptr && ownError != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), ownError, GetCurrentProcess(), &error, 0, TRUE,
                      DUPLICATE_SAME_ACCESS)) {
    inherited[count++] = error;
  }
  auto closeAll = [&] {
    CloseHandle(toHostRead);
    CloseHandle(fromHostWrite);
    if (error != nullptr) CloseHandle(error);
  };
  SIZE_T attributeBytes = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeBytes);
  std::vector<unsigned char> attributeMemory(attributeBytes);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeMemory.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &attributeBytes) ||
      !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 count * sizeof(HANDLE), nullptr, nullptr)) {
    *whyNot = SystemError("the handle list");
    closeAll();
    CloseHandle(toHostWrite);
    CloseHandle(fromHostRead);
    return false;
  }
  STARTUPINFOEXA info{};
  info.StartupInfo.cb = sizeof info;
  info.lpAttributeList = attributes;
  if (error != nullptr) {
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdError = error;
    info.StartupInfo.hStdOutput = error;
    info.StartupInfo.hStdInput = nullptr;
  }
  std::string commandLine = "\"" + exe + "\" " + std::to_string(FromHandle(toHostRead)) + " " +
                            std::to_string(FromHandle(fromHostWrite));
  PROCESS_INFORMATION process{};
  // Suspended until it is in the job; the JVM's environment and directory.
  const BOOL started =
      CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                     EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                     nullptr, &info.StartupInfo, &process);
  DeleteProcThreadAttributeList(attributes);
  closeAll();
  if (!started) {
    *whyNot = exe + ": " + SystemError("CreateProcess");
    CloseHandle(toHostWrite);
    CloseHandle(fromHostRead);
    return false;
  }
  // The host ends when the last handle to its job closes: with this process.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, process.hProcess)) {
      // Not in a job (one that forbids nesting): the pipe's end still ends it.
      CloseHandle(job);
      job = nullptr;
    }
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  const int channel = AddChannel(fromHostRead, toHostWrite, process.hProcess);
  if (channel < 0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    if (job != nullptr) CloseHandle(job);
    CloseHandle(toHostWrite);
    CloseHandle(fromHostRead);
    *whyNot = "too many library hosts";
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(gLock);
    gStarted.push_back({process.dwProcessId, process.hProcess, job});
  }
  out->pid = static_cast<int>(process.dwProcessId);
  out->socket = channel;
  return true;
}

int HostSocket(int argc, char** argv) {
  if (argc < 3) return -1;
  const HANDLE read = ToHandle(std::atoi(argv[1]));
  const HANDLE write = ToHandle(std::atoi(argv[2]));
  // Not passed on to the library's own children.
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
  return AddChannel(read, write, nullptr);
}

void* CreateSharedMemory(size_t bytes, int* handle, const uint32_t* wakeWords, int wakeCount) {
  if (wakeCount > kMaxWords) return nullptr;
  auto* m = new (std::nothrow) Mapping;
  if (m == nullptr) return nullptr;
  const size_t total = Rounded(bytes) + kTableBytes;
  // Unnamed: only a handle reaches it, and only the host is given one.
  m->section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(static_cast<uint64_t>(total) >> 32),
                                  static_cast<DWORD>(total), nullptr);
  if (m->section == nullptr) {
    delete m;
    return nullptr;
  }
  m->base = static_cast<unsigned char*>(MapViewOfFile(m->section, FILE_MAP_WRITE, 0, 0, total));
  bool ok = m->base != nullptr;
  m->bytes = total;
  m->count = wakeCount;
  for (int i = 0; i < wakeCount && ok; ++i) {
    m->offsets[i] = wakeWords[i];
    ok = (i == 0 || wakeWords[i] > wakeWords[i - 1]) && wakeWords[i] + 4 <= bytes;
    for (HANDLE& e : m->events[i]) {
      e = ok ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
      ok = ok && e != nullptr;
    }
  }
  if (!ok) {
    for (auto& pair : m->events)
      for (HANDLE e : pair)
        if (e != nullptr) CloseHandle(e);
    if (m->base != nullptr) UnmapViewOfFile(m->base);
    CloseHandle(m->section);
    delete m;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(gLock);
  gMappings.push_back(m);
  *handle = FromHandle(m->section);
  return m->base;
}

void* MapSharedMemory(int handle, size_t bytes) {
  const size_t total = Rounded(bytes) + kTableBytes;
  auto* base =
      static_cast<unsigned char*>(MapViewOfFile(ToHandle(handle), FILE_MAP_WRITE, 0, 0, total));
  if (base == nullptr) return nullptr;
  auto* m = new (std::nothrow) Mapping;
  if (m == nullptr) {
    UnmapViewOfFile(base);
    return nullptr;
  }
  m->base = base;
  m->bytes = total;
  m->isHost = true;
  const unsigned char* table = base + Rounded(bytes);
  uint32_t header[2];
  std::memcpy(header, table, 8);
  if (header[0] == kTableMagic && header[1] <= static_cast<uint32_t>(kMaxWords)) {
    m->count = static_cast<int>(header[1]);
    for (int i = 0; i < m->count; ++i) {
      uint32_t entry[3];
      std::memcpy(entry, table + 8 + 12 * i, 12);
      m->offsets[i] = entry[0];
      m->events[i][0] = ToHandle(static_cast<int>(entry[1]));
      m->events[i][1] = ToHandle(static_cast<int>(entry[2]));
    }
  }
  std::lock_guard<std::mutex> lock(gLock);
  gMappings.push_back(m);
  return base;
}

void UnmapSharedMemory(void* address, size_t) {
  if (address == nullptr) return;
  Mapping* m = nullptr;
  {
    std::lock_guard<std::mutex> lock(gLock);
    for (size_t i = 0; i < gMappings.size(); ++i) {
      if (gMappings[i]->base != address) continue;
      m = gMappings[i];
      gMappings.erase(gMappings.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (m == nullptr) return;
  UnmapViewOfFile(m->base);
  for (int i = 0; i < m->count; ++i)
    for (HANDLE e : m->events[i])
      if (e != nullptr) CloseHandle(e);
  delete m;
}

void CloseDescriptor(int handle) {
  if (handle <= 0) return;
  if (handle % 2 == 1) {
    std::lock_guard<std::mutex> lock(gLock);
    if (Channel* c = ChannelOf(handle)) {
      CloseHandle(c->read);
      CloseHandle(c->write);
      *c = Channel{};
    }
    return;
  }
  CloseHandle(ToHandle(handle));
}

// A message is [uint32 length][int32 handle, as the receiver's][bytes]. A
// section sent with one is duplicated into the host with its events, whose
// handles go into the section's table first.
bool SendOnSocket(int socket, const void* bytes, size_t length, int handle) {
  HANDLE write, process;
  {
    std::lock_guard<std::mutex> lock(gLock);
    Channel* c = ChannelOf(socket);
    if (c == nullptr) return false;
    write = c->write;
    process = c->process;
  }
  int32_t theirs = -1;
  if (handle >= 0) {
    if (process == nullptr) return false;
    auto give = [&](HANDLE mine) -> uint32_t {
      HANDLE copy = nullptr;
      if (!DuplicateHandle(GetCurrentProcess(), mine, process, &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return 0;
      return static_cast<uint32_t>(FromHandle(copy));
    };
    std::lock_guard<std::mutex> lock(gLock);
    Mapping* m = nullptr;
    for (Mapping* each : gMappings)
      if (each->section == ToHandle(handle)) m = each;
    if (m == nullptr) return false;
    unsigned char* table = m->base + m->bytes - kTableBytes;
    for (int i = 0; i < m->count; ++i) {
      const uint32_t entry[3] = {m->offsets[i], give(m->events[i][0]), give(m->events[i][1])};
      if (entry[1] == 0 || entry[2] == 0) return false;
      std::memcpy(table + 8 + 12 * i, entry, 12);
    }
    const uint32_t header[2] = {kTableMagic, static_cast<uint32_t>(m->count)};
    std::memcpy(table, header, 8);
    theirs = static_cast<int32_t>(give(m->section));
    if (theirs == 0) return false;
  }
  std::vector<unsigned char> message(8 + length);
  const uint32_t header[2] = {static_cast<uint32_t>(length), static_cast<uint32_t>(theirs)};
  std::memcpy(message.data(), header, 8);
  if (length > 0) std::memcpy(message.data() + 8, bytes, length);
  DWORD n = 0;
  return WriteFile(write, message.data(), static_cast<DWORD>(message.size()), &n, nullptr) &&
         n == message.size();
}

long ReceiveFromSocket(int socket, void* bytes, size_t capacity, int timeoutMs, int* handle) {
  if (handle != nullptr) *handle = -1;
  HANDLE read;
  {
    std::lock_guard<std::mutex> lock(gLock);
    Channel* c = ChannelOf(socket);
    if (c == nullptr) return 0;
    read = c->read;
  }
  if (timeoutMs >= 0) {
    // Anonymous pipes have no timed read: the header is awaited by peeking.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
      if (available >= 8) break;
      if (GetTickCount64() >= deadline) return -1;
      Sleep(1);
    }
  }
  uint32_t header[2];
  if (!ReadAll(read, header, 8)) return 0;
  std::vector<unsigned char> payload(header[0]);
  if (header[0] > 0 && !ReadAll(read, payload.data(), header[0])) return 0;
  const size_t n = std::min<size_t>(capacity, header[0]);
  if (n > 0) std::memcpy(bytes, payload.data(), n);
  const int passed = static_cast<int>(header[1]);
  if (passed > 0) {
    if (handle != nullptr) {
      *handle = passed;
    } else {
      CloseHandle(ToHandle(passed));  // nothing asked for it
    }
  }
  return static_cast<long>(n);
}

void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, unsigned timeoutMs) {
  HANDLE* events = EventsOf(word);
  if (events == nullptr) {
    Sleep(timeoutMs < 1 ? timeoutMs : 1);
    return;
  }
  // Auto-reset: a wake between this test and the wait stays set for it.
  if (word->load() != expected) return;
  WaitForSingleObject(events[IsHostSide(word) ? 1 : 0], timeoutMs);
}

void WakeWord(std::atomic<uint32_t>* word) {
  HANDLE* events = EventsOf(word);
  if (events == nullptr) return;
  // The other process's sleeper only: each set is a trip through the system.
  // This process's own sleepers (the bridge's callers when its host has gone)
  // wait in bounded steps and look again.
  SetEvent(events[IsHostSide(word) ? 0 : 1]);
}

namespace {
std::string ExitText(DWORD code) {
  if (code < 0xC0000000u) return "exit status " + std::to_string(code);
  char text[32];
  std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
  return text;
}
}  // namespace

bool HostEnded(int pid, bool block, std::string* how) {
  Started host;
  {
    std::lock_guard<std::mutex> lock(gLock);
    for (const Started& s : gStarted)
      if (s.pid == static_cast<DWORD>(pid)) host = s;
  }
  if (host.process == nullptr) {
    *how = "gone";
    return true;
  }
  if (WaitForSingleObject(host.process, block ? INFINITE : 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(host.process, &code);
  *how = ExitText(code);
  std::lock_guard<std::mutex> lock(gLock);
  for (size_t i = 0; i < gStarted.size(); ++i) {
    if (gStarted[i].pid != host.pid) continue;
    CloseHandle(gStarted[i].process);
    if (gStarted[i].job != nullptr) CloseHandle(gStarted[i].job);
    gStarted.erase(gStarted.begin() + static_cast<std::ptrdiff_t>(i));
    break;
  }
  return true;
}

bool HostHasEnded(int pid, std::string* how) {
  std::lock_guard<std::mutex> lock(gLock);
  for (const Started& s : gStarted) {
    if (s.pid != static_cast<DWORD>(pid)) continue;
    if (WaitForSingleObject(s.process, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(s.process, &code);
    *how = ExitText(code);
    return true;
  }
  *how = "gone";  // reaped already
  return true;
}

void KillHost(int pid) {
  std::lock_guard<std::mutex> lock(gLock);
  for (const Started& s : gStarted)
    if (s.pid == static_cast<DWORD>(pid)) TerminateProcess(s.process, kKilledExitCode);
}

namespace {
DWORD gEndKey = FLS_OUT_OF_INDEXES;
std::once_flag gEndOnce;
VOID NTAPI RunEndHook(PVOID value) {
  if (value == nullptr) return;
  auto* hook = static_cast<void**>(value);
  reinterpret_cast<void (*)(void*)>(hook[0])(hook[1]);
  delete[] hook;
}
}  // namespace

bool SetThreadEndHook(void (*hook)(void*), void* value) {
  // The callback runs at each thread's end for the life of the process: the
  // module stays mapped once it has asked for one.
  std::call_once(gEndOnce, [] {
    if (PinThisModule()) gEndKey = FlsAlloc(&RunEndHook);
  });
  if (gEndKey == FLS_OUT_OF_INDEXES) return false;
  void** pair = new (std::nothrow) void*[2];
  if (pair == nullptr) return false;
  pair[0] = reinterpret_cast<void*>(hook);
  pair[1] = value;
  delete[] static_cast<void**>(FlsGetValue(gEndKey));
  return FlsSetValue(gEndKey, pair) != 0;
}

// The job object and the channel's end stand for these on Windows.
// Nothing to forget: the module stays mapped once a hook was asked for.
void ForgetThreadEndHooks() {}
void EndWithParent() {}
void CloseDescriptorsAbove(int) {}

}  // namespace platform
