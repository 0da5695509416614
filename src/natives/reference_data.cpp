// Reference data natives: counts, fetches by index, and keyed fetches of
// accounts, exchanges, commodities, contracts, order types, orders, fills,
// report types, user messages, order history, reports and exchange rates.
// Records are copied whole and never decoded.
#include <memory>
#include <string>

#include "natives/frame.h"

using namespace natives;

namespace {

// Record sizes, in bytes, as the trading library writes them.
constexpr size_t kAccountByIndex = 48;
constexpr size_t kAccountByName = 47;
constexpr size_t kExchange = 33;
constexpr size_t kCommodity = 74;
constexpr size_t kContract = 1107;
constexpr size_t kOrderType = 37;
constexpr size_t kOrder = 1410;
constexpr size_t kFill = 473;
constexpr size_t kReportType = 21;
constexpr size_t kMessage = 514;
constexpr size_t kExchangeRate = 21;

// A fetch that returns the entry's own passing code (0 or 11).
template <auto Entry>
int32_t Direct(const Entries& qr, int32_t index, void* record) {
  return (qr.*Entry)(index, record);
}

// The pass-through adapter: checks the entry's code itself and answers 0, so
// a passing 11 never reaches Java through these fetches.
template <auto Entry>
int32_t PassThrough(const Entries& qr, int32_t index, void* record) {
  CheckResult((qr.*Entry)(index, record));
  return 0;
}

}  // namespace

CLIENT_API(countAccounts)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountTraders);
}
CLIENT_API(countExchanges)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountExchanges);
}
CLIENT_API(countCommodities)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountCommodities);
}
CLIENT_API(countOrderTypes)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountOrderTypes);
}
CLIENT_API(countOrders)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountOrders);
}
CLIENT_API(countFills)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountFills);
}
CLIENT_API(countContracts)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountContracts);
}
CLIENT_API(countReportTypes)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountReportTypes);
}
CLIENT_API(countMessages)(JNIEnv* env, jobject, jintArray n) {
  return CountProc(__func__, env, n, &Entries::qrCountUsrMsgs);
}

CLIENT_API(getAccount)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kAccountByIndex, &PassThrough<&Entries::qrGetTrader>);
}
CLIENT_API(getExchange)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kExchange, &Direct<&Entries::qrGetExchange>);
}
CLIENT_API(getCommodity)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kCommodity, &Direct<&Entries::qrGetCommodity>);
}
CLIENT_API(getOrderType)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kOrderType, &PassThrough<&Entries::qrGetOrderType>);
}
CLIENT_API(getOrder)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kOrder, &Direct<&Entries::qrGetOrder>);
}
CLIENT_API(getFill)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kFill, &Direct<&Entries::qrGetFill>);
}
CLIENT_API(getContract)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kContract, &Direct<&Entries::qrGetExtendedContract>);
}
CLIENT_API(getReportType)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kReportType, &Direct<&Entries::qrGetReportType>);
}
CLIENT_API(getMessage)(JNIEnv* env, jobject, jint i, jbyteArray r) {
  return GetProc(__func__, env, i, r, kMessage, &Direct<&Entries::qrGetUsrMsg>);
}

// The only keyed fetch that hands a passing 11 back to Java.
CLIENT_API(getAccountByName)(JNIEnv* env, jobject, jstring jName, jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kAccountByName);
    const std::string name = JNIString(env, jName);
    unsigned char buffer[kAccountByName];
    const int32_t code = CheckResult(qr.qrGetTraderByName(name.c_str(), buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return code;
  });
}

CLIENT_API(getExchangeByName)(JNIEnv* env, jobject, jstring jExchange, jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kExchange);
    const std::string exchange = JNIString(env, jExchange);
    unsigned char buffer[kExchange];
    CheckResult(qr.qrGetExchangeByName(exchange.c_str(), buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(getCommodityByName)
(JNIEnv* env, jobject, jstring jExchange, jstring jCommodity, jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kCommodity);
    const std::string exchange = JNIString(env, jExchange);
    const std::string commodity = JNIString(env, jCommodity);
    unsigned char buffer[kCommodity];
    CheckResult(qr.qrGetCommodityByName(exchange.c_str(), commodity.c_str(), buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(getContractByName)
(JNIEnv* env, jobject, jstring jExchange, jstring jCommodity, jstring jContract,
 jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kContract);
    const std::string exchange = JNIString(env, jExchange);
    const std::string commodity = JNIString(env, jCommodity);
    const std::string contract = JNIString(env, jContract);
    unsigned char buffer[kContract];
    CheckResult(qr.qrGetExtendedContractByName(exchange.c_str(), commodity.c_str(),
                                               contract.c_str(), buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(countOrderHistory)(JNIEnv* env, jobject, jint order, jintArray count) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, count, "count", 1);
    trace::Numbers(order);
    int32_t value = 0;
    CheckResult(qr.qrCountOrderHistory(order, &value));
    CopyOut(env, count, "count", &value, 1);
    return 0;
  });
}

CLIENT_API(getOrderHistory)(JNIEnv* env, jobject, jint order, jint position, jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kOrder);
    trace::Numbers(order, position);
    unsigned char buffer[kOrder];
    CheckResult(qr.qrGetOrderHistory(order, position, buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(getReportSize)(JNIEnv* env, jobject, jstring jReportType, jintArray size) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, size, "size", 1);
    const std::string reportType = JNIString(env, jReportType);
    int32_t value = 0;
    CheckResult(qr.qrGetReportSize(reportType.c_str(), &value));
    CopyOut(env, size, "size", &value, 1);
    return 0;
  });
}

// The report's length is the Java array's: the caller sizes it from
// getReportSize. A zero-length array passes a null buffer.
CLIENT_API(getReport)(JNIEnv* env, jobject, jstring jReportType, jbyteArray report) {
  return Native(__func__, [&](const Entries& qr) {
    const jsize length = ArrayLength(env, report);
    std::unique_ptr<unsigned char[]> buffer(length > 0 ? new unsigned char[length] : nullptr);
    const std::string reportType = JNIString(env, jReportType);
    CheckResult(qr.qrGetReport(reportType.c_str(), length, buffer.get()));
    if (length > 0) CopyOut(env, report, "report", buffer.get(), static_cast<size_t>(length));
    return 0;
  });
}

CLIENT_API(getExchangeRate)(JNIEnv* env, jobject, jstring jCurrency, jbyteArray record) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, record, "record", kExchangeRate);
    const std::string currency = JNIString(env, jCurrency);
    unsigned char buffer[kExchangeRate];
    CheckResult(qr.qrGetExchangeRate(currency.c_str(), buffer));
    CopyOut(env, record, "record", buffer, sizeof buffer);
    return 0;
  });
}

CLIENT_API(acknowledgeUsrMsg)(JNIEnv* env, jobject, jstring jMessageId) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string messageId = JNIString(env, jMessageId);
    CheckResult(qr.qrAcknowledgeUsrMsg(messageId.c_str()));
    return 0;
  });
}
