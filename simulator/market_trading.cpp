// The market's moving parts: prices on a timer thread, orders that queue,
// work and fill against the book, and positions from the fills. Every
// callback is raised from the market thread, outside the market's lock.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "simulator/market.h"
#include "simulator/market_state.h"
#include "simulator/sim.h"

namespace sim::market {

using namespace detail;

namespace {

constexpr int32_t kUnknown = 5;
constexpr int32_t kInvalid = 6;
constexpr int32_t kOrderChangeId = 5, kFillId = 9, kPriceId = 8, kDomId = 21;
constexpr int32_t kCancelFailureId = 15;
constexpr int32_t kFillSizePerStep = 5;  // the book's size at the touch
constexpr unsigned kStepMs = 50;
constexpr int kStepsPerTick = 4;
constexpr double kCapital = 1000000.0;
constexpr double kMarginRate = 0.1;

// Events raised by the next market step (orders added or changed by Java).
std::vector<Event> gOutbox;
bool gRunning = false;

std::string OrderRecord(const State& s, const Order& o) {
  std::string r(1410, '\0');
  PutText(r.data(), 0, 21, o.id);
  PutKey(r.data(), 21, s.contracts[o.contract]);
  PutText(r.data(), 94, 11, o.account);
  r[105] = o.side;
  r[106] = o.type;
  PutInt(r.data(), 107, o.quantity);
  PutInt(r.data(), 111, o.filled);
  PutText(r.data(), 115, 21, Number(o.price));
  r[136] = o.status;
  PutText(r.data(), 137, 21, o.clientRef);
  PutText(r.data(), 158, 21, Number(o.filled > 0 ? o.fillValue / o.filled : 0.0));
  return r;
}

std::string OrderEvent(const Order& o) {
  std::string r(27, '\0');
  PutText(r.data(), 0, 21, o.id);
  r[21] = o.status;
  PutInt(r.data(), 22, o.filled);
  r[26] = o.side;
  return r;
}

std::string FillRecord(const State& s, const Fill& f) {
  std::string r(473, '\0');
  PutText(r.data(), 0, 21, f.id);
  PutText(r.data(), 21, 21, f.orderId);
  PutKey(r.data(), 42, s.contracts[f.contract]);
  r[115] = f.side;
  PutInt(r.data(), 116, f.quantity);
  PutText(r.data(), 120, 21, Number(f.price));
  PutText(r.data(), 141, 11, f.account);
  return r;
}

std::string FillEvent(const Fill& f) {
  std::string r(82, '\0');
  PutText(r.data(), 0, 21, f.id);
  PutText(r.data(), 21, 21, f.orderId);
  PutInt(r.data(), 42, f.quantity);
  PutText(r.data(), 46, 21, Number(f.price));
  r[67] = f.side;
  return r;
}

std::string KeyEvent(const Contract& c) {
  std::string r(73, '\0');
  PutKey(r.data(), 0, c);
  return r;
}

void Change(State& s, Order& o, char status, std::vector<Event>& events) {
  o.status = status;
  o.history.push_back(OrderRecord(s, o));
  events.emplace_back(kOrderChangeId, OrderEvent(o));
}

bool Open(const Order& o) {
  return o.status == 'Q' || o.status == 'W' || o.status == 'P';
}

Order* FindOrder(State& s, const char* id) {
  for (Order& o : s.orders)
    if (o.id == id) return &o;
  return nullptr;
}

void Tick(State& s, std::vector<Event>& events) {
  for (Contract& c : s.contracts) {
    if (!c.subscribed) continue;
    const int step = static_cast<int>(s.random() % 3) - 1;
    c.mid = std::max(c.mid + step * c.tick, 3 * c.tick);
    c.mid = std::round(c.mid / c.tick) * c.tick;
    c.bidQty = 1 + static_cast<int32_t>(s.random() % 50);
    c.askQty = 1 + static_cast<int32_t>(s.random() % 50);
    events.emplace_back(kPriceId, KeyEvent(c));
    events.emplace_back(kDomId, KeyEvent(c));
  }
}

void Match(State& s, std::vector<Event>& events) {
  for (Order& o : s.orders) {
    if (o.status == 'Q') {
      Change(s, o, 'W', events);  // working from the next step
      continue;
    }
    if (o.status != 'W' && o.status != 'P') continue;
    Contract& c = s.contracts[o.contract];
    const bool buy = o.side == 'B';
    const double touch = buy ? Ask(c) : Bid(c);
    const bool crosses = o.type == 'M' || (buy ? o.price >= touch - 1e-9 : o.price <= touch + 1e-9);
    if (!crosses) continue;
    const int32_t quantity = std::min(o.quantity - o.filled, kFillSizePerStep);
    char id[16];
    std::snprintf(id, sizeof id, "FIL%06d", s.nextFill++);
    s.fills.push_back(Fill{id, o.id, o.contract, o.side, quantity, touch, o.account});
    o.filled += quantity;
    o.fillValue += quantity * touch;
    c.last = touch;
    c.volume += quantity;
    events.emplace_back(kFillId, FillEvent(s.fills.back()));
    Change(s, o, o.filled == o.quantity ? 'F' : 'P', events);
  }
}

void MarketLoop() {
  State& s = S();
  for (int step = 0; !Stopping(); ++step) {
    for (unsigned waited = 0; waited < kStepMs && !Stopping(); waited += 10) platform::SleepMs(10);
    if (Stopping()) break;
    std::vector<Event> events;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      events.swap(gOutbox);
      if (step % kStepsPerTick == 0) Tick(s, events);
      Match(s, events);
    }
    Raise(events);
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  gRunning = false;
}

// Fills of (account, contract) that the position functions count; an empty
// text matches anything.
bool Matches(const State& s, const Fill& f, const char* a, const char* e, const char* c,
             const char* k) {
  const Contract& x = s.contracts[f.contract];
  auto is = [](const char* want, const std::string& have) { return !*want || have == want; };
  return is(a, f.account) && is(e, x.exchange) && is(c, x.commodity) && is(k, x.name);
}

struct Position {
  int32_t net = 0;
  double average = 0, pnl = 0, exposure = 0, margin = 0;
  int32_t fills = 0;
};

Position Compute(const State& s, const char* a, const char* e, const char* c, const char* k) {
  Position p;
  double buyQty = 0, buyValue = 0, sellQty = 0, sellValue = 0;
  std::vector<int32_t> net(s.contracts.size(), 0);
  for (const Fill& f : s.fills) {
    if (!Matches(s, f, a, e, c, k)) continue;
    const Contract& x = s.contracts[f.contract];
    const int sign = f.side == 'B' ? 1 : -1;
    net[f.contract] += sign * f.quantity;
    p.pnl += sign * f.quantity * (x.last - f.price) * x.pointValue;
    (f.side == 'B' ? buyQty : sellQty) += f.quantity;
    (f.side == 'B' ? buyValue : sellValue) += f.quantity * f.price;
    ++p.fills;
  }
  for (size_t i = 0; i < net.size(); ++i) {
    p.net += net[i];
    const Contract& x = s.contracts[i];
    p.exposure += std::abs(net[i]) * x.last * x.pointValue;
    p.margin += std::abs(net[i]) * x.last * x.pointValue * kMarginRate;
  }
  // The average price of the side the position is on.
  if (p.net > 0 && buyQty > 0) p.average = buyValue / buyQty;
  if (p.net < 0 && sellQty > 0) p.average = sellValue / sellQty;
  return p;
}

int32_t PutNumber(char* number, double value) {
  std::memset(number, 0, 21);
  const std::string text = Number(value);
  std::memcpy(number, text.data(), std::min<size_t>(text.size(), 20));
  return 0;
}

int32_t PutPosition(void* record, const Position& p) {
  std::memset(record, 0, 29);
  PutInt(record, 0, p.net);
  PutText(record, 4, 21, Number(p.average));
  PutInt(record, 25, p.fills);
  return 0;
}

// The contract for a price question, or nullptr (the lock is held).
Contract* Priced(State& s, const char* e, const char* c, const char* k) {
  const long i = Find(s, e, c, k);
  return i < 0 ? nullptr : &s.contracts[i];
}

}  // namespace

void NewSession(const char* initText) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  unsigned long seed = 1;
  if (initText != nullptr) {
    if (const char* at = std::strstr(initText, "seed=")) seed = std::strtoul(at + 5, nullptr, 10);
  }
  s.random.seed(static_cast<std::mt19937::result_type>(seed));
  s.orders.clear();
  s.fills.clear();
  s.nextOrder = s.nextFill = 1;
  gOutbox.clear();
  ResetContracts(s);
}

