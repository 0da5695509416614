#include "fake_jni.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace fake {

struct FakeJni::Object {
  enum Kind { kString, kBytes, kInts, kBooleans, kDoubles, kObjects, kPlain, kClass } kind;
  std::string text;
  std::vector<uint8_t> bytes;
  std::vector<int32_t> ints;
  std::vector<jboolean> booleans;
  std::vector<double> doubles;
  std::vector<jobject> items;
};

namespace {

using Object = FakeJni::Object;

const std::set<std::string> kAllowedWhilePending = {
    "ExceptionCheck",        "ExceptionClear", "ExceptionOccurred", "ExceptionDescribe",
    "ReleaseStringUTFChars", "DeleteLocalRef", "PopLocalFrame",     "DeleteGlobalRef"};

jmethodID const kMessageReceived = reinterpret_cast<jmethodID>(0x4d52);

constexpr const char* kBounds = "java/lang/ArrayIndexOutOfBoundsException";

template <typename T>
bool InRange(const std::vector<T>& v, jsize start, jsize len) {
  return start >= 0 && len >= 0 &&
         static_cast<size_t>(start) + static_cast<size_t>(len) <= v.size();
}

// No JVM behind the fake: the trace learns no thread names from it.
jint JNICALL GetJavaVM(JNIEnv*, JavaVM** vm) {
  *vm = nullptr;
  return JNI_ERR;
}

jint JNICALL GetVersion(JNIEnv* env) {
  FakeJni::Of(env).Record("GetVersion");
  return JNI_VERSION_1_8;
}

jclass JNICALL GetObjectClass(JNIEnv* env, jobject) {
  FakeJni::Of(env).Record("GetObjectClass");
  static Object theClass{Object::kClass, {}, {}, {}, {}, {}, {}};
  return reinterpret_cast<jclass>(&theClass);
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass, const char* name, const char* sig) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("GetMethodID");
  if (std::strcmp(name, "messageReceived") == 0 && std::strcmp(sig, "(II)V") == 0)
    return kMessageReceived;
  f.Throw("java/lang/NoSuchMethodError");
  return nullptr;
}

void JNICALL CallVoidMethodA(JNIEnv* env, jobject, jmethodID method, const jvalue* args) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("CallVoidMethodA");
  if (method == kMessageReceived) f.TrackMessage(args[0].i, args[1].i);
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("NewStringUTF");
  return f.NewString(utf);
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring s, jboolean* isCopy) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("GetStringUTFChars");
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  if (f.failStringChars()) {
    f.Throw("java/lang/OutOfMemoryError");
    return nullptr;
  }
  Object* o = f.Get(s);
  char* copy = new char[o->text.size() + 1];
  std::memcpy(copy, o->text.c_str(), o->text.size() + 1);
  return copy;
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring, const char* chars) {
  FakeJni::Of(env).Record("ReleaseStringUTFChars");
  delete[] chars;
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray a) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("GetArrayLength");
  Object* o = f.Get(a);
  switch (o->kind) {
    case Object::kBytes:
      return static_cast<jsize>(o->bytes.size());
    case Object::kInts:
      return static_cast<jsize>(o->ints.size());
    case Object::kBooleans:
      return static_cast<jsize>(o->booleans.size());
    case Object::kDoubles:
      return static_cast<jsize>(o->doubles.size());
    case Object::kObjects:
      return static_cast<jsize>(o->items.size());
    default:
      return 0;
  }
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize index) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("GetObjectArrayElement");
  Object* o = f.Get(a);
  if (index < 0 || static_cast<size_t>(index) >= o->items.size()) {
    f.Throw(kBounds);
    return nullptr;
  }
  return o->items[index];
}

void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray a, jsize start, jsize len, jbyte* buf) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("GetByteArrayRegion");
  Object* o = f.Get(a);
  if (!InRange(o->bytes, start, len)) return f.Throw(kBounds);
  std::memcpy(buf, o->bytes.data() + start, static_cast<size_t>(len));
}

