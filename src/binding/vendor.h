// The trading library's contract as C++ types: callback procedure types and
// the entry table with one typed slot per entry of entries.def.
#pragma once

#include <cstdint>
#include <iterator>

#include "hostlink/marshal.h"
#include "platform/callconv.h"
#include "platform/fault_guard.h"

extern "C" {
// A callback entry point that receives the event's record (valid only during
// the call), one that receives nothing, and the message callback, which
// receives the identifier of a user message.
typedef void(QR_CALL* QRRecordProc)(const void* record);
typedef void(QR_CALL* QRSignalProc)();
typedef void(QR_CALL* QRMessageProc)(const char* messageId);
}

namespace binding {

// Each slot's number, in the order of entries.def.
enum SlotIndex : int {
#define QR_ENTRY(name, result, params) kSlot_##name,
#define QR_AGAIN(name)
#include "binding/entries.def"
};

}  // namespace binding

namespace hostlink {
#define QR_ENTRY(name, result, params)
#define QR_AGAIN(name)
#define QR_RECORDS(name, ...)                                       \
  template <>                                                       \
  struct Records<binding::kSlot_##name> {                           \
    static constexpr RecordSpec list[] = {__VA_ARGS__};             \
    static constexpr int count = static_cast<int>(std::size(list)); \
  };
#include "binding/entries.def"
}  // namespace hostlink

namespace binding {

// One slot per entry: the entry's address (null while no library is
// loaded), called like the entry itself. Every call is a guarded call, so a
// processor fault inside the library ends as platform::ProcessorFault. While
// the library lives in a host process, the call goes to the calling thread's
// mirror thread there instead (hostlink/marshal.h).
namespace slots {
#define QR_ENTRY(name, result, params)                                       \
  struct name {                                                              \
    using Signature = result params;                                         \
    result(QR_CALL* fn) params;                                              \
    explicit operator bool() const { return fn != nullptr; }                 \
    template <typename... Args>                                              \
    result operator()(Args... args) const {                                  \
      if (hostlink::Forwarding()) [[unlikely]]                               \
        return hostlink::Forwarder<kSlot_##name, Signature>::Call(args...);  \
      return platform::CallGuarded([&]() -> result { return fn(args...); }); \
    }                                                                        \
  };
#define QR_AGAIN(name)
#include "binding/entries.def"
}  // namespace slots

struct EntryTable {
#define QR_ENTRY(name, result, params) slots::name name;
#define QR_AGAIN(name)
#include "binding/entries.def"
};

inline constexpr int kEntrySlots = 0
#define QR_ENTRY(name, result, params) +1
#define QR_AGAIN(name)
#include "binding/entries.def"
    ;

inline constexpr int kEntryLookups = kEntrySlots
#define QR_ENTRY(name, result, params)
#define QR_AGAIN(name) +1
#include "binding/entries.def"
    ;

static_assert(kEntrySlots == 163 && kEntryLookups == 166, "the entry list is the contract");
static_assert(sizeof(EntryTable) == kEntrySlots * sizeof(void*), "one pointer per slot");

}  // namespace binding
