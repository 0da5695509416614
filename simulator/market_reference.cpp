// The market's reference data: exchanges, commodities, contracts, accounts,
// order types, exchange rates, reports and user messages.
#include <cstdio>
#include <cstring>

#include "simulator/market.h"
#include "simulator/market_state.h"
#include "simulator/sim.h"

namespace sim::market {
namespace detail {

State& S() {
  static State* state = new State;  // never destroyed: threads may outlive statics
  return *state;
}

void ResetContracts(State& s) {
  struct Def {
    const char *exchange, *commodity, *name;
    char type;
    const char* expiry;
    double tick, pointValue, mid;
    const char* currency;
  };
  static const Def kContracts[] = {
      {"NORDX", "CRUDE", "DEC26", 'F', "2026-12-18", 0.01, 1000, 71.25, "USD"},
      {"NORDX", "CRUDE", "MAR27", 'F', "2027-03-19", 0.01, 1000, 71.80, "USD"},
      {"NORDX", "CRUDE", "JUN27", 'F', "2027-06-18", 0.01, 1000, 72.10, "USD"},
      {"NORDX", "CRUDE", "DEC26 C75", 'O', "2026-12-11", 0.01, 1000, 1.45, "USD"},
      {"NORDX", "CRUDE", "DEC26 P70", 'O', "2026-12-11", 0.01, 1000, 1.10, "USD"},
      {"NORDX", "GASOIL", "DEC26", 'F', "2026-12-10", 0.25, 100, 684.50, "USD"},
      {"NORDX", "GASOIL", "MAR27", 'F', "2027-03-11", 0.25, 100, 679.25, "USD"},
      {"ATLAS", "WHEAT", "DEC26", 'F', "2026-12-14", 0.25, 50, 224.75, "EUR"},
      {"ATLAS", "WHEAT", "MAR27", 'F', "2027-03-10", 0.25, 50, 229.00, "EUR"},
      {"ATLAS", "CORN", "MAR27", 'F', "2027-03-05", 0.25, 50, 201.50, "EUR"},
      {"KORV", "STEEL", "DEC26", 'F', "2026-12-28", 1.00, 10, 512.00, "GBP"},
      {"KORV", "STEEL", "MAR27", 'F', "2027-03-29", 1.00, 10, 518.00, "GBP"},
  };
  s.contracts.clear();
  for (const Def& d : kContracts)
    s.contracts.push_back(Contract{d.exchange, d.commodity, d.name, d.type, d.expiry, d.tick,
                                   d.pointValue, d.currency, d.mid, 20, 20, 0, d.mid, false});
}

void PutText(void* record, size_t at, size_t width, const std::string& text) {
  char* field = static_cast<char*>(record) + at;
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size() < width - 1 ? text.size() : width - 1);
}

void PutInt(void* record, size_t at, int32_t value) {
  auto* p = static_cast<unsigned char*>(record) + at;
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * i));
}

std::string GetText(const void* record, size_t at, size_t width) {
  const char* field = static_cast<const char*>(record) + at;
  return std::string(field, strnlen(field, width));
}

int32_t GetInt(const void* record, size_t at) {
  const auto* p = static_cast<const unsigned char*>(record) + at;
  return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  std::string s = text;
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

void PutKey(void* record, size_t at, const Contract& c) {
  PutText(record, at, 11, c.exchange);
  PutText(record, at + 11, 11, c.commodity);
  PutText(record, at + 22, 51, c.name);
}

long Find(const State& s, const std::string& e, const std::string& c, const std::string& k) {
  for (size_t i = 0; i < s.contracts.size(); ++i) {
    const Contract& x = s.contracts[i];
    if (x.exchange == e && x.commodity == c && x.name == k) return static_cast<long>(i);
  }
  return -1;
}

double Bid(const Contract& c) {
  return c.mid - c.tick;
}
double Ask(const Contract& c) {
  return c.mid + c.tick;
}

void Raise(const std::vector<Event>& events) {
  for (const Event& e : events) Deliver(e.first, e.second.data(), e.second.size());
}

}  // namespace detail

