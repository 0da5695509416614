// The library host is not built for Windows yet: every start fails, so
// JAVAWRAPPER_HOST=always gives 55 with the reason, and auto stays in-process.
#include <windows.h>

#include "platform/host_link.h"

namespace platform {

bool SpawnHost(const std::string&, HostProcess*, std::string* whyNot) {
  *whyNot = "the library host is not available on Windows yet";
  return false;
}
void* CreateSharedMemory(size_t, int*) {
  return nullptr;
}
void* MapSharedMemory(int, size_t) {
  return nullptr;
}
void UnmapSharedMemory(void*, size_t) {}
void CloseDescriptor(int) {}
bool SendOnSocket(int, const void*, size_t, int) {
  return false;
}
long ReceiveFromSocket(int, void*, size_t, int, int* handle) {
  if (handle != nullptr) *handle = -1;
  return 0;
}
void WaitOnWord(std::atomic<uint32_t>*, uint32_t, unsigned timeoutMs) {
  Sleep(timeoutMs);
}
void WakeWord(std::atomic<uint32_t>*) {}
bool HostEnded(int, bool, std::string* how) {
  *how = "gone";
  return true;
}
void KillHost(int) {}
bool SetThreadEndHook(void (*)(void*), void*) {
  return false;
}
void ForgetThreadEndHooks() {}
void EndWithParent() {}
void CloseDescriptorsAbove(int) {}

}  // namespace platform
