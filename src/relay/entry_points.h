// The callback entry points the trading library calls on its own threads,
// and their registration.
#pragma once

#include "binding/vendor.h"

namespace relay {

// Makes the registrations in their fixed order, each through the result-code
// check: the first failing code stops the sequence as EQUOR. The
// connection-status callback is registered only when asked for.
void RegisterCallbacks(const binding::EntryTable& qr, bool connectionStatus);

}  // namespace relay