// The Set<Type>ArrayRegion functions: bounds-checked copies into the array's
// elements, or the array-bounds exception a JVM would leave pending.
template <typename Element, std::vector<Element> Object::*Elements, typename Source>
void SetRegion(JNIEnv* env, const char* name, jobject a, jsize start, jsize len,
               const Source* buf) {
  FakeJni& f = FakeJni::Of(env);
  f.Record(name);
  std::vector<Element>& elements = f.Get(a)->*Elements;
  if (!InRange(elements, start, len)) return f.Throw(kBounds);
  std::copy(buf, buf + len, elements.begin() + start);
}

void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray a, jsize start, jsize len,
                                const jbyte* buf) {
  SetRegion<uint8_t, &Object::bytes>(env, "SetByteArrayRegion", a, start, len, buf);
}

void JNICALL SetIntArrayRegion(JNIEnv* env, jintArray a, jsize start, jsize len, const jint* buf) {
  SetRegion<int32_t, &Object::ints>(env, "SetIntArrayRegion", a, start, len, buf);
}

void JNICALL SetBooleanArrayRegion(JNIEnv* env, jbooleanArray a, jsize start, jsize len,
                                   const jboolean* buf) {
  SetRegion<jboolean, &Object::booleans>(env, "SetBooleanArrayRegion", a, start, len, buf);
}

void JNICALL SetDoubleArrayRegion(JNIEnv* env, jdoubleArray a, jsize start, jsize len,
                                  const jdouble* buf) {
  SetRegion<double, &Object::doubles>(env, "SetDoubleArrayRegion", a, start, len, buf);
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("ExceptionCheck");
  return f.pending() ? JNI_TRUE : JNI_FALSE;
}

void JNICALL ExceptionClear(JNIEnv* env) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("ExceptionClear");
  f.ClearPending();
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
  FakeJni& f = FakeJni::Of(env);
  f.Record("ExceptionOccurred");
  static Object throwable{Object::kPlain, {}, {}, {}, {}, {}, {}};
  return f.pending() ? reinterpret_cast<jthrowable>(&throwable) : nullptr;
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
  FakeJni::Of(env).Record("ExceptionDescribe");
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject) {
  FakeJni::Of(env).Record("DeleteLocalRef");
}

}  // namespace

FakeJni::FakeJni() : table_(std::make_unique<JNINativeInterface_>()) {
  std::memset(static_cast<void*>(table_.get()), 0, sizeof(JNINativeInterface_));
  table_->GetVersion = &GetVersion;
  table_->GetJavaVM = &GetJavaVM;
  table_->GetObjectClass = &GetObjectClass;
  table_->GetMethodID = &GetMethodID;
  table_->CallVoidMethodA = &CallVoidMethodA;
  table_->NewStringUTF = &NewStringUTF;
  table_->GetStringUTFChars = &GetStringUTFChars;
  table_->ReleaseStringUTFChars = &ReleaseStringUTFChars;
  table_->GetArrayLength = &GetArrayLength;
  table_->GetObjectArrayElement = &GetObjectArrayElement;
  table_->GetByteArrayRegion = &GetByteArrayRegion;
  table_->SetByteArrayRegion = &SetByteArrayRegion;
  table_->SetIntArrayRegion = &SetIntArrayRegion;
  table_->SetBooleanArrayRegion = &SetBooleanArrayRegion;
  table_->SetDoubleArrayRegion = &SetDoubleArrayRegion;
  table_->ExceptionCheck = &ExceptionCheck;
  table_->ExceptionClear = &ExceptionClear;
  table_->ExceptionOccurred = &ExceptionOccurred;
  table_->ExceptionDescribe = &ExceptionDescribe;
  table_->DeleteLocalRef = &DeleteLocalRef;
  box_.env.functions = table_.get();
  box_.owner = this;
}

FakeJni::~FakeJni() = default;

