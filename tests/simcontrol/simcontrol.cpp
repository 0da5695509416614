// Test-only JNI library: the simulator's control surface for the JUnit suite.
//
// JNA would be the obvious tool, but its own native code makes JNI calls that
// -Xcheck:jni reports, and the suite fails on any such report. This shim is
// JNI-clean: every call that can throw is checked before the next one.
#include <jni.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

struct Control {
  platform::LibraryHandle library = nullptr;
  void (*reset)() = nullptr;
  void (*forceResult)(const char*, int32_t) = nullptr;
  void (*clearResult)(const char*) = nullptr;
  void (*setOutput)(const char*, const void*, int32_t) = nullptr;
  void (*setErrorText)(int32_t, const char*) = nullptr;
  void (*journalClear)() = nullptr;
  int32_t (*journalSize)() = nullptr;
  int32_t (*journalName)(int32_t, char*, int32_t) = nullptr;
  int32_t (*journalArg)(int32_t, int32_t, void*, int32_t) = nullptr;
  int32_t (*journalFind)(const char*, int32_t) = nullptr;
  int32_t (*journalArgCount)(int32_t) = nullptr;
  int32_t (*registeredCount)() = nullptr;
  int32_t (*fire)(int32_t, const void*, int32_t) = nullptr;
  int32_t (*fireAsync)(int32_t, const void*, int32_t) = nullptr;
  int32_t (*fireStream)(int32_t, int32_t, int32_t, int32_t) = nullptr;
  int32_t (*waitIdleFor)(int32_t) = nullptr;
  void (*fault)(const char*, int32_t) = nullptr;
  void (*burst)(const char*, int32_t, int32_t, int32_t) = nullptr;
  int32_t (*fireLocked)(int32_t, int32_t, int32_t) = nullptr;
  void (*market)(int32_t) = nullptr;
};

template <typename Fn>
bool Bind(platform::LibraryHandle library, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(platform::ResolveSymbol(library, name));
  return fn != nullptr;
}

Control* Get(jlong handle) {
  return reinterpret_cast<Control*>(static_cast<intptr_t>(handle));
}

// A Java string's bytes; empty for null or on failure (the exception stays
// pending for Java to see, and nothing else is called).
std::string Text(JNIEnv* env, jstring s) {
  if (s == nullptr) return {};
  const char* chars = env->GetStringUTFChars(s, nullptr);
  if (chars == nullptr) return {};
  std::string text(chars);
  env->ReleaseStringUTFChars(s, chars);
  return text;
}

std::vector<jbyte> Bytes(JNIEnv* env, jbyteArray a) {
  if (a == nullptr) return {};
  std::vector<jbyte> bytes(static_cast<size_t>(env->GetArrayLength(a)));
  env->GetByteArrayRegion(a, 0, static_cast<jsize>(bytes.size()), bytes.data());
  return bytes;
}

jbyteArray NewBytes(JNIEnv* env, const std::string& bytes) {
  jbyteArray a = env->NewByteArray(static_cast<jsize>(bytes.size()));
  if (a == nullptr) return nullptr;
  env->SetByteArrayRegion(a, 0, static_cast<jsize>(bytes.size()),
                          reinterpret_cast<const jbyte*>(bytes.data()));
  return a;
}

}  // namespace

#define SIM(ret, name) extern "C" JNIEXPORT ret JNICALL Java_javawrapper_Simulator_##name

