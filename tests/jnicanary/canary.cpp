// Test-only: natives that misuse JNI on purpose, one kind each, so the
// suite's JNI gate can prove that it notices every kind it claims to.
#include <jni.h>

extern "C" {

// A call made with an exception pending: "WARNING in native method".
JNIEXPORT void JNICALL Java_javawrapper_CanaryMain_pending(JNIEnv* env, jclass) {
  jclass failure = env->FindClass("java/lang/IllegalStateException");
  if (failure == nullptr) return;
  env->ThrowNew(failure, "canary");
  env->DeleteLocalRef(failure);
  env->NewStringUTF("a call with an exception pending");  // the misuse
}

// Another JNI call inside a critical region: HotSpot's "Warning: Calling
// other JNI functions in the scope of Get/ReleasePrimitiveArrayCritical".
JNIEXPORT void JNICALL Java_javawrapper_CanaryMain_critical(JNIEnv* env, jclass, jbyteArray a) {
  void* bytes = env->GetPrimitiveArrayCritical(a, nullptr);
  if (bytes == nullptr) return;
  env->GetArrayLength(a);  // the misuse
  env->ReleasePrimitiveArrayCritical(a, bytes, JNI_ABORT);
}

// More local references than the frame's capacity: "JNI local refs".
JNIEXPORT void JNICALL Java_javawrapper_CanaryMain_localRefs(JNIEnv* env, jclass) {
  for (int i = 0; i < 100; ++i) env->NewStringUTF("kept");  // the misuse
}

// A class passed where a string belongs: "FATAL ERROR in native method",
// which ends the JVM.
JNIEXPORT void JNICALL Java_javawrapper_CanaryMain_fatal(JNIEnv* env, jclass) {
  jclass cls = env->FindClass("java/lang/Object");
  if (cls == nullptr) return;
  env->GetStringUTFLength(static_cast<jstring>(static_cast<jobject>(cls)));  // the misuse
}

}  // extern "C"
