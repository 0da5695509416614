// The bridge's load-time check of the ClientAPI class (natives/onload.cpp).
#pragma once

namespace natives {

// Writes each native that JNI_OnLoad found declared with other types than
// the bridge takes into the trace, when tracing is on (initialise calls it
// once the trace has opened, so every trace shows them).
void TraceSignatureMismatches();

}  // namespace natives
