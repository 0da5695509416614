#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace platform::desktop {
namespace {

HWND ToHwnd(int32_t handle) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(handle));
}
int32_t ToHandle(HWND window) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(window));
}

// Closes the key on every path.
struct Key {
  HKEY key = nullptr;
  ~Key() {
    if (key != nullptr) RegCloseKey(key);
  }
};

}  // namespace

void CursorPos(int32_t* x, int32_t* y) {
  POINT point{0, 0};  // cleared first: a failing call leaves (0, 0)
  GetCursorPos(&point);
  *x = point.x;
  *y = point.y;
}

bool SetWindowPos(int32_t window, int32_t insertAfter, int32_t x, int32_t y, int32_t width,
                  int32_t height, uint32_t flags) {
  return ::SetWindowPos(ToHwnd(window), ToHwnd(insertAfter), x, y, width, height, flags) != 0;
}

bool ShowWindow(int32_t window, int32_t command) {
  return ::ShowWindow(ToHwnd(window), command) != 0;
}

int32_t FindTopWindow(const char* className, const char* windowName) {
  return ToHandle(FindWindowA(className, windowName));
}

int32_t FindChildWindow(int32_t parent, int32_t childAfter, const char* className,
                        const char* windowName) {
  return ToHandle(FindWindowExA(ToHwnd(parent), ToHwnd(childAfter), className, windowName));
}

std::string BrowserWindowTitle() {
  // Opened for reading only: the value is only read.
  Key key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main", 0, KEY_READ,
                    &key.key) != ERROR_SUCCESS)
    return {};
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key.key, "Window Title", nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  if (status != ERROR_SUCCESS) throw std::runtime_error("cannot read the browser's Window Title");
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    throw std::runtime_error("the browser's Window Title is not a string");
  std::vector<char> value(size + 1, '\0');
  status = RegQueryValueExA(key.key, "Window Title", nullptr, &type,
                            reinterpret_cast<BYTE*>(value.data()), &size);
  if (status != ERROR_SUCCESS) throw std::runtime_error("cannot read the browser's Window Title");
  return std::string(value.data());  // up to the first zero byte
}

// The system's window calls need nothing released.
void ReleaseDesktop() {}

}  // namespace platform::desktop
