// The simulator's in-memory market: reference data, prices that tick on a
// timer thread (a seeded random walk), orders that queue, work and fill
// against the book, and positions from the fills. Record layouts are in
// RECORDS.md. Every function has the shape of the entry it serves and writes
// exactly that entry's record size.
//
// The market is on by default. Tests that want fixed patterns instead of
// market data turn it off with simMarket(0).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::market {

bool On();
void SetOn(bool on);

// qrInitialise: a new session with an empty order book; "seed=<n>" anywhere
// in the first initialisation text makes the random walk repeatable.
void NewSession(const char* initText);
// qrLogOn: starts the market thread. qrLogOff stops it with the other threads.
void StartSession();

// Reference data. Counts and fetches answer 0, or 5 for an unknown index or
// name.
int32_t CountExchanges(int32_t* n);
int32_t GetExchange(int32_t index, void* record);
int32_t GetExchangeByName(const char* name, void* record);
int32_t CountCommodities(int32_t* n);
int32_t GetCommodity(int32_t index, void* record);
int32_t GetCommodityByName(const char* exchange, const char* commodity, void* record);
int32_t CountContracts(int32_t* n);
int32_t GetContract(int32_t index, void* record);
int32_t GetContractByName(const char* e, const char* c, const char* k, void* record);
int32_t CountTraders(int32_t* n);
int32_t GetTrader(int32_t index, void* record48);
int32_t GetTraderByName(const char* name, void* record47);
int32_t CountOrderTypes(int32_t* n);
int32_t GetOrderType(int32_t index, void* record);
int32_t GetExchangeRate(const char* currency, void* record);
int32_t CountReportTypes(int32_t* n);
int32_t GetReportType(int32_t index, void* record);
int32_t GetReportSize(const char* type, int32_t* size);
int32_t GetReport(const char* type, int32_t length, void* report);
int32_t CountUsrMsgs(int32_t* n);
int32_t GetUsrMsg(int32_t index, void* record);
int32_t GetUsrMsgByID(const char* id, void* record);
int32_t GetLogonStatus(void* record);

// Prices.
int32_t Subscribe(const char* e, const char* c, const char* k);
int32_t Unsubscribe(const char* e, const char* c, const char* k);
int32_t GetPriceForContract(const char* e, const char* c, const char* k, void* record);
int32_t GetGenericPrice(const char* e, const char* c, const char* k, int32_t kind, int32_t level,
                        void* record);
int32_t CountAtBest(const char* e, const char* c, const char* k, int32_t* n);
int32_t GetAtBest(const char* e, const char* c, const char* k, int32_t index, void* record);
int32_t GetAtBestPrices(const char* e, const char* c, const char* k, void* record);
int32_t CountDepth(const char* e, const char* c, const char* k, int32_t* n);
int32_t GetDepth(const char* e, const char* c, const char* k, int32_t index, void* record);

// Orders and fills.
int32_t AddOrder(const void* order);
int32_t AmendOrder(const char* id, const void* amend);
int32_t CancelOrder(const char* id);
int32_t CancelAll(const char* account);
int32_t CountOrders(int32_t* n);
int32_t GetOrder(int32_t index, void* record);
int32_t GetOrderByID(const char* id, void* record);
int32_t GetOrderIndex(const char* id, int32_t* index);
int32_t CountOrderHistory(int32_t order, int32_t* n);
int32_t GetOrderHistory(int32_t order, int32_t position, void* record);
int32_t CountFills(int32_t* n);
int32_t GetFill(int32_t index, void* record);
int32_t GetFillByID(const char* id, void* record);
int32_t NextOrderSequence(int32_t* sequence);

// Positions and risk, for (account, exchange, commodity, contract); an empty
// contract means every contract of the account.
int32_t OpenPosition(const char* a, const char* e, const char* c, const char* k, void* record);
int32_t ContractPosition(const char* a, const char* e, const char* c, const char* k, void* record);
int32_t AveragePrice(const char* a, const char* e, const char* c, const char* k, char* number);
int32_t PLBurnRate(const char* a, const char* e, const char* c, const char* k, char* number);
int32_t Exposure(const char* a, const char* e, const char* c, const char* k, char* number);
int32_t BuyingPowerRemaining(const char* a, const char* e, const char* c, const char* k,
                             char* number);
int32_t BuyingPowerUsed(const char* a, const char* e, const char* c, const char* k, char* number);

// For tests of the arithmetic: one matching step at the current prices, and
// a contract's book set by hand.
void MatchNow();
void SetBook(const char* e, const char* c, const char* k, double bid, double ask);

}  // namespace sim::market
