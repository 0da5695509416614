// Benchmark-only natives: the floors the bridge is measured against. They do
// the least a JNI call can do, and never ship in the bridge.
#include <dlfcn.h>
#include <jni.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>

extern "C" {

JNIEXPORT jint JNICALL Java_korvane_bench_Floor_empty(JNIEnv*, jclass) {
  return 0;
}

// The same 33-byte copy into a Java array that getExchange does.
JNIEXPORT jint JNICALL Java_korvane_bench_Floor_copy33(JNIEnv* env, jclass, jbyteArray out) {
  jbyte record[33];
  std::memset(record, 1, sizeof record);
  env->SetByteArrayRegion(out, 0, sizeof record, record);
  return 0;
}

}  // extern "C"

namespace {
// The stand-in library's entries, for the floors that call the same entry
// the bridge does but with no frame around it: the same JNI work, the same
// result check, nothing else.
int32_t (*gGetExchange)(int32_t, void*) = nullptr;
int32_t (*gAddOrder)(const void*, void*) = nullptr;
int32_t (*gSubscribe)(const char*, const char*, const char*) = nullptr;

// A string's modified UTF-8 bytes cut into a fixed field, as the bridge does.
template <size_t N>
bool Field(JNIEnv* env, jstring text, char (&field)[N]) {
  const char* chars = env->GetStringUTFChars(text, nullptr);
  if (chars == nullptr) return false;
  size_t n = std::strlen(chars);
  if (n > N - 1) n = N - 1;
  std::memcpy(field, chars, n);
  std::memset(field + n, 0, N - n);
  env->ReleaseStringUTFChars(text, chars);
  return true;
}
}  // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_korvane_bench_Floor_bind(JNIEnv* env, jclass, jstring path) {
  const char* file = env->GetStringUTFChars(path, nullptr);
  if (file == nullptr) return JNI_FALSE;
  void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  env->ReleaseStringUTFChars(path, file);
  if (library == nullptr) return JNI_FALSE;
  gGetExchange = reinterpret_cast<int32_t (*)(int32_t, void*)>(dlsym(library, "qrGetExchange"));
  gAddOrder = reinterpret_cast<int32_t (*)(const void*, void*)>(dlsym(library, "qrAddOrder"));
  gSubscribe = reinterpret_cast<int32_t (*)(const char*, const char*, const char*)>(
      dlsym(library, "qrSubscribePrice"));
  return gGetExchange && gAddOrder && gSubscribe ? JNI_TRUE : JNI_FALSE;
}

// getExchange's work: the entry into a local record, the check, the copy.
JNIEXPORT jint JNICALL Java_korvane_bench_Floor_getExchange(JNIEnv* env, jclass, jint index,
                                                            jbyteArray out) {
  jbyte record[33];
  const int32_t code = gGetExchange(index, record);
  if (code != 0 && code != 11) return code;
  env->SetByteArrayRegion(out, 0, sizeof record, record);
  return env->ExceptionCheck() ? 99 : code;
}

// addOrder's work: the 957-byte record read, the entry, the check.
JNIEXPORT jint JNICALL Java_korvane_bench_Floor_addOrder(JNIEnv* env, jclass, jbyteArray order) {
  jbyte record[957];
  env->GetByteArrayRegion(order, 0, sizeof record, record);
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    return 99;
  }
  const int32_t code = gAddOrder(record, nullptr);
  return code == 11 ? 0 : code;
}

// subscribe's work: three strings read and cut into the key's fixed fields.
JNIEXPORT jint JNICALL Java_korvane_bench_Floor_subscribe(JNIEnv* env, jclass, jstring exchange,
                                                          jstring commodity, jstring contract) {
  char e[11], c[11], k[51];
  if (!Field(env, exchange, e) || !Field(env, commodity, c) || !Field(env, contract, k)) return 99;
  const int32_t code = gSubscribe(e, c, k);
  return code == 11 ? 0 : code;
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
