// Marshalling of an entry's call to the library host, derived from its
// prototype and the QR_RECORDS line next to it in entries.def: no entry has a
// forwarder of its own. Both sides walk the same layout over a call slot's
// data, in parameter order, each item 8-byte aligned:
//   int32_t            the value
//   const char*        [length or kNull][the bytes and a zero byte]
//   int32_t*           [present][the integer], copied back after the call
//   callback procedure [the entry point's index (relay::PointIndex), or -1]
//   void*, char*,      [present][bytes][the buffer], copied back after the
//   const void*         call unless the record is only read (RecordIn)
// The bridge copies back only through offsets and sizes it computed itself,
// never ones read from the shared memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

#include "hostlink/shared.h"

namespace relay {
// Every callback entry point of the bridge by a number both processes share.
int32_t PointIndex(const void* point);  // -1 for one that is not an entry point
const void* PointAt(int32_t index);     // null outside the list
}  // namespace relay

namespace hostlink {

struct RecordSpec {
  bool readOnly;     // the library only reads it
  uint32_t bytes;    // its size, or
  int sizeArgument;  // >= 0: the parameter whose value is its size
};
constexpr RecordSpec RecordIn(uint32_t bytes) {
  return {true, bytes, -1};
}
constexpr RecordSpec RecordOut(uint32_t bytes) {
  return {false, bytes, -1};
}
constexpr RecordSpec RecordOutSizedBy(int parameter) {
  return {false, 0, parameter};
}
constexpr RecordSpec RecordInSizedBy(int parameter) {
  return {true, 0, parameter};
}

// An entry's buffers; entries.def specialises it through vendor.h.
template <int Slot>
struct Records {
  static constexpr int count = 0;
  static constexpr RecordSpec list[1] = {};
};

// Set while the entry table forwards to a library host (the bridge's side).
inline std::atomic<bool> gForwarding{false};
inline bool Forwarding() {
  return gForwarding.load(std::memory_order_relaxed);
}

template <typename T>
inline constexpr bool kIsBuffer =
    std::is_same_v<T, void*> || std::is_same_v<T, const void*> || std::is_same_v<T, char*>;
template <typename T>
inline constexpr bool kIsProcedure =
    std::is_pointer_v<T>&& std::is_function_v<std::remove_pointer_t<T>>;

template <typename... A>
constexpr int BufferIndex(size_t parameter) {
  constexpr bool isBuffer[] = {kIsBuffer<A>..., false};
  int n = 0;
  for (size_t i = 0; i < parameter; ++i) n += isBuffer[i] ? 1 : 0;
  return n;
}

inline constexpr uint32_t kNull = 0xFFFFFFFFu;

// Walks a slot's data; an item that would not fit sets overflow and yields
// nothing.
struct Cursor {
  unsigned char* base;
  size_t capacity;
  size_t at = 0;
  bool overflow = false;
  unsigned char* Take(size_t bytes) {
    const size_t need = (bytes + 7) & ~size_t{7};
    if (overflow || need > capacity - at) {
      overflow = true;
      return nullptr;
    }
    unsigned char* p = base + at;
    at += need;
    return p;
  }
};

// Changes a slot's word and wakes whoever sleeps on it (no system call when
// nobody does: the sleeper announces itself before it looks again).
void Publish(CallSlot& slot, uint32_t state);
// Sleeps while the slot's word holds state, up to timeoutMs.
void SleepWhile(CallSlot& slot, uint32_t state, unsigned timeoutMs);

inline void Put32(unsigned char* p, uint32_t v) {
  std::memcpy(p, &v, 4);
}
inline uint32_t Get32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A copy back into the caller's buffer after the reply.
struct CopyBack {
  const unsigned char* from;
  void* to;
  size_t bytes;
};

// The bridge's side (hostlink/bridge.cpp): the running host, held for one
// call, and the calling thread's slot in it (its mirror thread started on
// the thread's first call). Throws HostLost when no host runs.
class ActiveCall {
 public:
  ActiveCall();
  ~ActiveCall();
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;
  CallSlot* Slot() const { return slot_; }
  // Posts op and waits for the reply: the result, or throws HostLost for a
  // host that died or broke the protocol, ProcessorFault for a fault the
  // host's guard caught. used is where the arguments end; *text (when given)
  // receives the result text, checked and copied into this thread's buffer.
  int32_t Transact(int32_t op, size_t used, const char** text);

 private:
  void* host_;
  CallSlot* slot_;
  bool shared_ = false;  // on the slot the threads past the others share
};

template <int Slot, typename... A>
struct Encoder {
  Cursor cursor;
  int64_t ints[sizeof...(A) + 1];
  CopyBack backs[sizeof...(A) + 1];
  int count = 0;

