#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <vector>

#include "desktop_helpers.h"

namespace testing_support {
namespace {

Display* Connection() {
  static Display* display = [] {
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) throw std::runtime_error("no X display");
    return d;
  }();
  return display;
}

}  // namespace

int32_t CreateTestWindow(const std::string& className, const std::string& title, int32_t parent) {
  Display* d = Connection();
  const Window p = parent == 0 ? DefaultRootWindow(d) : static_cast<Window>(parent);
  const Window w = XCreateSimpleWindow(d, p, 10, 10, 120, 80, 0, 0, 0);
  XClassHint hint{const_cast<char*>(className.c_str()), const_cast<char*>(className.c_str())};
  XSetClassHint(d, w, &hint);
  XStoreName(d, w, title.c_str());
  XMapWindow(d, w);
  XSync(d, False);
  return static_cast<int32_t>(w);
}

void DestroyTestWindow(int32_t window) {
  XDestroyWindow(Connection(), static_cast<Window>(window));
  XSync(Connection(), False);
}

bool IsWindowVisible(int32_t window) {
  XWindowAttributes a;
  XSync(Connection(), False);
  XGetWindowAttributes(Connection(), static_cast<Window>(window), &a);
  return a.map_state == IsViewable;
}

Rect WindowRect(int32_t window) {
  Display* d = Connection();
  XSync(d, False);
  Window root = 0, child = 0;
  int x = 0, y = 0;
  unsigned w = 0, h = 0, border = 0, depth = 0;
  XGetGeometry(d, static_cast<Window>(window), &root, &x, &y, &w, &h, &border, &depth);
  int rx = 0, ry = 0;
  XTranslateCoordinates(d, static_cast<Window>(window), root, 0, 0, &rx, &ry, &child);
  return Rect{rx, ry, static_cast<int32_t>(w), static_cast<int32_t>(h)};
}

bool IsAbove(int32_t upper, int32_t lower) {
  Display* d = Connection();
  Window root = 0, parent = 0, *children = nullptr;
  unsigned n = 0;
  XQueryTree(d, static_cast<Window>(upper), &root, &parent, &children, &n);  // for its parent
  XFree(children);
  XQueryTree(d, parent, &root, &parent, &children, &n);  // the siblings, bottom first
  const std::vector<Window> order(children, children + n);
  XFree(children);
  auto at = [&](int32_t w) { return std::find(order.begin(), order.end(), Window(w)); };
  return at(upper) > at(lower);  // false when lower is no sibling
}

void MoveCursor(int32_t x, int32_t y) {
  Display* d = Connection();
  XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
  XSync(d, False);
}

int32_t NotAWindow() {
  return 0x7ABCDE;
}

void SetBrowserTitle(TitleValue, const std::string&) {}
bool HasRegistry() {
  return false;
}

}  // namespace testing_support
