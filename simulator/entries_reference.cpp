// Reference data, messages and price entries.
#include "simulator/exports.h"
#include "simulator/sim.h"

using namespace sim;

// entry(out count): the configured count, else none.
#define SIM_COUNT(entry)                    \
  int32_t QR_CALL entry(int32_t* count) {   \
    return Call(#entry, {Out(count)}, [&] { \
      FillCount(#entry, count, 0);          \
      return 0;                             \
    });                                     \
  }

// entry(index, out record of size bytes).
#define SIM_BY_INDEX(entry, size)                        \
  int32_t QR_CALL entry(int32_t index, void* record) {   \
    return Call(#entry, {Int(index), Out(record)}, [&] { \
      FillOutput(#entry, record, size);                  \
      return 0;                                          \
    });                                                  \
  }

// entry(key text, out record of size bytes).
#define SIM_BY_TEXT(entry, size)                         \
  int32_t QR_CALL entry(const char* key, void* record) { \
    return Call(#entry, {Text(key), Out(record)}, [&] {  \
      FillOutput(#entry, record, size);                  \
      return 0;                                          \
    });                                                  \
  }

// entry(exchange, commodity, contract, out record of size bytes).
#define SIM_BY_CONTRACT(entry, size)                                                          \
  int32_t QR_CALL entry(const char* exchange, const char* commodity, const char* contract,    \
                        void* record) {                                                       \
    return Call(#entry, {Text(exchange), Text(commodity), Text(contract), Out(record)}, [&] { \
      FillOutput(#entry, record, size);                                                       \
      return 0;                                                                               \
    });                                                                                       \
  }

