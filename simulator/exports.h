// The simulator's exports, declared from the one entry list: a definition
// whose prototype differs from the bridge's slot does not compile.
#pragma once

#include "binding/vendor.h"

extern "C" {
#define QR_ENTRY(name, result, params) QR_EXPORT result QR_CALL name params;
#define QR_AGAIN(name)
#include "binding/entries.def"
}
