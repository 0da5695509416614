// Real windows for the window utility tests, made by the test itself: Win32
// windows under Wine, X11 windows under Xvfb.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

struct Rect {
  int32_t x, y, width, height;
};

// A top-level window (parent 0) or a child window, visible, with its own
// class name and title. Returns its handle as the natives see it.
int32_t CreateTestWindow(const std::string& className, const std::string& title,
                         int32_t parent = 0);
void DestroyTestWindow(int32_t window);
bool IsWindowVisible(int32_t window);
Rect WindowRect(int32_t window);  // screen coordinates
void MoveCursor(int32_t x, int32_t y);
// Whether upper is stacked above lower, two siblings, as the window system
// holds them now (X: the root's children order; Win32: the z-order chain).
bool IsAbove(int32_t upper, int32_t lower);
// A handle that is surely not a window.
int32_t NotAWindow();

// The browser's "Window Title" value: a string, an empty string, a value of
// another type, or none. No-ops where there is no registry.
enum class TitleValue { kString, kEmpty, kNumber, kMissing };
void SetBrowserTitle(TitleValue kind, const std::string& text = "");
bool HasRegistry();

}  // namespace testing_support