void StartSession() {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.on || gRunning) return;
    gRunning = true;
  }
  StartThread(&MarketLoop);
}

int32_t Subscribe(const char* e, const char* c, const char* k) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  Contract* x = Priced(s, e, c, k);
  if (x == nullptr) return kUnknown;
  x->subscribed = true;
  return 0;
}

int32_t Unsubscribe(const char* e, const char* c, const char* k) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  Contract* x = Priced(s, e, c, k);
  if (x == nullptr) return kUnknown;
  x->subscribed = false;
  return 0;
}

int32_t GetPriceForContract(const char* e, const char* c, const char* k, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Contract* x = Priced(s, e, c, k);
  if (x == nullptr) return kUnknown;
  std::memset(record, 0, 2412);
  PutKey(record, 0, *x);
  PutText(record, 73, 21, Number(Bid(*x)));
  PutText(record, 94, 21, Number(Ask(*x)));
  PutText(record, 115, 21, Number(x->last));
  PutInt(record, 136, x->bidQty);
  PutInt(record, 140, x->askQty);
  PutInt(record, 144, static_cast<int32_t>(x->volume));
  for (int level = 0; level < 10; ++level) {
    const size_t at = 148 + level * 50;
    PutText(record, at, 21, Number(Bid(*x) - level * x->tick));
    PutInt(record, at + 21, x->bidQty + level * 3);
    PutText(record, at + 25, 21, Number(Ask(*x) + level * x->tick));
    PutInt(record, at + 46, x->askQty + level * 2);
  }
  return 0;
}

