// Makes the stand-in trading library import helperAnswer from QRHELPER.DLL,
// which lies beside it: the library does not load unless its own folder is
// searched for the DLLs it imports.
#include <cstdint>

#include "platform/callconv.h"

extern "C" __declspec(dllimport) int32_t helperAnswer(void);

extern "C" QR_EXPORT int32_t simHelperAnswer(void) {
  return helperAnswer();
}
