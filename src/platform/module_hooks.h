// Each module (the bridge, the simulator) defines OnModuleDetach; the
// platform's module_main_*.cpp calls it when the module leaves the process.
#pragma once

// processExiting is true when the whole process is ending (other threads are
// already gone on Windows): then nothing may wait for them.
void OnModuleDetach(bool processExiting);
