// The standard native frame and the conversions between Java values and the
// trading library's: guard, convert, call, check, copy.
//
// A native reads like its table row:
//
//   return Native(__func__, [&](const Entries& qr) {
//     const std::string first = JNIString(env, jFirst);
//     CheckResult(qr.qrPurge(first.c_str(), ...));
//     return 0;
//   });
//
// __func__ is the exported name, which is also the native's where-text.
// Every string and buffer below is owned by one native call and released on
// every path; no Java exception is ever left pending: a Java array too short
// for the record a native copies into it fails the native with 99 through the
// funnel, naming the array and the size, and the array is left untouched.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "binding/errors.h"
#include "binding/loader.h"
#include "natives/onload.h"
#include "trace/trace.h"

namespace natives {

using Entries = binding::EntryTable;
using binding::CheckResult;
using binding::EQUOR;

// The edge of a native: the capture of every failure into a code under the
// where-text, and, while tracing, the call's record under the native's name
// (the two differ only for the shared routines, which log as themselves). A
// native whose Java declaration did not match at load runs no body: its
// arguments are not what it would read (natives/onload.h).
template <typename Body>
jint Edge(std::string_view native, std::string_view where, Body&& body) noexcept {
  const bool traced = trace::On();
  const trace::Begun begun = traced ? trace::Begin() : trace::Begun{};
  const jint code = gAnyMismatch.load(std::memory_order_relaxed) && RefuseMismatched(native)
                        ? MismatchedResult(native)
                        : binding::Capture(where, body);
  if (traced) trace::Call(native, begun, code);
  return code;
}

// The standard frame: the loaded guard (52 while no library is loaded), the
// body with the entry table, and the edge. The library stays loaded until the
// body returns. native is the exported name (__func__), by which the trace
// and the signature check know the native; where is the where-text its
// failures are logged under, the same but for the few natives whose where-text
// differs from their name.
template <typename Body>
jint Native(std::string_view native, std::string_view where, Body&& body) noexcept {
  return Edge(native, where, [&]() -> int32_t {
    binding::LibraryUse library = binding::CheckAPILoaded();
    return body(*library);
  });
}
template <typename Body>
jint Native(std::string_view where, Body&& body) noexcept {
  return Native(where, where, std::forward<Body>(body));
}

// A bridge string: the bytes of the string's modified UTF-8 form, as the JVM
// gives them, plus the zero byte that c_str() provides. A null reference, or
// a failure (logged under "JNIString"), gives the empty string.
std::string JNIString(JNIEnv* env, jstring text);

// The text before the first separator and the text after it; without a
// separator the first part is empty and the second is the whole text.
std::pair<std::string, std::string> SplitAt(const std::string& text, char separator);
// SplitAt for "host:port", with its failures logged under "GetHostAndPort".
std::pair<std::string, std::string> GetHostAndPort(const std::string& text);

// A fixed text field of capacity N: at most N bytes of the text and a zero
// byte; bytes after the zero are zero.
template <size_t N>
struct FixedText {
  char bytes[N + 1] = {};
  FixedText() = default;
  explicit FixedText(const std::string& text) { Assign(text); }
  void Assign(const std::string& text) {
    const size_t n = text.size() < N ? text.size() : N;
    std::memcpy(bytes, text.data(), n);
    std::memset(bytes + n, 0, N + 1 - n);
  }
  const char* c_str() const { return bytes; }
};

// A Java string's bridge string cut straight into a fixed field of capacity
// N, with no copy in between; failures as JNIString (an empty field).
void JNIStringInto(JNIEnv* env, jstring text, char* field, size_t capacity);
template <size_t N>
void AssignJava(JNIEnv* env, jstring text, FixedText<N>& field) {
  JNIStringInto(env, text, field.bytes, N);
}

// The Y/N flag of a Java boolean, in the low byte of a 32-bit argument.
inline int32_t Flag(jboolean value) {
  return value ? 'Y' : 'N';
}

// A Java byte zero-extended into a 32-bit argument.
inline int32_t ZeroExtended(jbyte value) {
  return static_cast<uint8_t>(value);
}

// Fails the native with 99 through the funnel when the array is null: checked
// before the trading library is called, so it never sees half a request.
void RequireArray(jarray array);

// The length of a Java array; a null array is a caller error that fails the
// native with 99 through the funnel before the trading library is called.
jsize ArrayLength(JNIEnv* env, jarray array);

// Fills record with exactly size bytes from the start of the Java array named
// `name` (its Java parameter name). A null or short array fails the native
// with 99 through the funnel, naming the array and both sizes (the JVM's
// exception for the short copy is cleared), and no partly filled record ever
// reaches the trading library.
void ReadRecord(JNIEnv* env, jbyteArray array, const char* name, void* record, size_t size);

// Fails the native with 99 through the funnel, before the trading library is
// called, when the Java array named `name` (its Java parameter name) is null
// or holds fewer than `count` elements: nothing is called and nothing is
// written when the answer could not be delivered whole.
void RequireOut(JNIEnv* env, jarray array, const char* name, size_t count);

// Fails the native with 99 through the funnel, with RequireOut's text for a
// null array, when the Java array named `name` is null: no call into the JVM.
void RequireNotNull(jarray array, const char* name);

// Copies into a Java array from element 0. A null or short array fails the
// native with 99 through the funnel with RequireOut's message and is not
// written (the JVM checks the bounds before it writes); the length is read
// only then, so a native that called RequireOut first reads it once.
void CopyOut(JNIEnv* env, jbyteArray array, const char* name, const void* bytes, size_t size);
void CopyOut(JNIEnv* env, jintArray array, const char* name, const int32_t* values, size_t count);
void CopyOut(JNIEnv* env, jbooleanArray array, const char* name, bool value);
void CopyOut(JNIEnv* env, jdoubleArray array, const char* name, double value);

// A local reference released when it goes out of scope.
class ScopedLocalRef {
 public:
  ScopedLocalRef(JNIEnv* env, jobject ref) : env_(env), ref_(ref) {}
  ~ScopedLocalRef() {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
  }
  ScopedLocalRef(const ScopedLocalRef&) = delete;
  ScopedLocalRef& operator=(const ScopedLocalRef&) = delete;
  jobject get() const { return ref_; }

