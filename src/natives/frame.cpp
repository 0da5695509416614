#include "natives/frame.h"

#include <cstring>
#include <memory>
#include <stdexcept>

namespace natives {
namespace {

constexpr size_t kLargestIndexedRecord = 1410;

}  // namespace

void RequireArray(jarray array) {
  if (array == nullptr) throw std::invalid_argument("null Java array");
}

std::string JNIString(JNIEnv* env, jstring text) {
  std::string result;
  if (text == nullptr) {
    if (trace::On()) trace::ArgNull();  // recorded, so the next text keeps its name
    return result;
  }
  binding::CaptureAll("JNIString", [&] {
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
      // The JVM could not produce the text (out of memory) and says so with a
      // pending exception; the native goes on with an empty text.
      if (env->ExceptionCheck()) env->ExceptionClear();
      throw std::runtime_error("GetStringUTFChars failed");
    }
    struct Release {
      JNIEnv* env;
      jstring text;
      const char* chars;
      ~Release() { env->ReleaseStringUTFChars(text, chars); }
    } release{env, text, chars};
    result.assign(chars);
    if (trace::On()) trace::ArgText(result.data(), result.size());
  });
  return result;
}

std::string TakeException(JNIEnv* env) {
  std::string text = "a Java exception";
  ScopedLocalRef thrown(env, env->ExceptionOccurred());
  env->ExceptionClear();
  if (thrown.get() == nullptr) return text;
  ScopedLocalRef cls(env, env->GetObjectClass(thrown.get()));
  jmethodID toString =
      env->GetMethodID(static_cast<jclass>(cls.get()), "toString", "()Ljava/lang/String;");
  if (toString == nullptr) {
    env->ExceptionClear();
    return text;
  }
  ScopedLocalRef described(env, env->CallObjectMethod(thrown.get(), toString));
  if (env->ExceptionCheck()) {
    env->ExceptionClear();  // a toString that throws: the fallback text
    return text;
  }
  if (described.get() == nullptr) return text;
  const jstring s = static_cast<jstring>(described.get());
  if (const char* chars = env->GetStringUTFChars(s, nullptr)) {
    text.assign(chars);
    env->ReleaseStringUTFChars(s, chars);
  } else {
    env->ExceptionClear();
  }
  return text;
}

void JNIStringInto(JNIEnv* env, jstring text, char* field, size_t capacity) {
  std::memset(field, 0, capacity + 1);
  if (text == nullptr) {
    if (trace::On()) trace::ArgNull();
    return;
  }
  binding::CaptureAll("JNIString", [&] {
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
      if (env->ExceptionCheck()) env->ExceptionClear();
      throw std::runtime_error("GetStringUTFChars failed");
    }
    const void* end = std::memchr(chars, 0, capacity);
    const size_t n =
        end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - chars) : capacity;
    std::memcpy(field, chars, n);
    if (trace::On()) trace::ArgText(chars, std::strlen(chars));
    env->ReleaseStringUTFChars(text, chars);
  });
}

std::pair<std::string, std::string> SplitAt(const std::string& text, char separator) {
  const size_t at = text.find(separator);
  if (at == std::string::npos) return {std::string(), text};
  return {text.substr(0, at), text.substr(at + 1)};
}

std::pair<std::string, std::string> GetHostAndPort(const std::string& text) {
  std::pair<std::string, std::string> parts;
  binding::CaptureAll("GetHostAndPort", [&] { parts = SplitAt(text, ':'); });
  return parts;
}

jsize ArrayLength(JNIEnv* env, jarray array) {
  RequireArray(array);
  return env->GetArrayLength(array);
}

void ReadRecord(JNIEnv* env, jbyteArray array, const char* name, void* record, size_t size) {
  if (array == nullptr) throw std::invalid_argument(std::string("null Java array ") + name);
  // The copy's own bound is the check: the JVM raises an exception for a
  // short array and copies nothing; it is cleared, so none is left pending,
  // and the length is read only then, for the message. A length read first
  // would cost every order a JNI call.
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(size), static_cast<jbyte*>(record));
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    const jsize length = env->GetArrayLength(array);
    if (length >= 0 && static_cast<size_t>(length) >= size)
      throw std::runtime_error("copy from a Java array failed");
    throw std::length_error("Java array " + std::string(name) + " holds " + std::to_string(length) +
                            " bytes, shorter than its " + std::to_string(size) + "-byte record");
  }
  if (trace::On()) trace::ArgBytes(record, size);  // the order itself, in full
}

