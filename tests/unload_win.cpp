// The bridge DLL loaded and freed as a host that is not a JVM does it: after
// a session was opened on this thread (which stays alive), FreeLibrary
// returns promptly and the DLL leaves the process, round after round, with
// tracing on when a directory for the traces is given: each round's file is
// whole, so the writer finished before the bridge was unmapped. Then as a JVM
// unloads it while another module holds the trading library, and with the
// trace going to a pipe nobody reads. Not linked with the bridge's objects:
// everything goes through the DLL.
#include <jni.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_jni.h"

namespace {
using Initialise = jint(JNICALL*)(JNIEnv*, jobject, jstring, jstring, jboolean, jboolean, jboolean,
                                  jstring, jbyte, jstring, jstring);
using AddOrder = jint(JNICALL*)(JNIEnv*, jobject, jbyteArray);
using Logoff = jint(JNICALL*)(JNIEnv*, jobject);

template <typename Function>
Function Export(HMODULE module, const char* name) {
  // Through void (*)(): the one cast between function types GCC takes as meant.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct LogoffCall {
  Logoff logoff;
  JNIEnv* env;
  jobject self;
};
DWORD WINAPI CallLogoff(LPVOID call) {
  auto* c = static_cast<LogoffCall*>(call);
  c->logoff(c->env, c->self);
  return 0;
}

DWORD WINAPI FreeBridge(LPVOID module) {
  FreeLibrary(static_cast<HMODULE>(module));
  return 0;
}

[[noreturn]] void Fail(int round, const char* what) {
  std::printf("round %d: %s\n", round, what);
  std::fflush(stdout);
  // Not ExitProcess: a FreeLibrary stuck under the loader lock would hold it.
  TerminateProcess(GetCurrentProcess(), 1);
  std::abort();
}
bool EndsWithBracket(const std::string& file) {
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) return false;
  char tail[2] = {};
  const bool whole = std::fseek(f, -2, SEEK_END) == 0 && std::fread(tail, 1, 2, f) == 2 &&
                     tail[0] == ']' && tail[1] == '\n';
  std::fclose(f);
  return whole;
}

// A named pipe whose server never reads stands for a share that stalls: with
// the trace going there, logoff and then a host's FreeLibrary each return
// within their bound (the writer gives up on the pipe; it is ended only once
// parked), and the bridge leaves the process.
// The threads of this process now.
int Threads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snapshot);
  return n;
}

