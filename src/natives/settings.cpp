// Settings natives: pass Java's settings to the trading library, and read
// back the enabled functionality and whether Ravelin is on. Some entries'
// codes are checked, some ignored (the native then returns 0 whatever the
// library answered), as each native says.
#include <string>

#include "natives/frame.h"

using namespace natives;

namespace {

template <typename Slot>
jint CheckedInt(const char* where, Slot Entries::*entry, int32_t value) {
  return Native(where, [&](const Entries& qr) {
    trace::Numbers(value);
    CheckResult((qr.*entry)(value));
    return 0;
  });
}

template <typename Slot>
jint IgnoredInt(const char* where, Slot Entries::*entry, int32_t value) {
  return Native(where, [&](const Entries& qr) {
    trace::Numbers(value);
    (qr.*entry)(value);
    return 0;
  });
}

template <typename Slot>
jint IgnoredPair(const char* where, Slot Entries::*entry, int32_t first, int32_t second) {
  return Native(where, [&](const Entries& qr) {
    trace::Numbers(first, second);
    (qr.*entry)(first, second);
    return 0;
  });
}

// A Java boolean, traced as the boolean it is, crossing as its Y/N flag.
template <typename Slot>
jint CheckedFlag(const char* where, Slot Entries::*entry, jboolean on) {
  return Native(where, [&](const Entries& qr) {
    trace::Numbers(on);
    CheckResult((qr.*entry)(Flag(on)));
    return 0;
  });
}

// An empty text crosses as a pointer to an empty string, like every text.
template <typename Slot>
jint CheckedText(JNIEnv* env, const char* where, Slot Entries::*entry, jstring jText) {
  return Native(where, [&](const Entries& qr) {
    const std::string text = JNIString(env, jText);
    CheckResult((qr.*entry)(text.c_str()));
    return 0;
  });
}

}  // namespace

CLIENT_API(setPriceAgeCounter)(JNIEnv*, jobject, jint value) {
  return CheckedInt(__func__, &Entries::qrSetPriceAgeCounter, value);
}

CLIENT_API(setEncryptionCode)(JNIEnv*, jobject, jbyte code) {
  trace::Secret secret(trace::Secret::kNumbersToo);  // the code appears as its length only
  return IgnoredInt(__func__, &Entries::qrSetEncryptionCode, ZeroExtended(code));
}

// Clears every debug flag, then sets exactly the requested ones.
CLIENT_API(setDebugFlags)(JNIEnv*, jobject, jint flags) {
  return Native(__func__, [&](const Entries& qr) {
    trace::Numbers(flags);
    qr.qrDisable(-1);
    qr.qrEnable(flags);
    return 0;
  });
}

CLIENT_API(LogString)(JNIEnv* env, jobject, jstring jText) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string text = JNIString(env, jText);
    qr.qrLogString(text.c_str());
    return 0;
  });
}

CLIENT_API(setOMIEnabled)(JNIEnv*, jobject, jboolean on) {
  return CheckedFlag(__func__, &Entries::qrOMIEnabled, on);
}

CLIENT_API(getEnabledFunctionality)(JNIEnv* env, jobject, jintArray values) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, values, "values", 2);
    int32_t pair[2] = {0, 0};
    CheckResult(qr.qrEnabledFunctionality(&pair[0], &pair[1]));
    CopyOut(env, values, "values", pair, 2);
    return 0;
  });
}

CLIENT_API(setHostHandShakePeriods)(JNIEnv*, jobject, jint first, jint second) {
  return IgnoredPair(__func__, &Entries::qrSetHostHandShake, first, second);
}

CLIENT_API(setPriceHandShakePeriods)(JNIEnv*, jobject, jint first, jint second) {
  return IgnoredPair(__func__, &Entries::qrSetPriceHandShake, first, second);
}

CLIENT_API(setInternetUser)(JNIEnv*, jobject, jboolean on) {
  return CheckedFlag(__func__, &Entries::qrSetInternetUser, on);
}

CLIENT_API(setOrderCancelFailureDelay)(JNIEnv*, jobject, jint delay) {
  return IgnoredInt(__func__, &Entries::qrSetOrderCancelFailureDelay, delay);
}

CLIENT_API(setOrderSentFailureDelay)(JNIEnv*, jobject, jint delay) {
  return IgnoredInt(__func__, &Entries::qrSetOrderSentFailureDelay, delay);
}

CLIENT_API(setOrderQueuedFailureDelay)(JNIEnv*, jobject, jint delay) {
  return IgnoredInt(__func__, &Entries::qrSetOrderQueuedFailureDelay, delay);
}

// The library's yes (0) and no (11) become true and false.
CLIENT_API(isRavelin)(JNIEnv* env, jobject, jbooleanArray answer) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, answer, "answer", 1);
    const int32_t code = CheckResult(qr.qrRavelinEnabled());
    CopyOut(env, answer, "answer", code == binding::kSuccess);
    return 0;
  });
}

CLIENT_API(setSSLEnabled)(JNIEnv*, jobject, jboolean on) {
  return CheckedFlag(__func__, &Entries::qrSetSSL, on);
}

CLIENT_API(setPDDSSLEnabled)(JNIEnv*, jobject, jboolean on) {
  return CheckedFlag(__func__, &Entries::qrSetPDDSSL, on);
}

CLIENT_API(setSSLCertName)(JNIEnv* env, jobject, jstring name) {
  trace::Secret credentials(trace::Secret::kCredentials);  // length only
  return CheckedText(env, __func__, &Entries::qrSetSSLCertificateName, name);
}

CLIENT_API(setPDDSSLCertName)(JNIEnv* env, jobject, jstring name) {
  trace::Secret credentials(trace::Secret::kCredentials);  // length only
  return CheckedText(env, __func__, &Entries::qrSetPDDSSLCertificateName, name);
}

CLIENT_API(setSSLClientAuthName)(JNIEnv* env, jobject, jstring name) {
  trace::Secret credentials(trace::Secret::kCredentials);  // length only
  return CheckedText(env, __func__, &Entries::qrSetSSLClientAuthName, name);
}

CLIENT_API(setPDDSSLClientAuthName)(JNIEnv* env, jobject, jstring name) {
  trace::Secret credentials(trace::Secret::kCredentials);  // length only
  return CheckedText(env, __func__, &Entries::qrSetPDDSSLClientAuthName, name);
}

CLIENT_API(setMDSToken)(JNIEnv* env, jobject, jstring token) {
  trace::Secret secret;
  return CheckedText(env, __func__, &Entries::qrSetMDSToken, token);
}

CLIENT_API(setRavelinEnabled)(JNIEnv*, jobject, jboolean on) {
  return CheckedFlag(__func__, &Entries::qrSetRavelin, on);
}

// The library's code comes back unchanged, unchecked; with no library loaded
// the guard answers 52 instead of a call through an empty slot.
CLIENT_API(setMemoryWarning)(JNIEnv*, jobject, jint level) {
  return Native(__func__, [&](const Entries& qr) {
    trace::Numbers(level);
    return qr.qrSetMemoryWarning(level);
  });
}
