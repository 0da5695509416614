#include "relay/entry_points.h"

#include <cstring>

#include "binding/errors.h"
#include "binding/loader.h"
#include "platform/fault_guard.h"
#include "relay/queue.h"

namespace relay {
namespace {

constexpr size_t kLargestRecord = 514;

// A record is copied into this call's own buffer before the queue sees it,
// so the queue copies only from memory that cannot fault and never claims a
// slot for an event whose record turns out unreadable. On Windows the copy
// runs under the fault guard: a bad record pointer from the library is
// logged under "TCallback.Create" (the routine whose work the copy is) and
// the event dropped; the library is never told.
void QueueRecord(int32_t id, const void* record, size_t bytes) noexcept {
  unsigned char staged[kLargestRecord];
  bool copied = false;
  binding::CaptureAll("TCallback.Create", [&] {
    copied = platform::CallGuarded([&] {
      std::memcpy(staged, record, bytes);
      return true;
    });
  });
  if (copied) AddCallback(id, staged, static_cast<int32_t>(bytes));
}

// A plain entry point queues the first `bytes` bytes of its record (or
// nothing) and returns; no exception can reach the trading library.
#define CB_RECORD(name, id, bytes)                              \
  static_assert(bytes <= kLargestRecord, "staged in one copy"); \
  void QR_CALL name(const void* record) {                       \
    QueueRecord(id, record, bytes);                             \
  }
#define CB_SIGNAL(name, id)      \
  void QR_CALL name() {          \
    AddCallback(id, nullptr, 0); \
  }

// Every plain entry point: (name, id, record bytes) or (name, id).
#define CB_EVENTS                                                                   \
  CB_RECORD(cbHostLinkStateChange, 1, 2)                                            \
  CB_RECORD(cbPriceLinkStateChange, 2, 2)                                           \
  CB_RECORD(cbPriceUpdate, 8, 73)                                                   \
  CB_RECORD(cbBlankPrice, 27, 73)                                                   \
  CB_RECORD(cbGenericPriceUpdate, 26, 78)                                           \
  CB_RECORD(cbDOMUpdate, 21, 73)                                                    \
  CB_RECORD(cbSettlementUpdate, 22, 114)                                            \
  CB_RECORD(cbAtBestUpdate, 16, 73)                                                 \
  CB_RECORD(cbSubscriberDepthUpdate, 19, 73)                                        \
  CB_RECORD(cbStatusChange, 10, 77)                                                 \
  CB_RECORD(cbOrderChange, 5, 27)                                                   \
  CB_RECORD(cbOrderTypeUpdate, 38, 36)                                              \
  CB_RECORD(cbFillChange, 9, 82)                                                    \
  CB_RECORD(cbContractAdded, 11, 73)                                                \
  CB_RECORD(cbContractDeleted, 12, 73)                                              \
  CB_RECORD(cbContractEvent33, 33, 73)                                              \
  CB_RECORD(cbCommodityEvent32, 32, 22)                                             \
  CB_RECORD(cbExchangeEvent31, 31, 11)                                              \
  CB_RECORD(cbExchangeEvent36, 36, 11)                                              \
  CB_SIGNAL(cbDataDownloadComplete, 7)                                              \
  CB_SIGNAL(cbForcedLogout, 6)                                                      \
  CB_RECORD(cbExchangeRate, 13, 11)                                                 \
  /* Amend failures get their own entry point and id, sized like the other */       \
  /* order failure records (the exchange-rate entry point would misreport them). */ \
  CB_RECORD(cbAmendFailure, 25, 27)                                                 \
  CB_SIGNAL(cbMemoryWarning, 18)                                                    \
  CB_RECORD(cbConStatus, 14, 394)                                                   \
  CB_RECORD(cbOrderCancelFailure, 15, 27)                                           \
  CB_RECORD(cbOrderSentFailure, 28, 27)                                             \
  CB_RECORD(cbOrderQueuedFailure, 29, 27)                                           \
  CB_RECORD(cbStrategyCreateSuccess, 23, 135)                                       \
  CB_RECORD(cbStrategyCreateFailure, 24, 145)                                       \
  CB_SIGNAL(cbOrderBookReset, 30)                                                   \
  CB_RECORD(cbTraderAdded, 37, 47)

CB_EVENTS

#undef CB_RECORD
#undef CB_SIGNAL

constexpr int32_t kMessageId = 4;
constexpr size_t kMessageBytes = kLargestRecord;
constexpr int32_t kLogonStatusId = 3;
constexpr size_t kLogonStatusBytes = 345;

// The user message record is fetched by its identifier on the library's own
// thread; a message that cannot be fetched is dropped without a word. The
// library use is released before queuing, so no unload waits on the queue.
void QR_CALL cbMessage(const char* messageId) {
  binding::CaptureAll("cbMessage", [&] {
    unsigned char record[kMessageBytes];
    {
      binding::LibraryUse qr = binding::LibraryUse::TryAcquire();
      if (!qr || qr->qrGetUsrMsgByID(messageId, record) != 0) return;
    }
    AddCallback(kMessageId, record, kMessageBytes);
  });
}

// The logon status record is built here: the library's 343 bytes, then
// whether depth of market and post-trade amends are enabled.
void QR_CALL cbLogonStatus() {
  binding::CaptureAll("cbLogonStatus", [&] {
    unsigned char record[kLogonStatusBytes] = {};
    {
      binding::LibraryUse qr = binding::LibraryUse::TryAcquire();
      if (qr) {
        qr->qrGetLogonStatus(record);
        record[343] = qr->qrDOMEnabled() == 0 ? 1 : 0;
        record[344] = qr->qrPostTradeAmendEnabled() == 0 ? 1 : 0;
      }
    }
    AddCallback(kLogonStatusId, record, kLogonStatusBytes);
  });
}

// Every entry point, numbered the same in the bridge and its library host, so
// a registration made through the host registers the host's own point.
const void* const kPoints[] = {
    reinterpret_cast<const void*>(&cbHostLinkStateChange),
    reinterpret_cast<const void*>(&cbPriceLinkStateChange),
    reinterpret_cast<const void*>(&cbPriceUpdate),
    reinterpret_cast<const void*>(&cbBlankPrice),
    reinterpret_cast<const void*>(&cbGenericPriceUpdate),
    reinterpret_cast<const void*>(&cbDOMUpdate),
    reinterpret_cast<const void*>(&cbSettlementUpdate),
    reinterpret_cast<const void*>(&cbAtBestUpdate),
    reinterpret_cast<const void*>(&cbSubscriberDepthUpdate),
    reinterpret_cast<const void*>(&cbStatusChange),
    reinterpret_cast<const void*>(&cbOrderChange),
    reinterpret_cast<const void*>(&cbOrderTypeUpdate),
    reinterpret_cast<const void*>(&cbFillChange),
    reinterpret_cast<const void*>(&cbContractAdded),
    reinterpret_cast<const void*>(&cbContractDeleted),
    reinterpret_cast<const void*>(&cbContractEvent33),
    reinterpret_cast<const void*>(&cbCommodityEvent32),
    reinterpret_cast<const void*>(&cbExchangeEvent31),
    reinterpret_cast<const void*>(&cbExchangeEvent36),
    reinterpret_cast<const void*>(&cbDataDownloadComplete),
    reinterpret_cast<const void*>(&cbForcedLogout),
    reinterpret_cast<const void*>(&cbExchangeRate),
    reinterpret_cast<const void*>(&cbAmendFailure),
    reinterpret_cast<const void*>(&cbMemoryWarning),
    reinterpret_cast<const void*>(&cbConStatus),
    reinterpret_cast<const void*>(&cbOrderCancelFailure),
    reinterpret_cast<const void*>(&cbOrderSentFailure),
    reinterpret_cast<const void*>(&cbOrderQueuedFailure),
    reinterpret_cast<const void*>(&cbStrategyCreateSuccess),
    reinterpret_cast<const void*>(&cbStrategyCreateFailure),
    reinterpret_cast<const void*>(&cbOrderBookReset),
    reinterpret_cast<const void*>(&cbTraderAdded),
    reinterpret_cast<const void*>(&cbMessage),
    reinterpret_cast<const void*>(&cbLogonStatus),
};

struct Registration {
  int32_t (*make)(const binding::EntryTable& qr);
  bool connectionStatusOnly;
};

#define REGISTER(entry, id, point)                                            \
  {                                                                           \
    [](const binding::EntryTable& qr) { return qr.entry(id, &point); }, false \
  }

const Registration kRegistrations[] = {
    REGISTER(qrRegisterLinkStateCallback, 1, cbHostLinkStateChange),
    REGISTER(qrRegisterLinkStateCallback, 2, cbPriceLinkStateChange),
    REGISTER(qrRegisterPriceCallback, 8, cbPriceUpdate),
    REGISTER(qrRegisterBlankPriceCallback, 27, cbBlankPrice),
    REGISTER(qrRegisterGenericPriceCallback, 26, cbGenericPriceUpdate),
    REGISTER(qrRegisterDOMCallback, 21, cbDOMUpdate),
    REGISTER(qrRegisterSettlementCallback, 22, cbSettlementUpdate),
    REGISTER(qrRegisterAtBestCallback, 16, cbAtBestUpdate),
    REGISTER(qrRegisterSubscriberDepthCallback, 19, cbSubscriberDepthUpdate),
    REGISTER(qrRegisterStatusCallback, 10, cbStatusChange),
    REGISTER(qrRegisterOrderCallback, 5, cbOrderChange),
    REGISTER(qrRegisterOrderTypeUpdateCallback, 38, cbOrderTypeUpdate),
    REGISTER(qrRegisterFillCallback, 9, cbFillChange),
    REGISTER(qrRegisterMsgCallback, 4, cbMessage),
    REGISTER(qrRegisterContractCallback, 11, cbContractAdded),
    REGISTER(qrRegisterContractCallback, 12, cbContractDeleted),
    REGISTER(qrRegisterContractCallback, 33, cbContractEvent33),
    REGISTER(qrRegisterCommodityCallback, 32, cbCommodityEvent32),
    REGISTER(qrRegisterExchangeCallback, 31, cbExchangeEvent31),
    REGISTER(qrRegisterExchangeCallback, 36, cbExchangeEvent36),
    REGISTER(qrRegisterCallback, 7, cbDataDownloadComplete),
    REGISTER(qrRegisterCallback, 3, cbLogonStatus),
    REGISTER(qrRegisterCallback, 6, cbForcedLogout),
    REGISTER(qrRegisterExchangeRateCallback, 13, cbExchangeRate),
    REGISTER(qrRegisterAmendFailureCallback, 25, cbAmendFailure),
    REGISTER(qrRegisterCallback, 18, cbMemoryWarning),
    {[](const binding::EntryTable& qr) { return qr.qrRegisterConStatusCallback(14, &cbConStatus); },
     true},
    REGISTER(qrRegisterOrderCancelFailureCallback, 15, cbOrderCancelFailure),
    REGISTER(qrRegisterOrderSentFailureCallback, 28, cbOrderSentFailure),
    REGISTER(qrRegisterOrderQueuedFailureCallback, 29, cbOrderQueuedFailure),
    REGISTER(qrRegisterStrategyCreateSuccess, 23, cbStrategyCreateSuccess),
    REGISTER(qrRegisterStrategyCreateFailure, 24, cbStrategyCreateFailure),
    REGISTER(qrRegisterOrderBookReset, 30, cbOrderBookReset),
    REGISTER(qrRegisterTraderAddedCallback, 37, cbTraderAdded),
};

#undef REGISTER

}  // namespace

int32_t PointIndex(const void* point) {
  for (size_t i = 0; i < std::size(kPoints); ++i)
    if (kPoints[i] == point) return static_cast<int32_t>(i);
  return -1;
}

const void* PointAt(int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < std::size(kPoints) ? kPoints[index] : nullptr;
}

size_t EventBytes(int32_t id) {
  switch (id) {
#define CB_RECORD(name, id, bytes) \
  case id:                         \
    return bytes;
#define CB_SIGNAL(name, id) \
  case id:                  \
    return 0;
    CB_EVENTS
#undef CB_RECORD
#undef CB_SIGNAL
    case kMessageId:
      return kMessageBytes;
    case kLogonStatusId:
      return kLogonStatusBytes;
    default:
      return kNoSuchEvent;
  }
}

void RegisterCallbacks(const binding::EntryTable& qr, bool connectionStatus) {
  for (const Registration& r : kRegistrations)
    if (connectionStatus || !r.connectionStatusOnly) binding::CheckResult(r.make(qr));
}

}  // namespace relay
