// Each module (the bridge, the simulator) defines OnModuleDetach; the
// platform's module_main_*.cpp calls it when the module leaves the process.
#pragma once

// processExiting is true when the whole process is ending (other threads are
// already gone on Windows, and may still run on Linux): then nothing may wait
// for them or free what they use. On Linux it is always true: see
// module_main_posix.cpp.
void OnModuleDetach(bool processExiting);