void StalledPipe(const std::string& directory) {
  const int threadsBefore = Threads();
  const std::string pipe = "\\\\.\\pipe\\jw-stalled-" + std::to_string(GetCurrentProcessId());
  _putenv(("JAVAWRAPPER_TRACE=" + pipe).c_str());
  std::vector<HANDLE> servers;
  HMODULE bridge = LoadLibraryA((directory + "JavaWrapper.dll").c_str());
  if (bridge == nullptr) Fail(0, "JavaWrapper.dll did not load");
  auto initialise = Export<Initialise>(bridge, "Java_korvane_api_delphi_ClientAPI_initialise");
  auto addOrder = Export<AddOrder>(bridge, "Java_korvane_api_delphi_ClientAPI_addOrder");
  auto logoff = Export<Logoff>(bridge, "Java_korvane_api_delphi_ClientAPI_logoff");
  if (initialise == nullptr || addOrder == nullptr || logoff == nullptr)
    Fail(0, "a native of the bridge is not exported");
  for (const bool unload : {false, true}) {
    // A pipe instance of its own for each session's trace, never read.
    servers.push_back(CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096,
                                       4096, 0, nullptr));
    if (servers.back() == INVALID_HANDLE_VALUE) Fail(0, "the named pipe was not created");
    fake::FakeJni jni;
    jobject self = jni.NewObject();
    if (initialise(jni.env(), self, jni.NewString(directory), jni.NewString(""), JNI_FALSE,
                   JNI_FALSE, JNI_TRUE, jni.NewString("init-1"), 7, jni.NewString("app"),
                   jni.NewString("init-2")) != 0)
      Fail(0, "initialise with the trace on a stalled pipe did not give 0");
    // Far more than the pipe holds: each is a line of some 2,000 bytes.
    jbyteArray order = jni.NewByteArray(957, 0x31);
    for (int i = 0; i < 200; ++i) addOrder(jni.env(), self, order);
    LogoffCall call{logoff, jni.env(), self};
    HANDLE ending = unload ? CreateThread(nullptr, 0, FreeBridge, bridge, 0, nullptr)
                           : CreateThread(nullptr, 0, CallLogoff, &call, 0, nullptr);
    if (WaitForSingleObject(ending, 15000) != WAIT_OBJECT_0)
      Fail(0, unload ? "FreeLibrary did not return within 15 s with the trace's pipe stalled"
                     : "logoff did not return within 15 s with the trace's pipe stalled");
    CloseHandle(ending);
  }
  if (GetModuleHandleA("JavaWrapper.dll") != nullptr)
    Fail(0, "JavaWrapper.dll is still mapped after FreeLibrary with a stalled trace");
  // No thread of the bridge left running in its unmapped code (the trace's
  // writer is ended once it parked, and only then).
  for (int waited = 0; Threads() > threadsBefore; waited += 10) {
    if (waited >= 5000) Fail(0, "a thread outlived the bridge's FreeLibrary");
    Sleep(10);
  }
  for (HANDLE server : servers) CloseHandle(server);
  _putenv("JAVAWRAPPER_TRACE=");
  std::printf("stalled pipe: logoff and FreeLibrary returned within their bound\n");
}
}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string directory(self, length);
  directory.resize(directory.find_last_of('\\') + 1);
  const bool traced = argc > 2;  // argv[2]: the directory for each round's trace
  for (int round = 1; round <= rounds; ++round) {
    const std::string trace = traced ? argv[2] + ("\\round" + std::to_string(round) + ".json") : "";
    if (traced) {
      DeleteFileA(trace.c_str());
      _putenv(("JAVAWRAPPER_TRACE=" + trace).c_str());
    }
    HMODULE bridge = LoadLibraryA((directory + "JavaWrapper.dll").c_str());
    if (bridge == nullptr) Fail(round, "JavaWrapper.dll did not load");
    // Through void (*)(): the one cast between function types GCC takes as meant.
    auto initialise = reinterpret_cast<Initialise>(reinterpret_cast<void (*)()>(
        GetProcAddress(bridge, "Java_korvane_api_delphi_ClientAPI_initialise")));
    if (initialise == nullptr) Fail(round, "initialise is not exported");
    {
      fake::FakeJni jni;
      const jint code =
          initialise(jni.env(), jni.NewObject(), jni.NewString(directory), jni.NewString(""),
                     JNI_FALSE, JNI_FALSE, JNI_TRUE, jni.NewString("init-1"), 7,
                     jni.NewString("app"), jni.NewString("init-2"));
      if (code != 0) Fail(round, "initialise did not give 0");
    }
    // The trading library stays loaded: the bridge's own unloading takes it.
    HANDLE freeing = CreateThread(nullptr, 0, FreeBridge, bridge, 0, nullptr);
    if (WaitForSingleObject(freeing, 10000) != WAIT_OBJECT_0)
      Fail(round, "FreeLibrary did not return within 10 s");
    CloseHandle(freeing);
    if (GetModuleHandleA("JavaWrapper.dll") != nullptr)
      Fail(round, "JavaWrapper.dll is still mapped after FreeLibrary");
    // The trace's writer finished before the bridge went: the file is whole.
    if (traced && !EndsWithBracket(trace)) Fail(round, "the trace file lacks its closing ]");
  }
  std::printf("%d rounds: every FreeLibrary returned and unmapped the bridge\n", rounds);
  StalledPipe(directory);

  // As a JVM unloads it (the unload hook, then FreeLibrary) while this
  // program also holds the trading library and its threads keep calling
  // back: the bridge stays mapped under them, and the process lives on.
  HMODULE library = LoadLibraryA((directory + "QUORAPI.DLL").c_str());
  HMODULE bridge = LoadLibraryA((directory + "JavaWrapper.dll").c_str());
  auto initialise = reinterpret_cast<Initialise>(reinterpret_cast<void (*)()>(
      GetProcAddress(bridge, "Java_korvane_api_delphi_ClientAPI_initialise")));
  auto onUnload = reinterpret_cast<void(JNICALL*)(JavaVM*, void*)>(
      reinterpret_cast<void (*)()>(GetProcAddress(bridge, "JNI_OnUnload")));
  auto fireStream = reinterpret_cast<int32_t (*)(int32_t, int32_t, int32_t, int32_t)>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "simFireStream")));
  auto reset = reinterpret_cast<void (*)()>(GetProcAddress(library, "simReset"));
  if (initialise == nullptr || onUnload == nullptr || fireStream == nullptr || reset == nullptr)
    Fail(0, "an export of the bridge or the simulator is missing");
  {
    fake::FakeJni jni;
    if (initialise(jni.env(), jni.NewObject(), jni.NewString(directory), jni.NewString(""),
                   JNI_FALSE, JNI_FALSE, JNI_TRUE, jni.NewString("init-1"), 7, jni.NewString("app"),
                   jni.NewString("init-2")) != 0)
      Fail(0, "initialise did not give 0 with the library held");
  }
  if (fireStream(5, 27, 2, 0x7FFFFFFF) != 0) Fail(0, "the order stream did not start");
  onUnload(nullptr, nullptr);
  FreeLibrary(bridge);
  Sleep(300);  // the stream goes on calling the bridge's callbacks
  if (GetModuleHandleA("JavaWrapper.dll") == nullptr)
    Fail(0, "the bridge was unmapped while the held library still called it");
  reset();  // ends the stream's threads
  std::printf("held library: the bridge stayed mapped and its callbacks ran\n");
  return 0;
}
