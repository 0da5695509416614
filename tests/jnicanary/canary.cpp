// Test-only: a native that misuses JNI on purpose (a call with an exception
// pending), so the suite's JNI gate can prove that it notices.
#include <jni.h>

extern "C" JNIEXPORT void JNICALL Java_javawrapper_CanaryMain_misuse(JNIEnv* env, jclass) {
  jclass failure = env->FindClass("java/lang/IllegalStateException");
  if (failure == nullptr) return;
  env->ThrowNew(failure, "canary");
  env->DeleteLocalRef(failure);
  env->NewStringUTF("a call with an exception pending");  // the misuse
}