FakeJni& FakeJni::Of(JNIEnv* env) {
  return *reinterpret_cast<EnvBox*>(env)->owner;
}

// Never throws: a JVM's JNI functions do not, and some are called from
// destructors (a failing allocation in the alloc tests must not end here).
void FakeJni::Record(const char* name) {
  try {
    if (recording_) calls_.emplace_back(name);
    if (pending() && kAllowedWhilePending.count(name) == 0) violations_.emplace_back(name);
  } catch (...) {
  }
}

FakeJni::Object* FakeJni::Get(jobject o) const {
  if (o == nullptr) {
    // A JVM would crash here; record it and stop the native.
    violations_.emplace_back("null reference");
    throw std::logic_error("null reference passed to JNI");
  }
  return reinterpret_cast<Object*>(o);
}

void FakeJni::TrackMessage(int32_t id, int32_t length) {
  if (!recording_) {
    Message m{id, length, {}};
    if (hook_ != nullptr) hook_(*this, m, hookContext_);
    return;
  }
  Message m{id, length, lastBuffer != nullptr ? Bytes(lastBuffer) : std::vector<uint8_t>{}};
  messages_.push_back(m);
  if (hook_ != nullptr) hook_(*this, messages_.back(), hookContext_);
}

namespace {
template <typename Ref>
Ref Add(std::vector<std::unique_ptr<Object>>& objects, Object object) {
  objects.push_back(std::make_unique<Object>(std::move(object)));
  return reinterpret_cast<Ref>(objects.back().get());
}
}  // namespace

jstring FakeJni::NewString(const std::string& modifiedUtf8) {
  Object o{Object::kString, modifiedUtf8, {}, {}, {}, {}, {}};
  return Add<jstring>(objects_, std::move(o));
}

jbyteArray FakeJni::NewByteArray(size_t length, uint8_t fill) {
  Object o{Object::kBytes, {}, std::vector<uint8_t>(length, fill), {}, {}, {}, {}};
  return Add<jbyteArray>(objects_, std::move(o));
}

jintArray FakeJni::NewIntArray(size_t length, int32_t fill) {
  Object o{Object::kInts, {}, {}, std::vector<int32_t>(length, fill), {}, {}, {}};
  return Add<jintArray>(objects_, std::move(o));
}

jbooleanArray FakeJni::NewBooleanArray(size_t length) {
  Object o{Object::kBooleans, {}, {}, {}, std::vector<jboolean>(length, 0), {}, {}};
  return Add<jbooleanArray>(objects_, std::move(o));
}

jdoubleArray FakeJni::NewDoubleArray(size_t length, double fill) {
  Object o{Object::kDoubles, {}, {}, {}, {}, std::vector<double>(length, fill), {}};
  return Add<jdoubleArray>(objects_, std::move(o));
}

jobjectArray FakeJni::NewStringArray(const std::vector<std::string>& items) {
  Object o{Object::kObjects, {}, {}, {}, {}, {}, {}};
  for (const auto& item : items) o.items.push_back(item == "\x01null" ? nullptr : NewString(item));
  return Add<jobjectArray>(objects_, std::move(o));
}

jobject FakeJni::NewObject() {
  return Add<jobject>(objects_, Object{Object::kPlain, {}, {}, {}, {}, {}, {}});
}

std::string FakeJni::StringOf(jstring s) const {
  return Get(s)->text;
}
std::vector<uint8_t>& FakeJni::Bytes(jbyteArray a) {
  return Get(a)->bytes;
}
std::vector<int32_t>& FakeJni::Ints(jintArray a) {
  return Get(a)->ints;
}
std::vector<jboolean>& FakeJni::Booleans(jbooleanArray a) {
  return Get(a)->booleans;
}
std::vector<double>& FakeJni::Doubles(jdoubleArray a) {
  return Get(a)->doubles;
}

size_t FakeJni::CountCalls(const std::string& name) const {
  return static_cast<size_t>(std::count(calls_.begin(), calls_.end(), name));
}

}  // namespace fake
