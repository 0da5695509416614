// getErrorMessage: the text of a result code, with or without a library.
#include <jni.h>

#include "binding/errors.h"
#include "natives/java_text.h"
#include "natives/onload.h"

using binding::kCallbackNotRegistered;

extern "C" JNIEXPORT jstring JNICALL Java_korvane_api_delphi_ClientAPI_getErrorMessage(JNIEnv* env,
                                                                                       jobject,
                                                                                       jint code) {
  if (natives::gAnyMismatch.load(std::memory_order_relaxed) && natives::RefuseMismatched(__func__))
    return nullptr;
  try {
    const std::string text = code == kCallbackNotRegistered
                                 ? std::string(binding::kCallbackNotRegisteredText)
                                 : binding::GetErrorText(code);
    return env->NewStringUTF(natives::ToModifiedUtf8(text).c_str());
  } catch (...) {
    // Logged; Java receives null rather than a text we could not build.
    binding::FunnelCurrentException("Java_korvane_api_delphi_ClientAPI_getErrorMessage");
    return nullptr;
  }
}
