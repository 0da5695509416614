// Benchmark-only natives: the floors the bridge is measured against. They do
// the least a JNI call can do, and never ship in the bridge.
#include <jni.h>

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
  for (jint i = 0; i < count; ++i) {
    env->SetByteArrayRegion(buffer, 0, sizeof record, record);
    env->CallVoidMethodA(self, method, args);
    if (env->ExceptionCheck()) return;
  }
}

}  // extern "C"
