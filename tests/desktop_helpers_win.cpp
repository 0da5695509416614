#include <windows.h>

#include <set>
#include <stdexcept>

#include "desktop_helpers.h"

namespace testing_support {
namespace {

HWND ToHwnd(int32_t h) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(h));
}

std::set<std::string> gRegistered;

void RegisterClassOnce(const std::string& name) {
  if (!gRegistered.insert(name).second) return;
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = name.c_str();
  if (RegisterClassA(&wc) == 0) throw std::runtime_error("RegisterClassA failed");
}

constexpr const char* kBrowserKey = "Software\\Microsoft\\Internet Explorer\\Main";

}  // namespace

int32_t CreateTestWindow(const std::string& className, const std::string& title, int32_t parent) {
  RegisterClassOnce(className);
  const DWORD style = parent == 0 ? WS_OVERLAPPEDWINDOW : WS_CHILD;
  HWND w = CreateWindowExA(0, className.c_str(), title.c_str(), style, 10, 10, 120, 80,
                           ToHwnd(parent), nullptr, GetModuleHandleA(nullptr), nullptr);
  if (w == nullptr) throw std::runtime_error("CreateWindowExA failed");
  ShowWindow(w, SW_SHOWNORMAL);
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(w));
}

void DestroyTestWindow(int32_t window) {
  DestroyWindow(ToHwnd(window));
}

bool IsWindowVisible(int32_t window) {
  return ::IsWindowVisible(ToHwnd(window)) != 0;
}

Rect WindowRect(int32_t window) {
  RECT r{};
  GetWindowRect(ToHwnd(window), &r);
  return Rect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

bool IsAbove(int32_t upper, int32_t lower) {
  // GW_HWNDNEXT walks down the z-order from upper; meeting lower means upper is above it.
  for (HWND w = GetWindow(ToHwnd(upper), GW_HWNDNEXT); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
    if (w == ToHwnd(lower)) return true;
  return false;
}

void MoveCursor(int32_t x, int32_t y) {
  SetCursorPos(x, y);
}

int32_t NotAWindow() {
  return 0x7ABCDE;
}

void SetBrowserTitle(TitleValue kind, const std::string& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kBrowserKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create the browser key");
  switch (kind) {
    case TitleValue::kString:
    case TitleValue::kEmpty: {
      const std::string value = kind == TitleValue::kString ? text : "";
      RegSetValueExA(key, "Window Title", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
      break;
    }
    case TitleValue::kNumber: {
      const DWORD number = 7;
      RegSetValueExA(key, "Window Title", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                     sizeof number);
      break;
    }
    case TitleValue::kMissing:
      RegDeleteValueA(key, "Window Title");
      break;
  }
  RegCloseKey(key);
}

bool HasRegistry() {
  return true;
}

}  // namespace testing_support
