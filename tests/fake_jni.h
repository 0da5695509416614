// A JNIEnv whose function table the test controls.
//
// For what a real JVM cannot show cleanly: exact call sequences, pending
// exceptions, short arrays. Strings and arrays are objects owned by the
// FakeJni; every JNI call is recorded by name, and any call other than the
// exception and release functions made while an exception is pending is
// recorded as a violation (a real JVM under -Xcheck:jni would complain).
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fake {

class FakeJni {
 public:
  FakeJni();
  ~FakeJni();
  FakeJni(const FakeJni&) = delete;
  FakeJni& operator=(const FakeJni&) = delete;

  JNIEnv* env() { return &box_.env; }

  // Objects. The returned references stay valid for the FakeJni's lifetime.
  jstring NewString(const std::string& modifiedUtf8);
  jbyteArray NewByteArray(size_t length, uint8_t fill = 0);
  jintArray NewIntArray(size_t length, int32_t fill = 0);
  jbooleanArray NewBooleanArray(size_t length);
  jdoubleArray NewDoubleArray(size_t length, double fill = 0.0);
  jobjectArray NewStringArray(const std::vector<std::string>& items);
  jobject NewObject();  // a receiver whose class has messageReceived

  std::string StringOf(jstring s) const;  // text of a string made here or by NewStringUTF
  std::vector<uint8_t>& Bytes(jbyteArray a);
  std::vector<int32_t>& Ints(jintArray a);
  std::vector<jboolean>& Booleans(jbooleanArray a);
  std::vector<double>& Doubles(jdoubleArray a);

  // The calls made, by JNI function name, in order.
  const std::vector<std::string>& calls() const { return calls_; }
  size_t CountCalls(const std::string& name) const;
  void ClearCalls() { calls_.clear(); }
  // Calls made while an exception was pending (should stay empty).
  const std::vector<std::string>& violations() const { return violations_; }

  // Exceptions.
  bool pending() const { return !pendingClass_.empty(); }
  const std::string& pendingClass() const { return pendingClass_; }
  void Throw(const std::string& className) { pendingClass_ = className; }
  void ClearPending() { pendingClass_.clear(); }

  // messageReceived calls seen by CallVoidMethodA, and a hook run for each
  // (it may throw a Java exception with Throw()).
  struct Message {
    int32_t id;
    int32_t length;
    std::vector<uint8_t> buffer;  // the first buffer array's bytes at the call
  };
  const std::vector<Message>& messages() const { return messages_; }
  void OnMessage(void (*hook)(FakeJni&, const Message&, void*), void* context) {
    hook_ = hook;
    hookContext_ = context;
  }
  // Off: calls and messages are not kept (for runs of millions of events);
  // violations are still recorded and the message hook still runs.
  void SetRecording(bool on) { recording_ = on; }
  // Makes GetStringUTFChars return null (as a JVM out of memory would).
  void FailStringChars(bool fail) { failStringChars_ = fail; }

  // Used by the table functions.
  struct Object;
  static FakeJni& Of(JNIEnv* env);
  void Record(const char* name);
  Object* Get(jobject o) const;
  void TrackMessage(int32_t id, int32_t length);

 private:
  struct EnvBox {  // standard layout: the env's address is the box's
    JNIEnv env;
    FakeJni* owner;
  } box_{};
  std::unique_ptr<JNINativeInterface_> table_;
  std::vector<std::unique_ptr<Object>> objects_;
  std::vector<std::string> calls_;
  mutable std::vector<std::string> violations_;
  std::string pendingClass_;
  std::vector<Message> messages_;
  void (*hook_)(FakeJni&, const Message&, void*) = nullptr;
  void* hookContext_ = nullptr;
  bool failStringChars_ = false;
  bool recording_ = true;

 public:
  bool failStringChars() const { return failStringChars_; }
  jbyteArray lastBuffer = nullptr;  // the array messageReceived reads
};

}  // namespace fake
