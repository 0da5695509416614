// createStrategy: leg descriptions packed into the 16-leg table.
#include <string>

#include "natives/frame.h"
#include "natives/strategy_legs.h"

using namespace natives;

// Legs are read in array order; the first invalid leg among the first 16
// ends the call before any later leg is read and before the entry is called.
// Elements past the 16th are converted and split but never validated.
CLIENT_API(createStrategy)
(JNIEnv* env, jobject, jbyte kind, jint n, jstring j1, jstring j2, jobjectArray legs) {
  unsigned char table[kLegTableBytes] = {};
  return Native(__func__, [&](const Entries& qr) {
    trace::Numbers(kind, n);
    const jsize count = StringArrayLength(env, legs);
    for (jsize i = 0; i < count; ++i) {
      const LegFields fields = Parse(StringElement(env, legs, i));
      if (static_cast<size_t>(i) < kLegs) FillLeg(table, static_cast<size_t>(i), fields);
    }
    const std::string s1 = JNIString(env, j1);
    const std::string s2 = JNIString(env, j2);
    CheckResult(qr.qrCreateStrategy(ZeroExtended(kind), n, s1.c_str(), s2.c_str(), table));
    return 0;
  });
}