using namespace detail;

namespace {

constexpr int32_t kUnknown = 5;

struct Exchange {
  const char *name, *currency, *description;
};
const Exchange kExchanges[] = {{"NORDX", "USD", "Nordic energy"},
                               {"ATLAS", "EUR", "Atlas agriculture"},
                               {"KORV", "GBP", "Korvane metals"}};
struct Commodity {
  const char *exchange, *name, *description, *tick, *pointValue;
};
const Commodity kCommodities[] = {{"NORDX", "CRUDE", "Light crude oil", "0.01", "1000"},
                                  {"NORDX", "GASOIL", "Low sulphur gasoil", "0.25", "100"},
                                  {"ATLAS", "WHEAT", "Milling wheat", "0.25", "50"},
                                  {"ATLAS", "CORN", "Yellow corn", "0.25", "50"},
                                  {"KORV", "STEEL", "Hot-rolled coil", "1", "10"}};
const char* const kTraders[][2] = {{"DEMO1", "Demonstration account one"},
                                   {"DEMO2", "Demonstration account two"}};
const char* const kOrderTypes[][3] = {{"LIMIT", "L", "Limit order"},
                                      {"MARKET", "M", "Market order"}};
const char* const kRates[][2] = {{"USD", "1"}, {"EUR", "1.0825"}, {"GBP", "1.2710"}};
const char* const kWelcomeId = "MSG000001";
const char* const kWelcome = "Welcome to the demonstration market. Prices are simulated.";

void Zero(void* record, size_t size) {
  std::memset(record, 0, size);
}

void PutExchange(void* record, const Exchange& x) {
  Zero(record, 33);
  PutText(record, 0, 11, x.name);
  PutText(record, 11, 4, x.currency);
  PutText(record, 15, 18, x.description);
}

void PutCommodity(void* record, const Commodity& x) {
  Zero(record, 74);
  PutText(record, 0, 11, x.exchange);
  PutText(record, 11, 11, x.name);
  PutText(record, 22, 32, x.description);
  PutText(record, 54, 10, x.tick);
  PutText(record, 64, 10, x.pointValue);
}

void PutContract(void* record, const Contract& c) {
  Zero(record, 1107);
  PutKey(record, 0, c);
  static_cast<char*>(record)[73] = c.type;
  PutText(record, 74, 11, c.expiry);
  PutText(record, 85, 12, Number(c.tick));
  PutText(record, 97, 12, Number(c.pointValue));
  PutText(record, 109, 4, c.currency);
}

void PutTrader(void* record, size_t size, size_t index) {
  Zero(record, size);
  PutText(record, 0, 11, kTraders[index][0]);
  PutText(record, 11, 36, kTraders[index][1]);
}

void PutMessage(void* record) {
  Zero(record, 514);
  PutText(record, 0, 21, kWelcomeId);
  PutText(record, 21, 493, kWelcome);
}

std::string DailyReport() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::string text = "Daily report: " + std::to_string(s.orders.size()) + " orders, " +
                     std::to_string(s.fills.size()) + " fills\n";
  return text;
}

template <typename T, size_t N>
constexpr int32_t Count(const T (&)[N]) {
  return static_cast<int32_t>(N);
}

}  // namespace

bool On() {
  return S().on;
}
void SetOn(bool on) {
  S().on = on;
}

int32_t CountExchanges(int32_t* n) {
  *n = Count(kExchanges);
  return 0;
}
int32_t GetExchange(int32_t index, void* record) {
  if (index < 0 || index >= Count(kExchanges)) return kUnknown;
  PutExchange(record, kExchanges[index]);
  return 0;
}
int32_t GetExchangeByName(const char* name, void* record) {
  for (const Exchange& x : kExchanges)
    if (std::strcmp(x.name, name) == 0) return PutExchange(record, x), 0;
  return kUnknown;
}