  template <size_t I, typename T>
  void Put(T v) {
    if constexpr (std::is_same_v<T, int32_t>) {
      if (unsigned char* p = cursor.Take(4)) Put32(p, static_cast<uint32_t>(v));
    } else if constexpr (std::is_same_v<T, const char*>) {
      const size_t length = v != nullptr ? std::strlen(v) : 0;
      unsigned char* head = cursor.Take(4);
      if (head == nullptr) return;
      Put32(head, v != nullptr ? static_cast<uint32_t>(length) : kNull);
      if (v == nullptr) return;
      if (length >= kSlotData) {
        cursor.overflow = true;
        return;
      }
      if (unsigned char* p = cursor.Take(length + 1)) std::memcpy(p, v, length + 1);
    } else if constexpr (std::is_same_v<T, int32_t*>) {
      unsigned char* p = cursor.Take(8);
      if (p == nullptr) return;
      Put32(p, v != nullptr ? 1 : 0);
      if (v == nullptr) return;
      std::memcpy(p + 4, v, 4);
      backs[count++] = {p + 4, v, 4};
    } else if constexpr (kIsProcedure<T>) {
      const int32_t index = relay::PointIndex(reinterpret_cast<const void*>(v));
      if (v != nullptr && index < 0)
        throw std::invalid_argument(" The library host knows no such callback entry point");
      if (unsigned char* p = cursor.Take(4)) Put32(p, static_cast<uint32_t>(index));
    } else {
      static_assert(kIsBuffer<T>, "entries.def holds only these parameter types");
      constexpr RecordSpec spec = Records<Slot>::list[BufferIndex<A...>(I)];
      size_t bytes = spec.bytes;
      if (spec.sizeArgument >= 0)
        bytes = ints[spec.sizeArgument] > 0 ? static_cast<size_t>(ints[spec.sizeArgument]) : 0;
      unsigned char* head = cursor.Take(8);
      if (head == nullptr) return;
      Put32(head, v != nullptr ? 1 : 0);
      if (v == nullptr) return;
      if (bytes >= kSlotData) {
        cursor.overflow = true;
        return;
      }
      Put32(head + 4, static_cast<uint32_t>(bytes));
      unsigned char* p = cursor.Take(bytes);
      if (p == nullptr) return;
      std::memcpy(p, v, bytes);
      if (!spec.readOnly)
        backs[count++] = {p, const_cast<void*>(static_cast<const void*>(v)), bytes};
    }
  }
};

template <typename T>
int64_t IntegerOf(T v) {
  if constexpr (std::is_same_v<T, int32_t>) {
    return v;
  } else {
    (void)v;
    return 0;
  }
}

// The host's side: the argument at the cursor, pointing into the slot.
template <int Slot, size_t I, typename T, typename... A>
T Take(Cursor& c) {
  if constexpr (std::is_same_v<T, int32_t>) {
    unsigned char* p = c.Take(4);
    return p != nullptr ? static_cast<int32_t>(Get32(p)) : 0;
  } else if constexpr (std::is_same_v<T, const char*>) {
    unsigned char* head = c.Take(4);
    if (head == nullptr || Get32(head) == kNull) return nullptr;
    return reinterpret_cast<const char*>(c.Take(Get32(head) + 1));
  } else if constexpr (std::is_same_v<T, int32_t*>) {
    unsigned char* p = c.Take(8);
    if (p == nullptr || Get32(p) == 0) return nullptr;
    return reinterpret_cast<int32_t*>(p + 4);
  } else if constexpr (kIsProcedure<T>) {
    unsigned char* p = c.Take(4);
    return p != nullptr ? reinterpret_cast<T>(relay::PointAt(static_cast<int32_t>(Get32(p))))
                        : nullptr;
  } else {
    unsigned char* head = c.Take(8);
    if (head == nullptr || Get32(head) == 0) return nullptr;
    return reinterpret_cast<T>(c.Take(Get32(head + 4)));
  }
}

template <int Slot, typename Signature>
struct Forwarder;

template <int Slot, typename R, typename... A>
struct Forwarder<Slot, R(A...)> {
  static_assert(Records<Slot>::count == BufferIndex<A...>(sizeof...(A)),
                "entries.def: QR_RECORDS must describe every buffer of the entry");
  static_assert(std::is_same_v<R, int32_t> || std::is_same_v<R, const char*> || std::is_void_v<R>);

  // The bridge: the call, made by the host's mirror of this thread.
  static R Call(A... args) {
    ActiveCall call;
    Encoder<Slot, A...> e{{call.Slot()->data, kSlotData}, {IntegerOf<A>(args)..., 0}, {}, 0};
    [&]<size_t... I>(std::index_sequence<I...>) {
      (e.template Put<I, A>(args), ...);
    }
    (std::index_sequence_for<A...>{});
    if (e.cursor.overflow)
      throw std::length_error(" The call's records do not fit the library host's call slot");
    const char* text = nullptr;
    const int32_t result = call.Transact(Slot, e.cursor.at, &text);
    for (int i = 0; i < e.count; ++i) std::memcpy(e.backs[i].to, e.backs[i].from, e.backs[i].bytes);
    if constexpr (std::is_same_v<R, const char*>) {
      return text;
    } else if constexpr (std::is_same_v<R, int32_t>) {
      return result;
    } else {
      (void)result;
    }
  }

  // The host: decodes the arguments in place and calls the entry's slot
  // (under the fault guard); the result, and a text result after the
  // arguments.
  template <typename Entry>
  static void Serve(const Entry& entry, CallSlot* slot) {
    Cursor c{slot->data, kSlotData};
    auto args = [&]<size_t... I>(std::index_sequence<I...>) {
      return std::tuple<A...>{Take<Slot, I, A, A...>(c)...};
    }
    (std::index_sequence_for<A...>{});
    if constexpr (std::is_void_v<R>) {
      std::apply(entry, args);
      slot->result = 0;
    } else if constexpr (std::is_same_v<R, const char*>) {
      const char* r = std::apply(entry, args);
      const size_t room = kSlotData - c.at;
      const size_t length = r != nullptr ? strnlen(r, room - 1) : 0;
      if (r != nullptr) std::memcpy(slot->data + c.at, r, length);
      slot->resultBytes = r != nullptr ? static_cast<uint32_t>(length) : kNull;
      slot->result = 0;
    } else {
      slot->result = std::apply(entry, args);
    }
  }
};

}  // namespace hostlink