SIM(jlong, open)(JNIEnv* env, jclass, jstring path) {
  auto* c = new Control;
  c->library = platform::LoadLibraryFile(Text(env, path));
  bool ok =
      c->library != nullptr && Bind(c->library, c->reset, "simReset") &&
      Bind(c->library, c->forceResult, "simForceResult") &&
      Bind(c->library, c->clearResult, "simClearResult") &&
      Bind(c->library, c->setOutput, "simSetOutput") &&
      Bind(c->library, c->setErrorText, "simSetErrorText") &&
      Bind(c->library, c->journalClear, "simJournalClear") &&
      Bind(c->library, c->journalSize, "simJournalSize") &&
      Bind(c->library, c->journalName, "simJournalName") &&
      Bind(c->library, c->journalArg, "simJournalArg") &&
      Bind(c->library, c->journalFind, "simJournalFind") &&
      Bind(c->library, c->journalArgCount, "simJournalArgCount") &&
      Bind(c->library, c->registeredCount, "simRegisteredCount") &&
      Bind(c->library, c->fire, "simFire") && Bind(c->library, c->fireAsync, "simFireAsync") &&
      Bind(c->library, c->fireStream, "simFireStream") &&
      Bind(c->library, c->waitIdleFor, "simWaitIdleFor") &&
      Bind(c->library, c->market, "simMarket") && Bind(c->library, c->fault, "simFault") &&
      Bind(c->library, c->burst, "simBurst") && Bind(c->library, c->fireLocked, "simFireLocked");
  if (!ok) {
    if (c->library != nullptr) platform::FreeLibraryHandle(c->library);
    delete c;
    return 0;
  }
  return static_cast<jlong>(reinterpret_cast<intptr_t>(c));
}

// The control surface in the library host: the bridge's forwarding
// functions (javawrapper.HostControl), in the order of Control's members.
SIM(jlong, openHosted)(JNIEnv* env, jclass, jlongArray functions) {
  auto* c = new Control;
  void** fields[] = {
      reinterpret_cast<void**>(&c->reset),
      reinterpret_cast<void**>(&c->forceResult),
      reinterpret_cast<void**>(&c->clearResult),
      reinterpret_cast<void**>(&c->setOutput),
      reinterpret_cast<void**>(&c->setErrorText),
      reinterpret_cast<void**>(&c->journalClear),
      reinterpret_cast<void**>(&c->journalSize),
      reinterpret_cast<void**>(&c->journalName),
      reinterpret_cast<void**>(&c->journalArg),
      reinterpret_cast<void**>(&c->journalFind),
      reinterpret_cast<void**>(&c->journalArgCount),
      reinterpret_cast<void**>(&c->registeredCount),
      reinterpret_cast<void**>(&c->fire),
      reinterpret_cast<void**>(&c->fireAsync),
      reinterpret_cast<void**>(&c->fireStream),
      reinterpret_cast<void**>(&c->waitIdleFor),
      reinterpret_cast<void**>(&c->fault),
      reinterpret_cast<void**>(&c->burst),
      reinterpret_cast<void**>(&c->fireLocked),
      reinterpret_cast<void**>(&c->market),
  };
  const jsize n = env->GetArrayLength(functions);
  std::vector<jlong> values(static_cast<size_t>(n));
  env->GetLongArrayRegion(functions, 0, n, values.data());
  if (env->ExceptionCheck() || static_cast<size_t>(n) != std::size(fields)) {
    delete c;
    return 0;
  }
  for (size_t i = 0; i < std::size(fields); ++i) {
    if (values[i] == 0) {
      delete c;
      return 0;
    }
    *fields[i] = reinterpret_cast<void*>(static_cast<intptr_t>(values[i]));
  }
  return static_cast<jlong>(reinterpret_cast<intptr_t>(c));
}

SIM(void, reset)(JNIEnv*, jclass, jlong h) {
  Get(h)->reset();
}

SIM(void, forceResult)(JNIEnv* env, jclass, jlong h, jstring entry, jint code) {
  const std::string name = Text(env, entry);
  if (!env->ExceptionCheck()) Get(h)->forceResult(name.c_str(), code);
}

SIM(void, clearResult)(JNIEnv* env, jclass, jlong h, jstring entry) {
  const std::string name = Text(env, entry);
  if (!env->ExceptionCheck()) Get(h)->clearResult(name.c_str());
}

