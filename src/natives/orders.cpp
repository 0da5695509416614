// Order entry natives: add, amend, check, query and cancel orders, fetch
// orders and fills by identifier, and the next order sequence. Java builds
// every record byte for byte; the bridge copies exactly the record's size
// each way and never reads a field.
#include <string>

#include "natives/frame.h"

using namespace natives;

namespace {

constexpr size_t kOrder = 957;
constexpr size_t kBatch = 10 * kOrder;
constexpr size_t kProtection = 149;
constexpr size_t kAggregate = 147;
constexpr size_t kCustomerRequest = 222;
constexpr size_t kAmend = 782;
constexpr size_t kPairedDetails = 336;
constexpr size_t kBasisDetails = 64;
constexpr size_t kOrderDetail = 1410;
constexpr size_t kFillDetail = 473;
constexpr size_t kPairedResult = 2 * 11;
constexpr size_t kBatchResultsA = 10 * 11;
constexpr size_t kBatchResultB = 11;
constexpr size_t kAAText = 10;

// A record read whole from a Java array before the entry is called.
template <size_t N>
struct InRecord {
  unsigned char bytes[N];
  InRecord(JNIEnv* env, jbyteArray array, const char* name) {
    ReadRecord(env, array, name, bytes, N);
  }
};

// The four-string cancels share one shape.
template <typename Slot>
jint Cancel(JNIEnv* env, const char* where, Slot Entries::*entry, jstring j1, jstring j2,
            jstring j3, jstring j4) {
  return Native(where, [&](const Entries& qr) {
    const std::string s1 = JNIString(env, j1);
    const std::string s2 = JNIString(env, j2);
    const std::string s3 = JNIString(env, j3);
    const std::string s4 = JNIString(env, j4);
    CheckResult((qr.*entry)(s1.c_str(), s2.c_str(), s3.c_str(), s4.c_str()));
    return 0;
  });
}

// Block and basis orders: two orders and a details record in, a 22-byte
// paired result out.
template <size_t DetailsSize, typename Slot>
jint Paired(JNIEnv* env, const char* where, Slot Entries::*entry, jbyteArray jFirst,
            jbyteArray jSecond, jbyteArray jDetails, const char* detailsName, jbyteArray out) {
  return Native(where, [&](const Entries& qr) {
    RequireOut(env, out, "results", kPairedResult);
    const InRecord<kOrder> first(env, jFirst, "first");
    const InRecord<kOrder> second(env, jSecond, "second");
    const InRecord<DetailsSize> details(env, jDetails, detailsName);
    unsigned char results[kPairedResult];
    CheckResult((qr.*entry)(first.bytes, second.bytes, details.bytes, results));
    CopyOut(env, out, "results", results, sizeof results);
    return 0;
  });
}

}  // namespace

CLIENT_API(getOrderById)(JNIEnv* env, jobject, jstring jOrderId, jbyteArray out, jint n) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "record", kOrderDetail);
    const std::string orderId = JNIString(env, jOrderId);
    trace::Numbers(n);
    unsigned char buffer[kOrderDetail];
    CheckResult(qr.qrGetOrderByID(orderId.c_str(), buffer, n));
    CopyOut(env, out, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(getOrderIndex)(JNIEnv* env, jobject, jstring jOrderId, jintArray out) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "index", 1);
    const std::string orderId = JNIString(env, jOrderId);
    int32_t index = 0;
    CheckResult(qr.qrGetOrderIndex(orderId.c_str(), &index));
    CopyOut(env, out, "index", &index, 1);
    return 0;
  });
}

CLIENT_API(getFillById)(JNIEnv* env, jobject, jstring jFillId, jbyteArray out) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "record", kFillDetail);
    const std::string fillId = JNIString(env, jFillId);
    unsigned char buffer[kFillDetail];
    CheckResult(qr.qrGetFillByID(fillId.c_str(), buffer));
    CopyOut(env, out, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(addOrder)(JNIEnv* env, jobject, jbyteArray jOrder) {
  return Native(__func__, [&](const Entries& qr) {
    const InRecord<kOrder> order(env, jOrder, "order");
    CheckResult(qr.qrAddOrder(order.bytes, nullptr));
    return 0;
  });
}

CLIENT_API(addProtectionOrder)(JNIEnv* env, jobject, jbyteArray jOrder, jbyteArray jProtection) {
  return Native(__func__, [&](const Entries& qr) {
    const InRecord<kOrder> order(env, jOrder, "order");
    const InRecord<kProtection> protection(env, jProtection, "protection");
    CheckResult(qr.qrAddProtectionOrder(order.bytes, protection.bytes, nullptr));
    return 0;
  });
}

// The whole ten-order block always crosses, whatever n says.
CLIENT_API(addBatchOrder)
(JNIEnv* env, jobject, jint n, jbyteArray jOrders, jbyteArray outA, jbyteArray outB) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, outA, "resultsA", kBatchResultsA);
    RequireOut(env, outB, "resultB", kBatchResultB);
    trace::Numbers(n);
    const InRecord<kBatch> orders(env, jOrders, "orders");
    unsigned char resultsA[kBatchResultsA];
    unsigned char resultB[kBatchResultB];
    CheckResult(qr.qrAddBatchOrder(n, orders.bytes, resultsA, resultB));
    CopyOut(env, outA, "resultsA", resultsA, sizeof resultsA);
    CopyOut(env, outB, "resultB", resultB, sizeof resultB);
    return 0;
  });
}

