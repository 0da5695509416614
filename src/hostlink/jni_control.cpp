// For tests only: the library host's control calls (hostlink/control.h) as
// natives of the test suite's class javawrapper.HostControl, registered when
// that class exists (never in a front-end). The natives stay unexported.
#include <jni.h>

#include <cstdint>
#include <string>

#include "hostlink/control.h"

namespace hostlink {
namespace {

std::string Text(JNIEnv* env, jstring s) {
  if (s == nullptr) return {};
  const char* chars = env->GetStringUTFChars(s, nullptr);
  if (chars == nullptr) return {};
  std::string text(chars);
  env->ReleaseStringUTFChars(s, chars);
  return text;
}

jint JNICALL Open(JNIEnv* env, jclass, jstring path) {
  const std::string file = Text(env, path);
  return env->ExceptionCheck() ? -1 : ControlOpen(file);
}

void JNICALL Close(JNIEnv*, jclass, jint target) {
  ControlClose(target);
}

jlong JNICALL Function(JNIEnv* env, jclass, jstring name, jint target) {
  const std::string text = Text(env, name);
  if (env->ExceptionCheck()) return 0;
  return static_cast<jlong>(reinterpret_cast<intptr_t>(ControlFunction(text.c_str(), target)));
}

}  // namespace

void RegisterTestControl(JNIEnv* env) {
  jclass test = env->FindClass("javawrapper/HostControl");
  if (test == nullptr) {
    env->ExceptionClear();  // a front-end: no such class
    return;
  }
  JNINativeMethod methods[] = {
      {const_cast<char*>("open"), const_cast<char*>("(Ljava/lang/String;)I"),
       reinterpret_cast<void*>(&Open)},
      {const_cast<char*>("close"), const_cast<char*>("(I)V"), reinterpret_cast<void*>(&Close)},
      {const_cast<char*>("function"), const_cast<char*>("(Ljava/lang/String;I)J"),
       reinterpret_cast<void*>(&Function)},
  };
  if (env->RegisterNatives(test, methods, 3) != 0) env->ExceptionClear();
  env->DeleteLocalRef(test);
}

}  // namespace hostlink
