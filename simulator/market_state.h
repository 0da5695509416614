// The market's shared state and record helpers (internal to the simulator).
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace sim::market::detail {

struct Contract {
  std::string exchange, commodity, name;
  char type;  // 'F' future, 'O' option
  std::string expiry;
  double tick, pointValue;
  std::string currency;
  double mid;
  int32_t bidQty, askQty;
  int64_t volume;
  double last;
  bool subscribed;
};

struct Order {
  std::string id;
  size_t contract;
  std::string account;
  char side, type;  // 'B'/'S', 'L'/'M'
  int32_t quantity, filled;
  double price;  // limit price; 0 for market orders
  char status;   // 'Q' queued, 'W' working, 'P' part filled, 'F' filled, 'C' cancelled
  std::string clientRef;
  double fillValue;  // sum of quantity * price over the fills
  std::vector<std::string> history;  // the order record after each change
};

struct Fill {
  std::string id, orderId;
  size_t contract;
  char side;
  int32_t quantity;
  double price;
  std::string account;
};

// An event to raise once the market's lock is released.
using Event = std::pair<int32_t, std::string>;

struct State {
  std::mutex mutex;
  bool on = true;
  std::mt19937 random{1};
  std::vector<Contract> contracts;
  std::vector<Order> orders;
  std::vector<Fill> fills;
  int32_t nextOrder = 1, nextFill = 1;
};

State& S();
void ResetContracts(State& s);  // the fixed reference data with opening prices

// Record helpers: text fields hold at most width - 1 bytes and a zero byte.
void PutText(void* record, size_t at, size_t width, const std::string& text);
void PutInt(void* record, size_t at, int32_t value);
std::string GetText(const void* record, size_t at, size_t width);
int32_t GetInt(const void* record, size_t at);
std::string Number(double value);  // decimal text with "." and up to 4 decimals
void PutKey(void* record, size_t at, const Contract& c);  // the 73-byte contract key

// Index of the contract, or -1.
long Find(const State& s, const std::string& e, const std::string& c, const std::string& k);
double Bid(const Contract& c);
double Ask(const Contract& c);

void Raise(const std::vector<Event>& events);  // delivers outside the lock

}  // namespace sim::market::detail