 private:
  JNIEnv* env_;
  jobject ref_;
};

// The pending Java exception, cleared, as its toString() ("class: message"),
// for a log line; "a Java exception" when even that cannot be had. Traces no
// argument (unlike JNIString): it runs outside any native's record.
std::string TakeException(JNIEnv* env);

// A String[]'s length (a null array fails as ArrayLength), recorded in the
// trace so the elements read after it are named as its own.
jsize StringArrayLength(JNIEnv* env, jobjectArray array);

// Element i of a String[] as a bridge string.
std::string StringElement(JNIEnv* env, jobjectArray array, jsize index);

// The shared count routine: guard, entry(pointer to a count), check, copy
// into element 0. Failures other than EQUOR are logged under "CountProc".
template <typename Slot>
jint CountProc(const char* native, JNIEnv* env, jintArray count, Slot Entries::*entry,
               const char* name = "count") {
  return Edge(native, "CountProc", [&] {
    binding::LibraryUse qr = binding::CheckAPILoaded();
    RequireOut(env, count, name, 1);
    int32_t value = 0;
    CheckResult(((*qr).*entry)(&value));
    CopyOut(env, count, name, &value, 1);
    return 0;
  });
}

// The shared fetch-by-index routine: guard, a stack buffer of `size` bytes,
// fetch(table, index, buffer), check, copy. Returns the passing code the fetch
// gave (0 or 11). Failures other than EQUOR are logged under "GetProc".
using Fetch = int32_t (*)(const Entries& qr, int32_t index, void* record);
jint GetProc(std::string_view native, JNIEnv* env, jint index, jbyteArray record, size_t size,
             Fetch fetch);

}  // namespace natives

// The exported name of a ClientAPI native.
#define CLIENT_API(method) \
  extern "C" JNIEXPORT jint JNICALL Java_korvane_api_delphi_ClientAPI_##method
