// Reference data, messages and price entries.
#include "simulator/exports.h"
#include "simulator/market.h"
#include "simulator/sim.h"

using namespace sim;

// With the market on, an entry answers from it; otherwise with the configured
// output or the fixed pattern (control.h). PATTERN_ONLY: no market answer.
#define MARKET(call) \
  if (market::On()) return market::call
#define PATTERN_ONLY (void)0

// entry(out count).
#define SIM_COUNT(entry, market)            \
  int32_t QR_CALL entry(int32_t* count) {   \
    return Call(#entry, {Out(count)}, [&] { \
      market;                               \
      FillCount(#entry, count, 0);          \
      return 0;                             \
    });                                     \
  }

// entry(index, out record of size bytes).
#define SIM_BY_INDEX(entry, size, market)                \
  int32_t QR_CALL entry(int32_t index, void* record) {   \
    return Call(#entry, {Int(index), Out(record)}, [&] { \
      market;                                            \
      FillOutput(#entry, record, size);                  \
      return 0;                                          \
    });                                                  \
  }

// entry(key text, out record of size bytes).
#define SIM_BY_TEXT(entry, size, market)                 \
  int32_t QR_CALL entry(const char* key, void* record) { \
    return Call(#entry, {Text(key), Out(record)}, [&] {  \
      market;                                            \
      FillOutput(#entry, record, size);                  \
      return 0;                                          \
    });                                                  \
  }

// entry(exchange, commodity, contract, out record of size bytes).
#define SIM_BY_CONTRACT(entry, size, market)                                                  \
  int32_t QR_CALL entry(const char* exchange, const char* commodity, const char* contract,   \
                        void* record) {                                                       \
    return Call(#entry, {Text(exchange), Text(commodity), Text(contract), Out(record)}, [&] { \
      market;                                                                                 \
      FillOutput(#entry, record, size);                                                       \
      return 0;                                                                               \
    });                                                                                       \
  }

// entry(exchange, commodity, contract).
#define SIM_CONTRACT_ONLY(entry, market)                                                     \
  int32_t QR_CALL entry(const char* exchange, const char* commodity, const char* contract) { \
    return Call(#entry, {Text(exchange), Text(commodity), Text(contract)}, [&] {            \
      market;                                                                                \
      return 0;                                                                              \
    });                                                                                      \
  }

// entry(exchange, commodity, contract, index, out record of size bytes).
#define SIM_CONTRACT_INDEX(entry, size, market)                                                \
  int32_t QR_CALL entry(const char* exchange, const char* commodity, const char* contract,    \
                        int32_t index, void* record) {                                         \
    return Call(#entry, {Text(exchange), Text(commodity), Text(contract), Int(index),          \
                         Out(record)},                                                         \
                [&] {                                                                          \
                  market;                                                                      \
                  FillOutput(#entry, record, size);                                            \
                  return 0;                                                                    \
                });                                                                            \
  }

// entry(exchange, commodity, contract, out count).
#define SIM_CONTRACT_COUNT(entry, market)                                                    \
  int32_t QR_CALL entry(const char* exchange, const char* commodity, const char* contract,  \
                        int32_t* count) {                                                    \
    return Call(#entry, {Text(exchange), Text(commodity), Text(contract), Out(count)}, [&] { \
      market;                                                                                \
      FillCount(#entry, count, 0);                                                           \
      return 0;                                                                              \
    });                                                                                      \
  }