CLIENT_API(addAggOrder)(JNIEnv* env, jobject, jbyteArray jOrder) {
  return Native(__func__, [&](const Entries& qr) {
    const InRecord<kAggregate> order(env, jOrder, "order");
    CheckResult(qr.qrAddAggregateOrder(order.bytes, nullptr));
    return 0;
  });
}

CLIENT_API(addCustReqOrder)(JNIEnv* env, jobject, jbyteArray jRequest) {
  return Native(__func__, [&](const Entries& qr) {
    const InRecord<kCustomerRequest> request(env, jRequest, "request");
    CheckResult(qr.qrAddCustRequest(request.bytes, nullptr));
    return 0;
  });
}

// Calls nothing (and succeeds) unless both strings are given.
CLIENT_API(reparentOrder)(JNIEnv* env, jobject, jstring jFirst, jstring jSecond) {
  // Its failures are logged under a where-text of their own; the trace names
  // it as Java does.
  return Native(__func__, "Java_korvane_api_delphi_ClientAPI_ReparentOrder",
                [&](const Entries& qr) {
                  if (jFirst == nullptr || jSecond == nullptr) return 0;
                  const std::string first = JNIString(env, jFirst);
                  const std::string second = JNIString(env, jSecond);
                  CheckResult(qr.qrReParent(first.c_str(), second.c_str()));
                  return 0;
                });
}

CLIENT_API(addCrossingOrder)
(JNIEnv* env, jobject, jbyteArray jFirst, jbyteArray jSecond, jbyteArray jDetails, jbyteArray out,
 jbyte code) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "results", kPairedResult);
    const InRecord<kOrder> first(env, jFirst, "first");
    const InRecord<kOrder> second(env, jSecond, "second");
    const InRecord<kPairedDetails> details(env, jDetails, "details");
    trace::Numbers(code);
    unsigned char results[kPairedResult];
    CheckResult(qr.qrAddCrossingOrder(first.bytes, second.bytes, details.bytes, results,
                                      ZeroExtended(code)));
    CopyOut(env, out, "results", results, sizeof results);
    return 0;
  });
}

CLIENT_API(addBlockOrder)
(JNIEnv* env, jobject, jbyteArray jFirst, jbyteArray jSecond, jbyteArray jDetails, jbyteArray out) {
  return Paired<kPairedDetails>(env, __func__, &Entries::qrAddBlockOrder, jFirst, jSecond, jDetails,
                                "details", out);
}

CLIENT_API(addBasisOrder)
(JNIEnv* env, jobject, jbyteArray jFirst, jbyteArray jSecond, jbyteArray jDetails, jbyteArray out) {
  return Paired<kBasisDetails>(env, __func__, &Entries::qrAddBasisOrder, jFirst, jSecond, jDetails,
                               "basisDetails", out);
}

CLIENT_API(addAAOrder)
(JNIEnv* env, jobject, jbyteArray jFirst, jbyteArray jSecond, jstring j1, jstring j2,
 jbyteArray out) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "results", kPairedResult);
    const InRecord<kOrder> first(env, jFirst, "first");
    const InRecord<kOrder> second(env, jSecond, "second");
    const FixedText<kAAText> s1(JNIString(env, j1));
    const FixedText<kAAText> s2(JNIString(env, j2));
    unsigned char results[kPairedResult];
    CheckResult(qr.qrAddAAOrder(first.bytes, second.bytes, s1.c_str(), s2.c_str(), results));
    CopyOut(env, out, "results", results, sizeof results);
    return 0;
  });
}

CLIENT_API(amendOrder)(JNIEnv* env, jobject, jstring jOrderId, jbyteArray jAmend) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string orderId = JNIString(env, jOrderId);
    const InRecord<kAmend> amend(env, jAmend, "amend");
    CheckResult(qr.qrAmendOrder(orderId.c_str(), amend.bytes));
    return 0;
  });
}

CLIENT_API(checkOrder)(JNIEnv* env, jobject, jstring jOrderId, jboolean checked) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string orderId = JNIString(env, jOrderId);
    trace::Numbers(checked);
    CheckResult(qr.qrOrderChecked(orderId.c_str(), Flag(checked)));
    return 0;
  });
}

CLIENT_API(queryOrder)(JNIEnv* env, jobject, jstring jOrderId) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string orderId = JNIString(env, jOrderId);
    CheckResult(qr.qrQueryOrderStatus(orderId.c_str()));
    return 0;
  });
}

CLIENT_API(cancelAll)(JNIEnv* env, jobject, jstring js) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string s = JNIString(env, js);
    CheckResult(qr.qrCancelAll(s.c_str()));
    return 0;
  });
}

CLIENT_API(cancelBuys)(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4) {
  return Cancel(env, __func__, &Entries::qrCancelBuys, j1, j2, j3, j4);
}

CLIENT_API(cancelSells)(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4) {
  return Cancel(env, __func__, &Entries::qrCancelSells, j1, j2, j3, j4);
}

CLIENT_API(cancelOrders)(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4) {
  return Cancel(env, __func__, &Entries::qrCancelOrders, j1, j2, j3, j4);
}

// Calls nothing (and succeeds) when no order is named.
CLIENT_API(cancelOrder)(JNIEnv* env, jobject, jstring jOrderId) {
  return Native(__func__, [&](const Entries& qr) {
    if (jOrderId == nullptr) return 0;
    const std::string orderId = JNIString(env, jOrderId);
    CheckResult(qr.qrCancelOrder(orderId.c_str()));
    return 0;
  });
}

CLIENT_API(nextOrderSequence)(JNIEnv* env, jobject, jintArray out) {
  return CountProc(__func__, env, out, &Entries::qrNextOrderSequence, "sequence");
}