void RequireOut(JNIEnv* env, jarray array, const char* name, size_t count) {
  if (array == nullptr) throw std::invalid_argument(std::string("null Java array ") + name);
  const jsize length = env->GetArrayLength(array);
  if (length >= 0 && static_cast<size_t>(length) >= count) return;
  // The message is made only when it is needed.
  throw std::length_error("Java array " + std::string(name) + " holds " + std::to_string(length) +
                          " elements, shorter than the " + std::to_string(count) + " it receives");
}

namespace {
// After a copy into a Java array: the JVM checks the bounds before it writes
// anything, so a short array raises an exception and is left as it was. The
// exception is cleared, so none is left pending, and the length is read only
// now, for the message RequireOut would have given: a native that checked
// its array first pays for one length read, not two.
void ThrowIfFailed(JNIEnv* env, jarray array, const char* name, size_t count) {
  if (!env->ExceptionCheck()) return;
  env->ExceptionClear();
  RequireOut(env, array, name, count);
  throw std::runtime_error("copy into a Java array failed");
}
}  // namespace

void RequireNotNull(jarray array, const char* name) {
  if (array == nullptr) throw std::invalid_argument(std::string("null Java array ") + name);
}

void CopyOut(JNIEnv* env, jbyteArray array, const char* name, const void* bytes, size_t size) {
  RequireNotNull(array, name);
  if (trace::On()) trace::ArgSize("out", size);
  env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), static_cast<const jbyte*>(bytes));
  ThrowIfFailed(env, array, name, size);
}

void CopyOut(JNIEnv* env, jintArray array, const char* name, const int32_t* values, size_t count) {
  RequireNotNull(array, name);
  env->SetIntArrayRegion(array, 0, static_cast<jsize>(count),
                         reinterpret_cast<const jint*>(values));
  ThrowIfFailed(env, array, name, count);
}

void CopyOut(JNIEnv* env, jbooleanArray array, const char* name, bool value) {
  RequireNotNull(array, name);
  const jboolean element = value ? JNI_TRUE : JNI_FALSE;
  env->SetBooleanArrayRegion(array, 0, 1, &element);
  ThrowIfFailed(env, array, name, 1);
}

void CopyOut(JNIEnv* env, jdoubleArray array, const char* name, double value) {
  RequireNotNull(array, name);
  env->SetDoubleArrayRegion(array, 0, 1, &value);
  ThrowIfFailed(env, array, name, 1);
}

jsize StringArrayLength(JNIEnv* env, jobjectArray array) {
  const jsize length = ArrayLength(env, array);
  if (trace::On()) trace::ArgCount(static_cast<size_t>(length));
  return length;
}

std::string StringElement(JNIEnv* env, jobjectArray array, jsize index) {
  ScopedLocalRef element(env, env->GetObjectArrayElement(array, index));
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    throw std::out_of_range("String[] element out of range");
  }
  if (trace::On()) trace::ArgElement(static_cast<size_t>(index));
  return JNIString(env, static_cast<jstring>(element.get()));
}

jint GetProc(std::string_view native, JNIEnv* env, jint index, jbyteArray record, size_t size,
             Fetch fetch) {
  return Edge(native, "GetProc", [&] {
    trace::Numbers(index);
    binding::LibraryUse qr = binding::CheckAPILoaded();
    // A fetch by index changes nothing in the library, so a short array is
    // found by the copy after it (99, RequireOut's message, the array left
    // as it was) rather than by a length read before it: that read is a
    // second call into the JVM on the hottest natives. A null array is still
    // refused before the library is asked.
    RequireNotNull(record, "record");
    // On the stack: the largest record fetched by index is an order's 1410
    // bytes, and a heap block per call costs more than the copy itself.
    unsigned char buffer[kLargestIndexedRecord];
    if (size > sizeof buffer) throw std::length_error("record larger than the fetch buffer");
    const int32_t code = CheckResult(fetch(*qr, index, buffer));
    CopyOut(env, record, "record", buffer, size);
    return code;
  });
}

}  // namespace natives
