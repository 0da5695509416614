// Benchmark-only natives: the floors the bridge is measured against. They do
// the least a JNI call can do, and never ship in the bridge.
#include <dlfcn.h>
#include <malloc.h>
#include <jni.h>

#include <cstdint>
#include <cstring>

extern "C" {

JNIEXPORT jint JNICALL Java_korvane_bench_Floor_empty(JNIEnv*, jclass) { return 0; }

// The same 33-byte copy into a Java array that getExchange does.
JNIEXPORT jint JNICALL Java_korvane_bench_Floor_copy33(JNIEnv* env, jclass, jbyteArray out) {
  jbyte record[33];
  std::memset(record, 1, sizeof record);
  env->SetByteArrayRegion(out, 0, sizeof record, record);
  return 0;
}

namespace {
// The simulator's getExchange entry, for the floor that calls the same entry
// the bridge does but with nothing around it.
int32_t (*gGetExchange)(int32_t, void*) = nullptr;
}  // namespace

JNIEXPORT jboolean JNICALL Java_korvane_bench_Floor_bind(JNIEnv* env, jclass, jstring path) {
  const char* file = env->GetStringUTFChars(path, nullptr);
  if (file == nullptr) return JNI_FALSE;
  void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  env->ReleaseStringUTFChars(path, file);
  if (library == nullptr) return JNI_FALSE;
  gGetExchange = reinterpret_cast<int32_t (*)(int32_t, void*)>(dlsym(library, "qrGetExchange"));
  return gGetExchange != nullptr ? JNI_TRUE : JNI_FALSE;
}

// The simulator's qrGetExchange and the 33-byte copy, with no frame at all.
JNIEXPORT jint JNICALL Java_korvane_bench_Floor_simulatorExchange(JNIEnv* env, jclass,
                                                                  jbyteArray out) {
  jbyte record[33];
  const int32_t code = gGetExchange(1, record);
  env->SetByteArrayRegion(out, 0, sizeof record, record);
  return code;
}

// One Java call per event, on this thread: the floor for the relay.
JNIEXPORT void JNICALL Java_korvane_bench_Floor_relay(JNIEnv* env, jobject self, jbyteArray buffer,
                                                     jint count) {
  jclass cls = env->GetObjectClass(self);
  jmethodID method = env->GetMethodID(cls, "messageReceived", "(II)V");
  env->DeleteLocalRef(cls);
  if (method == nullptr) return;
  jbyte record[27];
  std::memset(record, 2, sizeof record);
  jvalue args[2];
  args[0].i = 5;
  args[1].i = 27;
  // The same checks per event as the bridge's pump.
  for (jint i = 0; i < count; ++i) {
    env->SetByteArrayRegion(buffer, 0, sizeof record, record);
    if (env->ExceptionCheck()) return;
    env->CallVoidMethodA(self, method, args);
    if (env->ExceptionCheck()) return;
  }
}

JNIEXPORT jlong JNICALL Java_korvane_bench_Floor_heapBytes(JNIEnv*, jclass) {
  return static_cast<jlong>(mallinfo2().uordblks);
}

}  // extern "C"