int32_t GetGenericPrice(const char* e, const char* c, const char* k, int32_t kind, int32_t level,
                        void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Contract* x = Priced(s, e, c, k);
  if (x == nullptr || kind < 0 || kind > 2 || level < 0 || level > 9) return kUnknown;
  const double price = kind == 0   ? Bid(*x) - level * x->tick
                       : kind == 1 ? Ask(*x) + level * x->tick
                                   : x->last;
  std::memset(record, 0, 30);
  PutText(record, 0, 21, Number(price));
  PutInt(record, 21, kind == 0 ? x->bidQty : x->askQty);
  return 0;
}

int32_t CountAtBest(const char* e, const char* c, const char* k, int32_t* n) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Priced(s, e, c, k) == nullptr) return kUnknown;
  *n = 2;
  return 0;
}

int32_t GetAtBest(const char* e, const char* c, const char* k, int32_t index, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Contract* x = Priced(s, e, c, k);
  if (x == nullptr || index < 0 || index > 1) return kUnknown;
  std::memset(record, 0, 9);
  static_cast<char*>(record)[0] = index == 0 ? 'B' : 'A';
  PutInt(record, 1, index == 0 ? x->bidQty : x->askQty);
  PutInt(record, 5, 1);
  return 0;
}

int32_t GetAtBestPrices(const char* e, const char* c, const char* k, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Contract* x = Priced(s, e, c, k);
  if (x == nullptr) return kUnknown;
  std::memset(record, 0, 50);
  PutText(record, 0, 21, Number(Bid(*x)));
  PutText(record, 21, 21, Number(Ask(*x)));
  PutInt(record, 42, x->bidQty);
  PutInt(record, 46, x->askQty);
  return 0;
}

int32_t CountDepth(const char* e, const char* c, const char* k, int32_t* n) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Priced(s, e, c, k) == nullptr) return kUnknown;
  *n = 10;
  return 0;
}

int32_t GetDepth(const char* e, const char* c, const char* k, int32_t index, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Contract* x = Priced(s, e, c, k);
  if (x == nullptr || index < 0 || index > 9) return kUnknown;
  const bool bid = index < 5;
  const int level = bid ? index : index - 5;
  std::memset(record, 0, 30);
  PutText(record, 0, 21, Number(bid ? Bid(*x) - level * x->tick : Ask(*x) + level * x->tick));
  PutInt(record, 21, (bid ? x->bidQty : x->askQty) + level * 3);
  static_cast<char*>(record)[25] = bid ? 'B' : 'A';
  return 0;
}

int32_t AddOrder(const void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const long contract =
      Find(s, GetText(record, 0, 11), GetText(record, 11, 11), GetText(record, 22, 51));
  if (contract < 0) return kUnknown;
  Order o{};
  o.contract = static_cast<size_t>(contract);
  o.account = GetText(record, 73, 11);
  o.side = static_cast<const char*>(record)[84];
  o.type = static_cast<const char*>(record)[85];
  o.quantity = GetInt(record, 86);
  o.price = std::atof(GetText(record, 90, 21).c_str());
  o.clientRef = GetText(record, 111, 21);
  if ((o.side != 'B' && o.side != 'S') || (o.type != 'L' && o.type != 'M') || o.quantity <= 0 ||
      (o.type == 'L' && o.price <= 0))
    return kInvalid;
  if (o.type == 'M') o.price = 0;
  char id[16];
  std::snprintf(id, sizeof id, "ORD%06d", s.nextOrder++);
  o.id = id;
  s.orders.push_back(o);
  Change(s, s.orders.back(), 'Q', gOutbox);
  return 0;
}

