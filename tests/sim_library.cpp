#include "sim_library.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "hostlink/bridge.h"
#include "hostlink/control.h"

namespace testing_support {

std::string SimLibrary::Directory() {
  // Another build's simulator (the 32-bit one, for a 64-bit bridge's host).
  if (const char* dir = std::getenv("JW_SIM_DIR"); dir != nullptr && *dir != '\0') {
    // The build gives it with '/': a library's own folder is searched for
    // its imports only when the path has the system's separators.
    std::string given = dir;
    if (platform::IsDirectoryEnd('\\'))
      for (char& c : given) c = c == '/' ? '\\' : c;
    return platform::IsDirectoryEnd(given.back())
               ? given
               : given + (given.find('\\') != std::string::npos ? '\\' : '/');
  }
  const std::string self = platform::ModuleFileName();
  size_t end = self.size();
  while (end > 0 && !platform::IsDirectoryEnd(self[end - 1])) --end;
  return self.substr(0, end);
}

std::string SimLibrary::Path(const char* file, const char* variant) {
  const std::string dir = Directory();
  if (variant == nullptr) return dir + file;
  const char sep = dir.empty() ? '/' : dir.back();
  return dir + "variants" + sep + variant + sep + file;
}

bool SimLibrary::InHost() {
  const char* mode = std::getenv("JAVAWRAPPER_HOST");
  if (mode != nullptr && std::strcmp(mode, "always") == 0) return true;
  // auto: the bridge's own choice for the simulator (its bitness).
  static const bool wanted = hostlink::Wanted(Path());
  return (mode == nullptr || std::strcmp(mode, "never") != 0) && wanted;
}

namespace {
// In host mode the control surface is reached in the library host, where the
// bridge's instance of the simulator lives.
template <typename Fn>
void Bind(platform::LibraryHandle handle, Fn& fn, const char* name) {
  if (SimLibrary::InHost()) {
    // The handle is the target's number plus one.
    fn = reinterpret_cast<Fn>(
        hostlink::ControlFunction(name, static_cast<int>(reinterpret_cast<intptr_t>(handle)) - 1));
  } else {
    fn = reinterpret_cast<Fn>(platform::ResolveSymbol(handle, name));
  }
  if (fn == nullptr) throw std::runtime_error(std::string("simulator lacks ") + name);
}

// Record pointers do not cross to another process.
int32_t NoFireRecords(const char*, int32_t, const void* const*, int32_t) {
  ADD_FAILURE() << "simFireRecords cannot reach a library host";
  return -1;
}

platform::LibraryHandle Open(const std::string& path) {
  if (!SimLibrary::InHost()) return platform::LoadLibraryFile(path);
  const int target = hostlink::ControlOpen(path);
  return target >= 0 ? reinterpret_cast<platform::LibraryHandle>(static_cast<intptr_t>(target) + 1)
                     : nullptr;
}
}  // namespace

SimLibrary::SimLibrary(const std::string& path) : handle_(Open(path)) {
  if (handle_ == nullptr) throw std::runtime_error("cannot load " + path);
  Bind(handle_, reset_, "simReset");
  Bind(handle_, forceResult_, "simForceResult");
  Bind(handle_, clearResult_, "simClearResult");
  Bind(handle_, setOutput_, "simSetOutput");
  Bind(handle_, setErrorText_, "simSetErrorText");
  Bind(handle_, fault_, "simFault");
  Bind(handle_, market_, "simMarket");
  Bind(handle_, journalEnable_, "simJournalEnable");
  Bind(handle_, fire_, "simFire");
  Bind(handle_, fireAsync_, "simFireAsync");
  Bind(handle_, fireStream_, "simFireStream");
  Bind(handle_, burst_, "simBurst");
  if (InHost()) {
    fireRecords_ = &NoFireRecords;
  } else {
    Bind(handle_, fireRecords_, "simFireRecords");
  }
  Bind(handle_, fireLocked_, "simFireLocked");
  Bind(handle_, waitIdleFor_, "simWaitIdleFor");
  Bind(handle_, registeredCount_, "simRegisteredCount");
  Bind(handle_, journalClear_, "simJournalClear");
  Bind(handle_, journalSize_, "simJournalSize");
  Bind(handle_, journalName_, "simJournalName");
  Bind(handle_, journalArg_, "simJournalArg");
  Bind(handle_, journalFind_, "simJournalFind");
  reset_();
  market_(0);
}

SimLibrary::~SimLibrary() {
  reset_();
  market_(1);
  if (InHost()) {
    hostlink::ControlClose(static_cast<int>(reinterpret_cast<intptr_t>(handle_)) - 1);
  } else {
    platform::FreeLibraryHandle(handle_);
  }
}

void* SimLibrary::Symbol(const char* name) const {
  return InHost() ? nullptr : platform::ResolveSymbol(handle_, name);
}

std::vector<std::string> SimLibrary::Calls() {
  std::vector<std::string> names;
  const int32_t n = journalSize_();
  for (int32_t i = 0; i < n; ++i) {
    char name[128];
    journalName_(i, name, sizeof name);
    names.emplace_back(name);
  }
  return names;
}

int32_t SimLibrary::CountCalls(const char* entry) {
  int32_t count = 0;
  for (int32_t i = journalFind_(entry, 0); i >= 0; i = journalFind_(entry, i + 1)) ++count;
  return count;
}

std::string SimLibrary::Arg(int32_t call, int32_t arg) {
  const int32_t length = journalArg_(call, arg, nullptr, 0);
  if (length == -1) return "<null>";
  if (length < 0) throw std::out_of_range("no such journal argument");
  std::string bytes(static_cast<size_t>(length), '\0');
  journalArg_(call, arg, bytes.data(), length);
  return bytes;
}

std::vector<std::string> SimLibrary::Logged() {
  std::vector<std::string> lines;
  for (int32_t i = Find("qrLogString"); i >= 0; i = Find("qrLogString", i + 1))
    lines.push_back(Arg(i, 0));
  return lines;
}

bool SimLibrary::ArgIsNull(int32_t call, int32_t arg) {
  return journalArg_(call, arg, nullptr, 0) == -1;
}

int32_t SimLibrary::IntArg(int32_t call, int32_t arg) {
  const std::string bytes = Arg(call, arg);
  if (bytes.size() != 4) throw std::logic_error("not an integer argument");
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return static_cast<int32_t>(value);
}

namespace {
std::mutex gTextsMutex;
std::vector<std::string> gTexts;
void CaptureSink(const char* text) {
  std::lock_guard<std::mutex> lock(gTextsMutex);
  gTexts.emplace_back(text);
}
}  // namespace

MessageCapture::MessageCapture() {
  std::lock_guard<std::mutex> lock(gTextsMutex);
  gTexts.clear();
  previous_ = platform::SetMessageSink(&CaptureSink);
}

MessageCapture::~MessageCapture() {
  platform::SetMessageSink(previous_);
}

std::vector<std::string> MessageCapture::Texts() {
  std::lock_guard<std::mutex> lock(gTextsMutex);
  return gTexts;
}

}  // namespace testing_support
