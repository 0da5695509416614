// JNI_OnLoad: the bridge's natives checked against the ClientAPI class the
// JVM loaded. JNI binds a native by its name only, so a front-end's own
// ClientAPI that declares one with other argument types would call the
// bridge with the wrong frame (on the 32-bit standard-call DLL, a corrupted
// stack). Every mismatch is reported, expected and found, once on standard
// error and in each trace that starts. A mismatched native refuses every call
// (99 through the funnel, naming the mismatch; nothing is called): its
// arguments cannot be trusted. The front-end runs as before wherever it never
// calls a mismatched native.
#include "natives/onload.h"

#include <jni.h>

#include <atomic>
#include <string>
#include <vector>

#include "binding/errors.h"
#include "binding/report.h"
#include "hostlink/control.h"
#include "natives/frame.h"
#include "trace/trace.h"

namespace natives {
namespace {

struct Expected {
  const char* name;
  const char* descriptor;
};

constexpr Expected kNatives[] = {
#define JW_NATIVE(name, descriptor) {#name, descriptor},
#include "natives/signatures.def"
#undef JW_NATIVE
};

constexpr jint kStatic = 0x0008;  // java.lang.reflect.Modifier
constexpr jint kNative = 0x0100;

// Written by JNI_OnLoad (again when a bridge kept mapped is loaded anew),
// before any native can run; read by initialise and by a native's edge while
// gAnyMismatch says there is something to read.
struct Mismatch {
  std::string name;  // the Java method's name
  std::string text;
  bool objectResult = false;  // declared to return an object or an array
};
std::vector<Mismatch> gMismatches;

constexpr std::string_view kPrefix = "Java_korvane_api_delphi_ClientAPI_";

// Two natives' names alike but for case: a few natives log under their
// exported name with its first letter capitalised.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A native method as the class declares it.
struct Declared {
  std::string name;
  std::string descriptor;  // "static " in front for a static method
};

// Text of a String the reflection gave, or empty (the exception cleared).
std::string Text(JNIEnv* env, jobject text) {
  std::string out;
  if (text == nullptr) return out;
  if (const char* chars = env->GetStringUTFChars(static_cast<jstring>(text), nullptr)) {
    out.assign(chars);
    env->ReleaseStringUTFChars(static_cast<jstring>(text), chars);
  } else {
    env->ExceptionClear();  // out of memory: an empty text
  }
  return out;
}

// The reflection calls a check needs; any of them missing ends the check.
struct Reflection {
  jmethodID declaredMethods, name, modifiers, parameterTypes, returnType, descriptor;
};

bool Resolve(JNIEnv* env, Reflection& r) {
  ScopedLocalRef classClass(env, env->FindClass("java/lang/Class"));
  if (classClass.get() == nullptr) return false;  // the exception is left to the caller
  ScopedLocalRef methodClass(env, env->FindClass("java/lang/reflect/Method"));
  if (methodClass.get() == nullptr) return false;
  struct Wanted {
    jmethodID* slot;
    const ScopedLocalRef& owner;
    const char* name;
    const char* signature;
  };
  const Wanted wanted[] = {
      {&r.declaredMethods, classClass, "getDeclaredMethods", "()[Ljava/lang/reflect/Method;"},
      {&r.descriptor, classClass, "descriptorString", "()Ljava/lang/String;"},
      {&r.name, methodClass, "getName", "()Ljava/lang/String;"},
      {&r.modifiers, methodClass, "getModifiers", "()I"},
      {&r.parameterTypes, methodClass, "getParameterTypes", "()[Ljava/lang/Class;"},
      {&r.returnType, methodClass, "getReturnType", "()Ljava/lang/Class;"}};
  for (const Wanted& w : wanted) {
    *w.slot = env->GetMethodID(static_cast<jclass>(w.owner.get()), w.name, w.signature);
    if (*w.slot == nullptr) return false;
  }
  return true;
}

// One declared method, when it is native; false when it is not or when the
// reflection failed (then nothing is reported for it). Every call is checked
// for an exception before the next one, as JNI requires.
bool ReadNative(JNIEnv* env, const Reflection& r, jobject method, Declared& out) {
  auto call = [&](jobject target, jmethodID id) {
    jobject result = env->CallObjectMethod(target, id);
    return env->ExceptionCheck() ? nullptr : result;
  };
  const jint modifiers = env->CallIntMethod(method, r.modifiers);
  if (env->ExceptionCheck() || (modifiers & kNative) == 0) return false;
  ScopedLocalRef name(env, call(method, r.name));
  if (name.get() == nullptr) return false;
  ScopedLocalRef parameters(env, call(method, r.parameterTypes));
  if (parameters.get() == nullptr) return false;
  ScopedLocalRef result(env, call(method, r.returnType));
  if (result.get() == nullptr) return false;
  out.name = Text(env, name.get());
  out.descriptor = (modifiers & kStatic) != 0 ? "static (" : "(";
  const auto array = static_cast<jobjectArray>(parameters.get());
  const jsize n = env->GetArrayLength(array);
  for (jsize i = 0; i < n; ++i) {
    ScopedLocalRef type(env, env->GetObjectArrayElement(array, i));
    if (env->ExceptionCheck()) return false;
    ScopedLocalRef text(env, call(type.get(), r.descriptor));
    if (text.get() == nullptr) return false;
    out.descriptor += Text(env, text.get());
  }
  ScopedLocalRef text(env, call(result.get(), r.descriptor));
  if (text.get() == nullptr) return false;
  out.descriptor += ")";
  out.descriptor += Text(env, text.get());
  return !out.name.empty();
}

// The natives the class declares; empty when it cannot be looked at.
std::vector<Declared> DeclaredNatives(JNIEnv* env, jclass api) {
  std::vector<Declared> found;
  Reflection r{};
  if (!Resolve(env, r)) return found;
  ScopedLocalRef methods(env, env->CallObjectMethod(api, r.declaredMethods));
  if (env->ExceptionCheck() || methods.get() == nullptr) return found;
  const auto array = static_cast<jobjectArray>(methods.get());
  const jsize n = env->GetArrayLength(array);
  for (jsize i = 0; i < n; ++i) {
    // A frame per method keeps the local references few under -Xcheck:jni.
    if (env->PushLocalFrame(16) != 0) break;
    jobject method = env->GetObjectArrayElement(array, i);
    Declared native;
    const bool isNative =
        !env->ExceptionCheck() && method != nullptr && ReadNative(env, r, method, native);
    env->ExceptionClear();
    env->PopLocalFrame(nullptr);
    if (isNative) found.push_back(std::move(native));
  }
  return found;
}

// Each native of the bridge's name that the class declares with other types
// (an overload too: JNI binds it to the same function); natives the class
// leaves out are not a mismatch (they are never called).
void Check(JNIEnv* env) {
  gAnyMismatch.store(false, std::memory_order_relaxed);
  gMismatches.clear();  // a bridge kept mapped past an unload checks its new class afresh
  ScopedLocalRef api(env, env->FindClass("korvane/api/delphi/ClientAPI"));
  if (api.get() == nullptr) {  // not on this class loader: nothing to check
    env->ExceptionClear();
    return;
  }
  const std::vector<Declared> declared = DeclaredNatives(env, static_cast<jclass>(api.get()));
  env->ExceptionClear();
  for (const Expected& expected : kNatives) {
    for (const Declared& d : declared) {
      if (d.name != expected.name || d.descriptor == expected.descriptor) continue;
      std::string text = "native korvane.api.delphi.ClientAPI.";
      text.append(expected.name).append(" does not match the bridge: expected ");
      text.append(expected.descriptor).append(", found ").append(d.descriptor);
      binding::Report(text);
      const size_t close = d.descriptor.rfind(')');
      const bool objectResult = close != std::string::npos && close + 1 < d.descriptor.size() &&
                                (d.descriptor[close + 1] == 'L' || d.descriptor[close + 1] == '[');
      gMismatches.push_back({expected.name, std::move(text), objectResult});
    }
  }
  gAnyMismatch.store(!gMismatches.empty(), std::memory_order_release);
}

}  // namespace

std::atomic<bool> gAnyMismatch{false};

const std::string* SignatureMismatch(std::string_view native) noexcept {
  if (!gAnyMismatch.load(std::memory_order_acquire)) return nullptr;
  if (native.substr(0, kPrefix.size()) != kPrefix) return nullptr;
  native.remove_prefix(kPrefix.size());
  for (const Mismatch& m : gMismatches) {
    if (SameName(m.name, native)) return &m.text;
  }
  return nullptr;
}

int32_t MismatchedResult(std::string_view native) noexcept {
  if (native.substr(0, kPrefix.size()) == kPrefix) native.remove_prefix(kPrefix.size());
  for (const Mismatch& m : gMismatches) {
    if (SameName(m.name, native)) return m.objectResult ? 0 : binding::kWrapperError;
  }
  return binding::kWrapperError;
}

bool RefuseMismatched(std::string_view native) noexcept {
  const std::string* text = SignatureMismatch(native);
  if (text == nullptr) return false;
  binding::ErrorFunnel(*text, native);
  return true;
}

void TraceSignatureMismatches() {
  if (!trace::On()) return;
  for (const Mismatch& m : gMismatches) trace::Funnel("JNI_OnLoad", m.text);
}

}  // namespace natives

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) != JNI_OK) return JNI_VERSION_1_8;
  try {
    natives::Check(env);
    hostlink::RegisterTestControl(env);
  } catch (...) {
    // Out of memory while checking: the check is advice, the load goes on.
    env->ExceptionClear();
  }
  return JNI_VERSION_1_8;
}
