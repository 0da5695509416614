// A DLL that a stand-in trading library imports from its own folder (Windows
// only): the bridge must find it there, not in the program's folder.
#include <cstdint>

extern "C" __declspec(dllexport) int32_t helperAnswer(void) {
  return 34;
}