SIM(void, setOutput)(JNIEnv* env, jclass, jlong h, jstring entry, jbyteArray bytes) {
  const std::string name = Text(env, entry);
  if (env->ExceptionCheck()) return;
  const std::vector<jbyte> data = Bytes(env, bytes);
  if (!env->ExceptionCheck())
    Get(h)->setOutput(name.c_str(), data.data(), static_cast<int32_t>(data.size()));
}

SIM(void, setErrorText)(JNIEnv* env, jclass, jlong h, jint code, jbyteArray text) {
  std::vector<jbyte> data = Bytes(env, text);
  if (env->ExceptionCheck()) return;
  data.push_back(0);
  Get(h)->setErrorText(code, reinterpret_cast<const char*>(data.data()));
}

SIM(void, journalClear)(JNIEnv*, jclass, jlong h) {
  Get(h)->journalClear();
}
SIM(jint, journalSize)(JNIEnv*, jclass, jlong h) {
  return Get(h)->journalSize();
}

SIM(jstring, journalName)(JNIEnv* env, jclass, jlong h, jint call) {
  char name[128] = {};
  if (Get(h)->journalName(call, name, sizeof name) < 0) return nullptr;
  return env->NewStringUTF(name);
}

SIM(jint, journalFind)(JNIEnv* env, jclass, jlong h, jstring entry, jint from) {
  const std::string name = Text(env, entry);
  if (env->ExceptionCheck()) return -1;
  return Get(h)->journalFind(name.c_str(), from);
}

// The argument's bytes, or null for a null pointer.
SIM(jbyteArray, journalArg)(JNIEnv* env, jclass, jlong h, jint call, jint arg) {
  Control* c = Get(h);
  const int32_t length = c->journalArg(call, arg, nullptr, 0);
  if (length < 0) return nullptr;
  std::string bytes(static_cast<size_t>(length), '\0');
  c->journalArg(call, arg, bytes.data(), length);
  return NewBytes(env, bytes);
}

SIM(jint, registeredCount)(JNIEnv*, jclass, jlong h) {
  return Get(h)->registeredCount();
}

SIM(jint, fire)(JNIEnv* env, jclass, jlong h, jint id, jbyteArray bytes, jboolean wait) {
  const std::vector<jbyte> data = Bytes(env, bytes);
  if (env->ExceptionCheck()) return -1;
  Control* c = Get(h);
  return (wait ? c->fire : c->fireAsync)(id, data.data(), static_cast<int32_t>(data.size()));
}

SIM(jint, fireStream)(JNIEnv*, jclass, jlong h, jint id, jint len, jint threads, jint count) {
  return Get(h)->fireStream(id, len, threads, count);
}

SIM(jboolean, waitIdleFor)(JNIEnv*, jclass, jlong h, jint ms) {
  return Get(h)->waitIdleFor(ms) != 0 ? JNI_TRUE : JNI_FALSE;
}

SIM(void, market)(JNIEnv*, jclass, jlong h, jboolean on) {
  Get(h)->market(on ? 1 : 0);
}

SIM(void, fault)(JNIEnv* env, jclass, jlong h, jstring entry, jint kind) {
  const std::string name = Text(env, entry);
  if (!env->ExceptionCheck()) Get(h)->fault(name.c_str(), kind);
}

SIM(void, burst)(JNIEnv* env, jclass, jlong h, jstring entry, jint id, jint len, jint count) {
  const std::string name = Text(env, entry);
  if (!env->ExceptionCheck()) Get(h)->burst(name.c_str(), id, len, count);
}

SIM(jint, fireLocked)(JNIEnv*, jclass, jlong h, jint id, jint len, jint count) {
  return Get(h)->fireLocked(id, len, count);
}

SIM(jint, journalArgCount)(JNIEnv*, jclass, jlong h, jint call) {
  return Get(h)->journalArgCount(call);
}