int32_t AmendOrder(const char* id, const void* amend) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  Order* o = FindOrder(s, id);
  if (o == nullptr || !Open(*o)) return kUnknown;
  const int32_t quantity = GetInt(amend, 0);
  const double price = std::atof(GetText(amend, 4, 21).c_str());
  if (quantity < o->filled || quantity <= 0 || (o->type == 'L' && price <= 0)) return kInvalid;
  o->quantity = quantity;
  if (o->type == 'L') o->price = price;
  Change(s, *o, o->filled == o->quantity ? 'F' : o->status, gOutbox);
  return 0;
}

int32_t CancelOrder(const char* id) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  Order* o = FindOrder(s, id);
  if (o == nullptr || !Open(*o)) {
    // Cancelling what is not open is refused by callback, like a real market.
    std::string failure(27, '\0');
    PutText(failure.data(), 0, 21, id);
    failure[21] = 'X';
    gOutbox.emplace_back(kCancelFailureId, failure);
    return 0;
  }
  Change(s, *o, 'C', gOutbox);
  return 0;
}

int32_t CancelAll(const char* account) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (Order& o : s.orders)
    if (Open(o) && (!*account || o.account == account)) Change(s, o, 'C', gOutbox);
  return 0;
}

int32_t CountOrders(int32_t* n) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  *n = static_cast<int32_t>(s.orders.size());
  return 0;
}

int32_t GetOrder(int32_t index, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index < 0 || static_cast<size_t>(index) >= s.orders.size()) return kUnknown;
  const std::string r = OrderRecord(s, s.orders[index]);
  std::memcpy(record, r.data(), r.size());
  return 0;
}

int32_t GetOrderByID(const char* id, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Order* o = FindOrder(s, id);
  if (o == nullptr) return kUnknown;
  const std::string r = OrderRecord(s, *o);
  std::memcpy(record, r.data(), r.size());
  return 0;
}

int32_t GetOrderIndex(const char* id, int32_t* index) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (size_t i = 0; i < s.orders.size(); ++i) {
    if (s.orders[i].id == id) {
      *index = static_cast<int32_t>(i);
      return 0;
    }
  }
  return kUnknown;
}

int32_t CountOrderHistory(int32_t order, int32_t* n) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (order < 0 || static_cast<size_t>(order) >= s.orders.size()) return kUnknown;
  *n = static_cast<int32_t>(s.orders[order].history.size());
  return 0;
}

int32_t GetOrderHistory(int32_t order, int32_t position, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (order < 0 || static_cast<size_t>(order) >= s.orders.size()) return kUnknown;
  const auto& history = s.orders[order].history;
  if (position < 0 || static_cast<size_t>(position) >= history.size()) return kUnknown;
  std::memcpy(record, history[position].data(), history[position].size());
  return 0;
}

int32_t CountFills(int32_t* n) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  *n = static_cast<int32_t>(s.fills.size());
  return 0;
}

int32_t GetFill(int32_t index, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (index < 0 || static_cast<size_t>(index) >= s.fills.size()) return kUnknown;
  const std::string r = FillRecord(s, s.fills[index]);
  std::memcpy(record, r.data(), r.size());
  return 0;
}

int32_t GetFillByID(const char* id, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const Fill& f : s.fills) {
    if (f.id == id) {
      const std::string r = FillRecord(s, f);
      std::memcpy(record, r.data(), r.size());
      return 0;
    }
  }
  return kUnknown;
}

int32_t NextOrderSequence(int32_t* sequence) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  *sequence = s.nextOrder;
  return 0;
}

#define POSITION_QUERY(name, body)                                                         \
  int32_t name(const char* a, const char* e, const char* c, const char* k, char* number) { \
    State& s = S();                                                                        \
    std::lock_guard<std::mutex> lock(s.mutex);                                             \
    const Position p = Compute(s, a, e, c, k);                                             \
    return PutNumber(number, body);                                                        \
  }

POSITION_QUERY(AveragePrice, p.average)
POSITION_QUERY(PLBurnRate, p.pnl)
POSITION_QUERY(Exposure, p.exposure)
POSITION_QUERY(BuyingPowerRemaining, kCapital - p.margin)
POSITION_QUERY(BuyingPowerUsed, p.margin)
#undef POSITION_QUERY

int32_t OpenPosition(const char* a, const char* e, const char* c, const char* k, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return PutPosition(record, Compute(s, a, e, c, k));
}

int32_t ContractPosition(const char*, const char* e, const char* c, const char* k, void* record) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return PutPosition(record, Compute(s, "", e, c, k));  // every account
}

void MatchNow() {
  State& s = S();
  std::vector<Event> events;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    events.swap(gOutbox);
    Match(s, events);
  }
  Raise(events);
}

void SetBook(const char* e, const char* c, const char* k, double bid, double ask) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Contract* x = Priced(s, e, c, k)) {
    x->mid = (bid + ask) / 2;
    x->tick = (ask - bid) / 2;
  }
}

}  // namespace sim::market