#define SIM_CONTRACT_ONLY(entry)                                                             \
  int32_t QR_CALL entry(const char* exchange, const char* commodity, const char* contract) { \
    return Call(#entry, {Text(exchange), Text(commodity), Text(contract)});                  \
  }

extern "C" {

SIM_COUNT(qrCountExchanges)
SIM_BY_INDEX(qrGetExchange, 33)
SIM_BY_TEXT(qrGetExchangeByName, 33)
int32_t QR_CALL qrExchangeExists(const char* exchange) {
  return Call("qrExchangeExists", {Text(exchange)});
}
SIM_COUNT(qrCountTraders)
SIM_BY_INDEX(qrGetTrader, 48)
SIM_BY_TEXT(qrGetTraderByName, 47)
int32_t QR_CALL qrTraderExists(const char* trader) {
  return Call("qrTraderExists", {Text(trader)});
}
SIM_COUNT(qrCountOrderTypes)
SIM_BY_INDEX(qrGetOrderType, 37)
SIM_BY_TEXT(qrGetExchangeRate, 21)
SIM_COUNT(qrCountReportTypes)
SIM_BY_INDEX(qrGetReportType, 21)
int32_t QR_CALL qrReportTypeExists(const char* reportType) {
  return Call("qrReportTypeExists", {Text(reportType)});
}

int32_t QR_CALL qrGetReportSize(const char* reportType, int32_t* size) {
  return Call("qrGetReportSize", {Text(reportType), Out(size)}, [&] {
    FillCount("qrGetReportSize", size, 0);
    return 0;
  });
}

int32_t QR_CALL qrGetReport(const char* reportType, int32_t length, void* report) {
  return Call("qrGetReport", {Text(reportType), Int(length), Out(report)}, [&] {
    if (length > 0) FillOutput("qrGetReport", report, static_cast<size_t>(length));
    return 0;
  });
}

SIM_COUNT(qrCountCommodities)
SIM_BY_INDEX(qrGetCommodity, 74)

int32_t QR_CALL qrCommodityExists(const char* exchange, const char* commodity) {
  return Call("qrCommodityExists", {Text(exchange), Text(commodity)});
}

int32_t QR_CALL qrGetCommodityByName(const char* exchange, const char* commodity, void* record) {
  return Call("qrGetCommodityByName", {Text(exchange), Text(commodity), Out(record)}, [&] {
    FillOutput("qrGetCommodityByName", record, 74);
    return 0;
  });
}

SIM_COUNT(qrCountContracts)
SIM_BY_INDEX(qrGetContract, 1107)
SIM_BY_CONTRACT(qrGetContractByName, 1107)
SIM_BY_TEXT(qrGetContractByExternalID, 1107)
SIM_BY_INDEX(qrGetExtendedContract, 1107)
SIM_BY_CONTRACT(qrGetExtendedContractByName, 1107)
SIM_CONTRACT_ONLY(qrContractExists)

int32_t QR_CALL qrCountContractAtBest(const char* exchange, const char* commodity,
                                      const char* contract, int32_t* count) {
  return Call("qrCountContractAtBest",
              {Text(exchange), Text(commodity), Text(contract), Out(count)}, [&] {
                FillCount("qrCountContractAtBest", count, 0);
                return 0;
              });
}

int32_t QR_CALL qrGetContractAtBest(const char* exchange, const char* commodity,
                                    const char* contract, int32_t index, void* record) {
  return Call("qrGetContractAtBest",
              {Text(exchange), Text(commodity), Text(contract), Int(index), Out(record)}, [&] {
                FillOutput("qrGetContractAtBest", record, 9);
                return 0;
              });
}

SIM_BY_CONTRACT(qrGetContractAtBestPrices, 50)

int32_t QR_CALL qrCountContractSubscriberDepth(const char* exchange, const char* commodity,
                                               const char* contract, int32_t* count) {
  return Call("qrCountContractSubscriberDepth",
              {Text(exchange), Text(commodity), Text(contract), Out(count)}, [&] {
                FillCount("qrCountContractSubscriberDepth", count, 0);
                return 0;
              });
}

int32_t QR_CALL qrGetContractSubscriberDepth(const char* exchange, const char* commodity,
                                             const char* contract, int32_t index, void* record) {
  return Call("qrGetContractSubscriberDepth",
              {Text(exchange), Text(commodity), Text(contract), Int(index), Out(record)}, [&] {
                FillOutput("qrGetContractSubscriberDepth", record, 30);
                return 0;
              });
}

SIM_CONTRACT_ONLY(qrSubscribePrice)
SIM_CONTRACT_ONLY(qrSubscribeToMarket)
SIM_CONTRACT_ONLY(qrUnsubscribePrice)
SIM_CONTRACT_ONLY(qrUnsubscribeToMarket)
SIM_CONTRACT_ONLY(qrPriceSnapshot)
SIM_CONTRACT_ONLY(qrBlankPrices)
SIM_BY_INDEX(qrGetPrice, 2412)
SIM_BY_CONTRACT(qrGetPriceForContract, 2412)

int32_t QR_CALL qrGetGenericPrice(const char* exchange, const char* commodity, const char* contract,
                                  int32_t first, int32_t second, void* record) {
  return Call(
      "qrGetGenericPrice",
      {Text(exchange), Text(commodity), Text(contract), Int(first), Int(second), Out(record)}, [&] {
        FillOutput("qrGetGenericPrice", record, 30);
        return 0;
      });
}

int32_t QR_CALL qrPriceStep(const char* exchange, const char* commodity, const char* contract,
                            char* number) {
  return Call("qrPriceStep", {Text(exchange), Text(commodity), Text(contract), Out(number)}, [&] {
    FillNumber("qrPriceStep", number, "0.25");
    return 0;
  });
}

int32_t QR_CALL qrSubscribeBroadcast(const char* source) {
  return Call("qrSubscribeBroadcast", {Text(source)});
}
int32_t QR_CALL qrUnsubscribeBroadcast(const char* source) {
  return Call("qrUnsubscribeBroadcast", {Text(source)});
}

SIM_COUNT(qrCountUsrMsgs)
SIM_BY_INDEX(qrGetUsrMsg, 514)
SIM_BY_TEXT(qrGetUsrMsgByID, 514)
int32_t QR_CALL qrAcknowledgeUsrMsg(const char* messageId) {
  return Call("qrAcknowledgeUsrMsg", {Text(messageId)});
}

}  // extern "C"
