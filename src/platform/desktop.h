// The desktop: windows, the cursor, and the browser's title setting. Windows
// uses the system's own calls; Linux speaks X11 through XCB, loaded at the
// first call so the bridge loads on machines without X.
//
// Window handles are 32-bit integers as Java holds them: an HWND on Windows
// (sign-extended back on 64-bit), an X window id on Linux.
#pragma once

#include <cstdint>
#include <string>

namespace platform::desktop {

// Screen coordinates of the mouse cursor; (0, 0) when there is no display.
void CursorPos(int32_t* x, int32_t* y);

// SetWindowPos: true on success. With no display, or an invalid window, false.
bool SetWindowPos(int32_t window, int32_t insertAfter, int32_t x, int32_t y, int32_t width,
                  int32_t height, uint32_t flags);

// ShowWindow: shows or hides as the command says; true when the window was
// visible before the call.
bool ShowWindow(int32_t window, int32_t command);

// FindWindowA and FindWindowExA (named apart from the system macros): a null name matches any; 0
// when none matches.
int32_t FindTopWindow(const char* className, const char* windowName);
int32_t FindChildWindow(int32_t parent, int32_t childAfter, const char* className,
                        const char* windowName);

// The current user's "Window Title" under the web browser's settings key, or
// empty when the key or the value is missing. A value that is not a string,
// or that cannot be read, throws std::runtime_error. Empty on Linux, which
// has no registry.
std::string BrowserWindowTitle();

// Closes the display connection and unloads what the first call loaded, when
// the bridge leaves the process. Nothing else is left behind.
void ReleaseDesktop();

}  // namespace platform::desktop
