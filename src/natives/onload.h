// The bridge's load-time check of the ClientAPI class (natives/onload.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace natives {

// True while JNI_OnLoad found a native of the bridge's declared with other
// types: the one load a native's edge makes before looking further.
extern std::atomic<bool> gAnyMismatch;

// The load-time mismatch text of the native exported as `native` (its JNI
// name), or null when it matched or the class did not declare it. A native
// with a mismatch fails every call with 99 through the funnel under that text.
const std::string* SignatureMismatch(std::string_view native) noexcept;

// The refusal of a mismatched native: true (after logging the mismatch
// through the funnel under the native's name) when `native` must not run.
bool RefuseMismatched(std::string_view native) noexcept;

// What a refused native returns: 99, or 0 where Java declared it to return
// an object or an array (the JVM reads the result as a reference there, and
// 99 is none: it would throw at the caller or worse; 0 is null).
int32_t MismatchedResult(std::string_view native) noexcept;

// Writes each native that JNI_OnLoad found declared with other types than
// the bridge takes into the trace, when tracing is on (initialise calls it
// once the trace has opened, so every trace shows them).
void TraceSignatureMismatches();

}  // namespace natives
