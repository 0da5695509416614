// Order entry, order and fill fetches, positions and risk entries.
#include "simulator/exports.h"
#include "simulator/market.h"
#include "simulator/sim.h"

using namespace sim;

// With the market on, an entry answers from it (see entries_reference.cpp).
#define MARKET(call) \
  if (market::On()) return market::call

namespace {
constexpr size_t kOrderBytes = 957;
constexpr size_t kBatchBytes = 10 * kOrderBytes;
constexpr size_t kProtectionBytes = 149;
constexpr size_t kAggregateBytes = 147;
constexpr size_t kCustRequestBytes = 222;
constexpr size_t kAmendBytes = 782;
constexpr size_t kPairedDetailsBytes = 336;
constexpr size_t kBasisDetailsBytes = 64;
constexpr size_t kPairedResultBytes = 22;
constexpr size_t kOrderDetailBytes = 1410;
constexpr size_t kFillDetailBytes = 473;
constexpr size_t kPositionBytes = 29;
constexpr size_t kLegTableBytes = 1248;
}  // namespace

#define SIM_NUMBER(entry, fallback, marketFn)                                          \
  int32_t QR_CALL entry(const char* s1, const char* s2, const char* s3, const char* s4, \
                        char* number) {                                                 \
    return Call(#entry, {Text(s1), Text(s2), Text(s3), Text(s4), Out(number)}, [&] {    \
      MARKET(marketFn(s1, s2, s3, s4, number));                                         \
      FillNumber(#entry, number, fallback);                                             \
      return 0;                                                                         \
    });                                                                                 \
  }

#define SIM_POSITION(entry, marketFn)                                                   \
  int32_t QR_CALL entry(const char* s1, const char* s2, const char* s3, const char* s4, \
                        void* record) {                                                 \
    return Call(#entry, {Text(s1), Text(s2), Text(s3), Text(s4), Out(record)}, [&] {    \
      MARKET(marketFn(s1, s2, s3, s4, record));                                         \
      FillOutput(#entry, record, kPositionBytes);                                       \
      return 0;                                                                         \
    });                                                                                 \
  }

