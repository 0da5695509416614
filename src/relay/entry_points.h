// The callback entry points the trading library calls on its own threads,
// and their registration.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/vendor.h"

namespace relay {

// Makes the registrations in their fixed order, each through the result-code
// check: the first failing code stops the sequence as EQUOR. The
// connection-status callback is registered only when asked for.
void RegisterCallbacks(const binding::EntryTable& qr, bool connectionStatus);

// The record bytes the entry point for id queues (0 for one that takes
// none), or kNoSuchEvent: what the bridge accepts from its library host.
inline constexpr size_t kLargestEventBytes = 514;
inline constexpr size_t kNoSuchEvent = ~size_t{0};
size_t EventBytes(int32_t id);

}  // namespace relay