int32_t CountCommodities(int32_t* n) {
  *n = Count(kCommodities);
  return 0;
}
int32_t GetCommodity(int32_t index, void* record) {
  if (index < 0 || index >= Count(kCommodities)) return kUnknown;
  PutCommodity(record, kCommodities[index]);
  return 0;
}
int32_t GetCommodityByName(const char* exchange, const char* commodity, void* record) {
  for (const Commodity& x : kCommodities)
    if (std::strcmp(x.exchange, exchange) == 0 && std::strcmp(x.name, commodity) == 0)
      return PutCommodity(record, x), 0;
  return kUnknown;
}

int32_t CountContracts(int32_t* n) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  *n = static_cast<int32_t>(s.contracts.size());
  return 0;
}
int32_t GetContract(int32_t index, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index < 0 || static_cast<size_t>(index) >= s.contracts.size()) return kUnknown;
  PutContract(record, s.contracts[index]);
  return 0;
}
int32_t GetContractByName(const char* e, const char* c, const char* k, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const long i = Find(s, e, c, k);
  if (i < 0) return kUnknown;
  PutContract(record, s.contracts[i]);
  return 0;
}

int32_t CountTraders(int32_t* n) {
  *n = Count(kTraders);
  return 0;
}
int32_t GetTrader(int32_t index, void* record48) {
  if (index < 0 || index >= Count(kTraders)) return kUnknown;
  PutTrader(record48, 48, index);
  return 0;
}
int32_t GetTraderByName(const char* name, void* record47) {
  for (int32_t i = 0; i < Count(kTraders); ++i)
    if (std::strcmp(kTraders[i][0], name) == 0) return PutTrader(record47, 47, i), 0;
  return kUnknown;
}

int32_t CountOrderTypes(int32_t* n) {
  *n = Count(kOrderTypes);
  return 0;
}
int32_t GetOrderType(int32_t index, void* record) {
  if (index < 0 || index >= Count(kOrderTypes)) return kUnknown;
  Zero(record, 37);
  PutText(record, 0, 11, kOrderTypes[index][0]);
  static_cast<char*>(record)[11] = kOrderTypes[index][1][0];
  PutText(record, 12, 25, kOrderTypes[index][2]);
  return 0;
}

int32_t GetExchangeRate(const char* currency, void* record) {
  for (const auto& rate : kRates) {
    if (std::strcmp(rate[0], currency) == 0) {
      Zero(record, 21);
      PutText(record, 0, 4, rate[0]);
      PutText(record, 4, 17, rate[1]);
      return 0;
    }
  }
  return kUnknown;
}

int32_t CountReportTypes(int32_t* n) {
  *n = 1;
  return 0;
}
int32_t GetReportType(int32_t index, void* record) {
  if (index != 0) return kUnknown;
  Zero(record, 21);
  PutText(record, 0, 21, "DAILY");
  return 0;
}
int32_t GetReportSize(const char* type, int32_t* size) {
  if (std::strcmp(type, "DAILY") != 0) return kUnknown;
  *size = static_cast<int32_t>(DailyReport().size());
  return 0;
}
int32_t GetReport(const char* type, int32_t length, void* report) {
  if (std::strcmp(type, "DAILY") != 0) return kUnknown;
  const std::string text = DailyReport();
  if (length > 0) {
    std::memset(report, 0, static_cast<size_t>(length));
    std::memcpy(report, text.data(), std::min(text.size(), static_cast<size_t>(length)));
  }
  return 0;
}

int32_t CountUsrMsgs(int32_t* n) {
  *n = 1;
  return 0;
}
int32_t GetUsrMsg(int32_t index, void* record) {
  if (index != 0) return kUnknown;
  PutMessage(record);
  return 0;
}
int32_t GetUsrMsgByID(const char* id, void* record) {
  if (std::strcmp(id, kWelcomeId) != 0) return kUnknown;
  PutMessage(record);
  return 0;
}

int32_t GetLogonStatus(void* record) {
  Zero(record, 343);
  PutText(record, 0, 21, "DEMO1");
  static_cast<char*>(record)[21] = 'Y';
  PutText(record, 22, 321, "Logged on to the demonstration market");
  return 0;
}

}  // namespace sim::market