extern "C" {

SIM_COUNT(qrCountExchanges, MARKET(CountExchanges(count)))
SIM_BY_INDEX(qrGetExchange, 33, MARKET(GetExchange(index, record)))
SIM_BY_TEXT(qrGetExchangeByName, 33, MARKET(GetExchangeByName(key, record)))
int32_t QR_CALL qrExchangeExists(const char* exchange) {
  return Call("qrExchangeExists", {Text(exchange)});
}
SIM_COUNT(qrCountTraders, MARKET(CountTraders(count)))
SIM_BY_INDEX(qrGetTrader, 48, MARKET(GetTrader(index, record)))
SIM_BY_TEXT(qrGetTraderByName, 47, MARKET(GetTraderByName(key, record)))
int32_t QR_CALL qrTraderExists(const char* trader) { return Call("qrTraderExists", {Text(trader)}); }
SIM_COUNT(qrCountOrderTypes, MARKET(CountOrderTypes(count)))
SIM_BY_INDEX(qrGetOrderType, 37, MARKET(GetOrderType(index, record)))
SIM_BY_TEXT(qrGetExchangeRate, 21, MARKET(GetExchangeRate(key, record)))
SIM_COUNT(qrCountReportTypes, MARKET(CountReportTypes(count)))
SIM_BY_INDEX(qrGetReportType, 21, MARKET(GetReportType(index, record)))
int32_t QR_CALL qrReportTypeExists(const char* reportType) {
  return Call("qrReportTypeExists", {Text(reportType)});
}

int32_t QR_CALL qrGetReportSize(const char* reportType, int32_t* size) {
  return Call("qrGetReportSize", {Text(reportType), Out(size)}, [&] {
    MARKET(GetReportSize(reportType, size));
    FillCount("qrGetReportSize", size, 0);
    return 0;
  });
}

int32_t QR_CALL qrGetReport(const char* reportType, int32_t length, void* report) {
  return Call("qrGetReport", {Text(reportType), Int(length), Out(report)}, [&] {
    MARKET(GetReport(reportType, length, report));
    if (length > 0) FillOutput("qrGetReport", report, static_cast<size_t>(length));
    return 0;
  });
}

SIM_COUNT(qrCountCommodities, MARKET(CountCommodities(count)))
SIM_BY_INDEX(qrGetCommodity, 74, MARKET(GetCommodity(index, record)))

int32_t QR_CALL qrCommodityExists(const char* exchange, const char* commodity) {
  return Call("qrCommodityExists", {Text(exchange), Text(commodity)});
}

int32_t QR_CALL qrGetCommodityByName(const char* exchange, const char* commodity, void* record) {
  return Call("qrGetCommodityByName", {Text(exchange), Text(commodity), Out(record)}, [&] {
    MARKET(GetCommodityByName(exchange, commodity, record));
    FillOutput("qrGetCommodityByName", record, 74);
    return 0;
  });
}

SIM_COUNT(qrCountContracts, MARKET(CountContracts(count)))
SIM_BY_INDEX(qrGetContract, 1107, MARKET(GetContract(index, record)))
SIM_BY_CONTRACT(qrGetContractByName, 1107,
                MARKET(GetContractByName(exchange, commodity, contract, record)))
SIM_BY_TEXT(qrGetContractByExternalID, 1107, PATTERN_ONLY)
SIM_BY_INDEX(qrGetExtendedContract, 1107, MARKET(GetContract(index, record)))
SIM_BY_CONTRACT(qrGetExtendedContractByName, 1107,
                MARKET(GetContractByName(exchange, commodity, contract, record)))
SIM_CONTRACT_ONLY(qrContractExists, PATTERN_ONLY)
SIM_CONTRACT_COUNT(qrCountContractAtBest, MARKET(CountAtBest(exchange, commodity, contract, count)))
SIM_CONTRACT_INDEX(qrGetContractAtBest, 9,
                   MARKET(GetAtBest(exchange, commodity, contract, index, record)))
SIM_BY_CONTRACT(qrGetContractAtBestPrices, 50,
                MARKET(GetAtBestPrices(exchange, commodity, contract, record)))
SIM_CONTRACT_COUNT(qrCountContractSubscriberDepth,
                   MARKET(CountDepth(exchange, commodity, contract, count)))
SIM_CONTRACT_INDEX(qrGetContractSubscriberDepth, 30,
                   MARKET(GetDepth(exchange, commodity, contract, index, record)))

SIM_CONTRACT_ONLY(qrSubscribePrice, MARKET(Subscribe(exchange, commodity, contract)))
SIM_CONTRACT_ONLY(qrSubscribeToMarket, MARKET(Subscribe(exchange, commodity, contract)))
SIM_CONTRACT_ONLY(qrUnsubscribePrice, MARKET(Unsubscribe(exchange, commodity, contract)))
SIM_CONTRACT_ONLY(qrUnsubscribeToMarket, MARKET(Unsubscribe(exchange, commodity, contract)))
SIM_CONTRACT_ONLY(qrPriceSnapshot, PATTERN_ONLY)
SIM_CONTRACT_ONLY(qrBlankPrices, PATTERN_ONLY)
SIM_BY_INDEX(qrGetPrice, 2412, PATTERN_ONLY)
SIM_BY_CONTRACT(qrGetPriceForContract, 2412,
                MARKET(GetPriceForContract(exchange, commodity, contract, record)))

int32_t QR_CALL qrGetGenericPrice(const char* exchange, const char* commodity, const char* contract,
                                  int32_t first, int32_t second, void* record) {
  return Call("qrGetGenericPrice",
              {Text(exchange), Text(commodity), Text(contract), Int(first), Int(second),
               Out(record)},
              [&] {
                MARKET(GetGenericPrice(exchange, commodity, contract, first, second, record));
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

SIM_COUNT(qrCountUsrMsgs, MARKET(CountUsrMsgs(count)))
SIM_BY_INDEX(qrGetUsrMsg, 514, MARKET(GetUsrMsg(index, record)))
SIM_BY_TEXT(qrGetUsrMsgByID, 514, MARKET(GetUsrMsgByID(key, record)))
int32_t QR_CALL qrAcknowledgeUsrMsg(const char* messageId) {
  return Call("qrAcknowledgeUsrMsg", {Text(messageId)});
}

}  // extern "C"