#define SIM_FOUR_TEXTS(entry)                                                             \
  int32_t QR_CALL entry(const char* s1, const char* s2, const char* s3, const char* s4) { \
    return Call(#entry, {Text(s1), Text(s2), Text(s3), Text(s4)});                        \
  }

#define SIM_ONE_TEXT(entry)                 \
  int32_t QR_CALL entry(const char* text) { \
    return Call(#entry, {Text(text)});      \
  }

#define SIM_PAIRED(entry, detailsBytes)                                             \
  int32_t QR_CALL entry(const void* first, const void* second, const void* details, \
                        void* results) {                                            \
    return Call(#entry,                                                             \
                {Record(first, kOrderBytes), Record(second, kOrderBytes),           \
                 Record(details, detailsBytes), Out(results)},                      \
                [&] {                                                               \
                  FillOutput(#entry, results, kPairedResultBytes);                  \
                  return 0;                                                         \
                });                                                                 \
  }

extern "C" {

int32_t QR_CALL qrCountFills(int32_t* count) {
  return Call("qrCountFills", {Out(count)}, [&] {
    MARKET(CountFills(count));
    FillCount("qrCountFills", count, 0);
    return 0;
  });
}

int32_t QR_CALL qrCountOrders(int32_t* count) {
  return Call("qrCountOrders", {Out(count)}, [&] {
    MARKET(CountOrders(count));
    FillCount("qrCountOrders", count, 0);
    return 0;
  });
}

int32_t QR_CALL qrGetFill(int32_t index, void* record) {
  return Call("qrGetFill", {Int(index), Out(record)}, [&] {
    MARKET(GetFill(index, record));
    FillOutput("qrGetFill", record, kFillDetailBytes);
    return 0;
  });
}

int32_t QR_CALL qrGetFillByID(const char* fillId, void* record) {
  return Call("qrGetFillByID", {Text(fillId), Out(record)}, [&] {
    MARKET(GetFillByID(fillId, record));
    FillOutput("qrGetFillByID", record, kFillDetailBytes);
    return 0;
  });
}

SIM_POSITION(qrGetContractPosition, ContractPosition)
SIM_POSITION(qrGetOpenPosition, OpenPosition)
SIM_POSITION(qrGetTotalPosition, ContractPosition)
SIM_NUMBER(qrGetAveragePrice, "0", AveragePrice)

int32_t QR_CALL qrGetOrder(int32_t index, void* record) {
  return Call("qrGetOrder", {Int(index), Out(record)}, [&] {
    MARKET(GetOrder(index, record));
    FillOutput("qrGetOrder", record, kOrderDetailBytes);
    return 0;
  });
}

int32_t QR_CALL qrGetOrderByID(const char* orderId, void* record, int32_t n) {
  return Call("qrGetOrderByID", {Text(orderId), Out(record), Int(n)}, [&] {
    MARKET(GetOrderByID(orderId, record));
    FillOutput("qrGetOrderByID", record, kOrderDetailBytes);
    return 0;
  });
}

int32_t QR_CALL qrGetOrderIndex(const char* orderId, int32_t* index) {
  return Call("qrGetOrderIndex", {Text(orderId), Out(index)}, [&] {
    MARKET(GetOrderIndex(orderId, index));
    FillCount("qrGetOrderIndex", index, 0);
    return 0;
  });
}

int32_t QR_CALL qrAddOrder(const void* order, void* reserved) {
  return Call("qrAddOrder", {Record(order, kOrderBytes), Out(reserved)}, [&] {
    MARKET(AddOrder(order));
    return 0;
  });
}

int32_t QR_CALL qrAddProtectionOrder(const void* order, const void* protection, void* reserved) {
  return Call("qrAddProtectionOrder",
              {Record(order, kOrderBytes), Record(protection, kProtectionBytes), Out(reserved)});
}

int32_t QR_CALL qrAddBatchOrder(int32_t n, const void* orders, void* resultsA, void* resultB) {
  return Call("qrAddBatchOrder", {Int(n), Record(orders, kBatchBytes), Out(resultsA), Out(resultB)},
              [&] {
                FillOutput("qrAddBatchOrder", resultsA, 110);
                FillOutput("qrAddBatchOrder", resultB, 11);
                return 0;
              });
}

int32_t QR_CALL qrAddAggregateOrder(const void* order, void* reserved) {
  return Call("qrAddAggregateOrder", {Record(order, kAggregateBytes), Out(reserved)});
}

int32_t QR_CALL qrAddCustRequest(const void* request, void* reserved) {
  return Call("qrAddCustRequest", {Record(request, kCustRequestBytes), Out(reserved)});
}

int32_t QR_CALL qrReParent(const char* first, const char* second) {
  return Call("qrReParent", {Text(first), Text(second)});
}

SIM_ONE_TEXT(qrDoneForDay)

int32_t QR_CALL qrAmendOrder(const char* orderId, const void* amend) {
  return Call("qrAmendOrder", {Text(orderId), Record(amend, kAmendBytes)}, [&] {
    MARKET(AmendOrder(orderId, amend));
    return 0;
  });
}

int32_t QR_CALL qrCancelOrder(const char* orderId) {
  return Call("qrCancelOrder", {Text(orderId)}, [&] {
    MARKET(CancelOrder(orderId));
    return 0;
  });
}
SIM_FOUR_TEXTS(qrCancelBuys)
SIM_FOUR_TEXTS(qrCancelSells)
SIM_FOUR_TEXTS(qrCancelOrders)
int32_t QR_CALL qrCancelAll(const char* account) {
  return Call("qrCancelAll", {Text(account)}, [&] {
    MARKET(CancelAll(account));
    return 0;
  });
}

int32_t QR_CALL qrOrderChecked(const char* orderId, int32_t flag) {
  return Call("qrOrderChecked", {Text(orderId), Int(flag)});
}

SIM_ONE_TEXT(qrQueryOrderStatus)

int32_t QR_CALL qrCountOrderHistory(int32_t order, int32_t* count) {
  return Call("qrCountOrderHistory", {Int(order), Out(count)}, [&] {
    MARKET(CountOrderHistory(order, count));
    FillCount("qrCountOrderHistory", count, 0);
    return 0;
  });
}

int32_t QR_CALL qrGetOrderHistory(int32_t order, int32_t position, void* record) {
  return Call("qrGetOrderHistory", {Int(order), Int(position), Out(record)}, [&] {
    MARKET(GetOrderHistory(order, position, record));
    FillOutput("qrGetOrderHistory", record, kOrderDetailBytes);
    return 0;
  });
}

SIM_ONE_TEXT(qrSetUserIDFilter)
SIM_NUMBER(qrPLBurnRate, "0", PLBurnRate)
SIM_NUMBER(qrOpenPositionExposure, "0", Exposure)
SIM_NUMBER(qrBuyingPowerRemaining, "0", BuyingPowerRemaining)
SIM_NUMBER(qrBuyingPowerUsed, "0", BuyingPowerUsed)

int32_t QR_CALL qrMarginForTrade(const char* s1, const char* s2, const char* s3, const char* s4,
                                 int32_t* n, const char* s5, const char* s6, char* number) {
  return Call("qrMarginForTrade",
              {Text(s1), Text(s2), Text(s3), Text(s4), Record(n, sizeof(int32_t)), Text(s5),
               Text(s6), Out(number)},
              [&] {
                FillNumber("qrMarginForTrade", number, "0");
                return 0;
              });
}

int32_t QR_CALL qrNextOrderSequence(int32_t* sequence) {
  return Call("qrNextOrderSequence", {Out(sequence)}, [&] {
    MARKET(NextOrderSequence(sequence));
    FillCount("qrNextOrderSequence", sequence, 1);
    return 0;
  });
}

int32_t QR_CALL qrGetOptionPremium(const char* s1, const char* s2, const char* s3, int32_t ch,
                                   const char* s4, int32_t n, char* number) {
  return Call("qrGetOptionPremium",
              {Text(s1), Text(s2), Text(s3), Int(ch), Text(s4), Int(n), Out(number)}, [&] {
                FillNumber("qrGetOptionPremium", number, "0");
                return 0;
              });
}

int32_t QR_CALL qrAddCrossingOrder(const void* first, const void* second, const void* details,
                                   void* results, int32_t code) {
  return Call("qrAddCrossingOrder",
              {Record(first, kOrderBytes), Record(second, kOrderBytes),
               Record(details, kPairedDetailsBytes), Out(results), Int(code)},
              [&] {
                FillOutput("qrAddCrossingOrder", results, kPairedResultBytes);
                return 0;
              });
}

SIM_PAIRED(qrAddBlockOrder, kPairedDetailsBytes)
SIM_PAIRED(qrAddBasisOrder, kBasisDetailsBytes)

int32_t QR_CALL qrAddAAOrder(const void* first, const void* second, const char* s1, const char* s2,
                             void* results) {
  return Call(
      "qrAddAAOrder",
      {Record(first, kOrderBytes), Record(second, kOrderBytes), Text(s1), Text(s2), Out(results)},
      [&] {
        FillOutput("qrAddAAOrder", results, kPairedResultBytes);
        return 0;
      });
}

int32_t QR_CALL qrgetConsolidatedPosition(const char* s1, const char* s2, const char* s3,
                                          const char* s4, int32_t n, void* block) {
  return Call("qrgetConsolidatedPosition",
              {Text(s1), Text(s2), Text(s3), Text(s4), Int(n), Record(block, 4)});
}

int32_t QR_CALL qrCreateStrategy(int32_t kind, int32_t count, const char* text1, const char* text2,
                                 const void* legs) {
  return Call("qrCreateStrategy",
              {Int(kind), Int(count), Text(text1), Text(text2), Record(legs, kLegTableBytes)});
}

}  // extern "C"
