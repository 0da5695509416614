// Market data natives: price and market subscriptions (the contract key cut
// into its 10/10/50-byte fields), broadcast subscriptions, and the price,
// generic price, at-best and subscriber-depth fetches (the key passed whole).
#include <string>

#include "natives/frame.h"

using namespace natives;

namespace {

constexpr size_t kPriceRecord = 2412;
constexpr size_t kGenericPrice = 30;
constexpr size_t kAtBestEntry = 9;
constexpr size_t kAtBestPrices = 50;
constexpr size_t kDepthEntry = 30;

// The contract key record: exchange, commodity and contract names in fields
// of 11, 11 and 51 bytes. Cutting is by bytes, so a cut may fall inside a
// multi-byte character; the trading library receives what fits.
struct ContractKeyFields {
  FixedText<10> exchange;
  FixedText<10> commodity;
  FixedText<50> contract;
};
static_assert(sizeof(ContractKeyFields) == 73, "the contract key record is 73 bytes");

// The three key parts as whole bridge strings.
struct ContractKey {
  std::string exchange, commodity, contract;
  ContractKey(JNIEnv* env, jstring e, jstring c, jstring k)
      : exchange(JNIString(env, e)), commodity(JNIString(env, c)), contract(JNIString(env, k)) {}
};

template <typename Slot>
jint Subscription(JNIEnv* env, const char* native, const char* where, Slot Entries::*entry,
                  jstring e, jstring c, jstring k) {
  return Native(native, where, [&](const Entries& qr) {
    ContractKeyFields fields;
    AssignJava(env, e, fields.exchange);
    AssignJava(env, c, fields.commodity);
    AssignJava(env, k, fields.contract);
    CheckResult(
        (qr.*entry)(fields.exchange.c_str(), fields.commodity.c_str(), fields.contract.c_str()));
    return 0;
  });
}

template <typename Slot>
jint Broadcast(JNIEnv* env, const char* where, Slot Entries::*entry, jstring jSource) {
  return Native(where, [&](const Entries& qr) {
    FixedText<10> source;
    AssignJava(env, jSource, source);
    CheckResult((qr.*entry)(source.c_str()));
    return 0;
  });
}

template <typename Slot>
jint KeyCount(JNIEnv* env, const char* where, Slot Entries::*entry, jstring e, jstring c, jstring k,
              jintArray count) {
  return Native(where, [&](const Entries& qr) {
    RequireOut(env, count, "count", 1);
    const ContractKey key(env, e, c, k);
    int32_t value = 0;
    CheckResult(
        (qr.*entry)(key.exchange.c_str(), key.commodity.c_str(), key.contract.c_str(), &value));
    CopyOut(env, count, "count", &value, 1);
    return 0;
  });
}

template <size_t Size, typename Slot>
jint KeyIndexFetch(JNIEnv* env, const char* where, Slot Entries::*entry, jstring e, jstring c,
                   jstring k, jint index, jbyteArray record) {
  return Native(where, [&](const Entries& qr) {
    RequireOut(env, record, "record", Size);
    const ContractKey key(env, e, c, k);
    trace::Numbers(index);
    unsigned char buffer[Size];
    CheckResult((qr.*entry)(key.exchange.c_str(), key.commodity.c_str(), key.contract.c_str(),
                            index, buffer));
    CopyOut(env, record, "record", buffer, Size);
    return 0;
  });
}

template <size_t Size, typename Slot>
jint KeyFetch(JNIEnv* env, const char* where, Slot Entries::*entry, jstring e, jstring c, jstring k,
              jbyteArray record) {
  return Native(where, [&](const Entries& qr) {
    RequireOut(env, record, "record", Size);
    const ContractKey key(env, e, c, k);
    unsigned char buffer[Size];
    CheckResult(
        (qr.*entry)(key.exchange.c_str(), key.commodity.c_str(), key.contract.c_str(), buffer));
    CopyOut(env, record, "record", buffer, Size);
    return 0;
  });
}

}  // namespace

CLIENT_API(subscribe)(JNIEnv* env, jobject, jstring e, jstring c, jstring k) {
  return Subscription(env, __func__, __func__, &Entries::qrSubscribePrice, e, c, k);
}

CLIENT_API(subscribeToMarket)(JNIEnv* env, jobject, jstring e, jstring c, jstring k) {
  // Its failures are logged under a where-text of their own; the trace names
  // it as Java does.
  return Subscription(env, __func__, "Java_korvane_api_delphi_ClientAPI_subscribeMarket",
                      &Entries::qrSubscribeToMarket, e, c, k);
}

CLIENT_API(unsubscribe)(JNIEnv* env, jobject, jstring e, jstring c, jstring k) {
  return Subscription(env, __func__, __func__, &Entries::qrUnsubscribePrice, e, c, k);
}

CLIENT_API(unsubscribeToMarket)(JNIEnv* env, jobject, jstring e, jstring c, jstring k) {
  return Subscription(env, __func__, __func__, &Entries::qrUnsubscribeToMarket, e, c, k);
}

CLIENT_API(getContractPrices)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jbyteArray record) {
  return KeyFetch<kPriceRecord>(env, __func__, &Entries::qrGetPriceForContract, e, c, k, record);
}

CLIENT_API(getGenericPrice)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jint first, jint second,
 jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kGenericPrice);
    const ContractKey key(env, e, c, k);
    trace::Numbers(first, second);
    unsigned char buffer[kGenericPrice];
    CheckResult(qr.qrGetGenericPrice(key.exchange.c_str(), key.commodity.c_str(),
                                     key.contract.c_str(), first, second, buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(countContractAtBest)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jintArray count) {
  return KeyCount(env, __func__, &Entries::qrCountContractAtBest, e, c, k, count);
}

CLIENT_API(getContractAtBest)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jint index, jbyteArray record) {
  return KeyIndexFetch<kAtBestEntry>(env, __func__, &Entries::qrGetContractAtBest, e, c, k, index,
                                     record);
}

CLIENT_API(getContractAtBestPrices)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jbyteArray record) {
  return KeyFetch<kAtBestPrices>(env, __func__, &Entries::qrGetContractAtBestPrices, e, c, k,
                                 record);
}

CLIENT_API(countContractSubscriberDepth)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jintArray count) {
  return KeyCount(env, __func__, &Entries::qrCountContractSubscriberDepth, e, c, k, count);
}

CLIENT_API(getContractSubscriberDepth)
(JNIEnv* env, jobject, jstring e, jstring c, jstring k, jint index, jbyteArray record) {
  return KeyIndexFetch<kDepthEntry>(env, __func__, &Entries::qrGetContractSubscriberDepth, e, c, k,
                                    index, record);
}

CLIENT_API(subscribeToBroadcasts)(JNIEnv* env, jobject, jstring source) {
  return Broadcast(env, __func__, &Entries::qrSubscribeBroadcast, source);
}

CLIENT_API(unSubscribeFromBroadcasts)(JNIEnv* env, jobject, jstring source) {
  return Broadcast(env, __func__, &Entries::qrUnsubscribeBroadcast, source);
}
