// What the library host needs from the system: starting the host process,
// shared memory handed to it alone, wake-ups across the two processes, and
// the host's own end when the bridge's process goes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The bridge's side of a started host: its process and the bridge's end of
// the socket joined to it (the host's end is its descriptor 3).
struct HostProcess {
  int pid = -1;
  int socket = -1;
};

// The host executable's file name for a library of bits (32 or 64), beside
// the bridge.
const char* HostFileName(int bits);

// Starts exe (posix_spawn: nothing of this process is duplicated but the
// socket end) with the process's environment and directory. False with the
// system's reason.
bool SpawnHost(const std::string& exe, HostProcess* out, std::string* whyNot);

// Shared memory of bytes, zeroed, as an anonymous file only its descriptor
// reaches. Returns the mapping, or nullptr; *handle receives the descriptor.
// wakeWords are the offsets (ascending) of the words WaitOnWord and WakeWord
// are used on; where the system needs an object per word (Windows: a pair of
// events), each is made here and handed to the host with the memory.
void* CreateSharedMemory(size_t bytes, int* handle, const uint32_t* wakeWords, int wakeCount);
void* MapSharedMemory(int handle, size_t bytes);  // the host's side
void UnmapSharedMemory(void* address, size_t bytes);
void CloseDescriptor(int handle);

// One message on the socket, optionally carrying a descriptor. Receive waits
// up to timeoutMs (negative: without limit) and returns the bytes read, 0 at
// the other end's close, -1 on a timeout or an error; *handle (when given)
// receives a descriptor that came with it, else -1.
bool SendOnSocket(int socket, const void* bytes, size_t length, int handle = -1);
long ReceiveFromSocket(int socket, void* bytes, size_t capacity, int timeoutMs,
                       int* handle = nullptr);

// Cross-process wake-ups on a 32-bit word of shared memory: Wait returns when
// the word no longer holds expected, on a wake, or after timeoutMs.
void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, unsigned timeoutMs);
void WakeWord(std::atomic<uint32_t>* word);

// Whether the host has ended: true once it has, with how (e.g. "exit status
// 3", "signal 9 (Killed)"); reaps it. block waits for it.
bool HostEnded(int pid, bool block, std::string* how);
// Whether the host has ended, without reaping it (its reader does that):
// for a caller that cannot count on the reader to notice, the reader itself
// among them. *how as HostEnded gives it.
bool HostHasEnded(int pid, std::string* how);
void KillHost(int pid);
// The exit code KillHost leaves where the system has no signals.
inline constexpr unsigned kKilledExitCode = 137;

// A hook run with value when the calling thread ends (a key of its own, apart
// from the loader's thread pointer). False when the system refuses.
bool SetThreadEndHook(void (*hook)(void*), void* value);
// Drops every thread's hook without running it (the bridge is leaving); a
// later SetThreadEndHook starts afresh.
void ForgetThreadEndHooks();

// The host's side: end when the parent process ends, and close every
// descriptor above keepUpTo that the parent's process may have left open.
void EndWithParent();
void CloseDescriptorsAbove(int keepUpTo);
// The host's side of its channel, from its command line (Windows: the pipe
// handles it inherited); on Linux the socket is descriptor 3, and the host
// has ended with its parent and closed what else it inherited. -1: none.
int HostSocket(int argc, char** argv);

}  // namespace platform
