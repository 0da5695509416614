// The desktop on Linux: X11 through libX11, opened with dlopen at the first
// call. The bridge has no link-time dependency on X; without libX11 or a
// display every call answers as for "no window".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace platform::desktop {
namespace {

// The Xlib calls we use, resolved from libX11.so.6.
struct Xlib {
  decltype(&XOpenDisplay) OpenDisplay;
  decltype(&XDefaultRootWindow) RootOf;
  decltype(&XQueryTree) QueryTree;
  decltype(&XFree) Free;
  decltype(&XGetClassHint) GetClassHint;
  decltype(&XFetchName) FetchName;
  decltype(&XInternAtom) InternAtom;
  decltype(&XGetWindowProperty) GetWindowProperty;
  decltype(&XGetWindowAttributes) GetWindowAttributes;
  decltype(&XMapWindow) MapWindow;
  decltype(&XUnmapWindow) UnmapWindow;
  decltype(&XMoveWindow) MoveWindow;
  decltype(&XResizeWindow) ResizeWindow;
  decltype(&XRaiseWindow) RaiseWindow;
  decltype(&XLowerWindow) LowerWindow;
  decltype(&XQueryPointer) QueryPointer;
  decltype(&XSync) Sync;
  decltype(&XSetErrorHandler) SetErrorHandler;
};

// Windows' SetWindowPos flags and special insert-after handles we honour.
constexpr uint32_t kNoSize = 0x0001, kNoMove = 0x0002, kNoZOrder = 0x0004;
constexpr uint32_t kShowWindow = 0x0040, kHideWindow = 0x0080;
constexpr int32_t kTop = 0, kBottom = 1;

std::mutex gMutex;  // every X call of the bridge goes through one connection
Xlib gX;
Display* gDisplay = nullptr;
bool gTried = false;
bool gFailed = false;  // an X error on our connection since the last reset
int (*gPreviousHandler)(Display*, XErrorEvent*) = nullptr;

// Errors on our connection are ours (a window that does not exist); others
// belong to whoever else uses Xlib in the process (AWT) and go to them.
int OnXError(Display* display, XErrorEvent* event) {
  if (display == gDisplay) {
    gFailed = true;
    return 0;
  }
  return gPreviousHandler != nullptr ? gPreviousHandler(display, event) : 0;
}

template <typename Fn>
bool Resolve(void* library, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(dlsym(library, name));
  return fn != nullptr;
}

// The connection, opened at the first call; nullptr without X. gMutex held.
Display* Connection() {
  if (gTried) return gDisplay;
  gTried = true;
  void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  const bool ok =
      Resolve(library, gX.OpenDisplay, "XOpenDisplay") &&
      Resolve(library, gX.RootOf, "XDefaultRootWindow") &&
      Resolve(library, gX.QueryTree, "XQueryTree") && Resolve(library, gX.Free, "XFree") &&
      Resolve(library, gX.GetClassHint, "XGetClassHint") &&
      Resolve(library, gX.FetchName, "XFetchName") &&
      Resolve(library, gX.InternAtom, "XInternAtom") &&
      Resolve(library, gX.GetWindowProperty, "XGetWindowProperty") &&
      Resolve(library, gX.GetWindowAttributes, "XGetWindowAttributes") &&
      Resolve(library, gX.MapWindow, "XMapWindow") &&
      Resolve(library, gX.UnmapWindow, "XUnmapWindow") &&
      Resolve(library, gX.MoveWindow, "XMoveWindow") &&
      Resolve(library, gX.ResizeWindow, "XResizeWindow") &&
      Resolve(library, gX.RaiseWindow, "XRaiseWindow") &&
      Resolve(library, gX.LowerWindow, "XLowerWindow") &&
      Resolve(library, gX.QueryPointer, "XQueryPointer") && Resolve(library, gX.Sync, "XSync") &&
      Resolve(library, gX.SetErrorHandler, "XSetErrorHandler");
  if (!ok) return nullptr;  // the library stays mapped: it is never unloaded once opened
  gDisplay = gX.OpenDisplay(nullptr);
  if (gDisplay != nullptr) gPreviousHandler = gX.SetErrorHandler(&OnXError);
  return gDisplay;
}

// Runs requests and reports whether the server accepted them all.
template <typename Body>
bool Checked(Display* display, Body&& body) {
  gX.Sync(display, False);
  gFailed = false;
  body();
  gX.Sync(display, False);
  return !gFailed;
}

std::vector<Window> Children(Display* display, Window parent) {
  Window root = 0, up = 0;
  Window* children = nullptr;
  unsigned count = 0;
  std::vector<Window> result;
  gFailed = false;
  if (gX.QueryTree(display, parent, &root, &up, &children, &count) != 0 && !gFailed) {
    // Top of the stacking order first, as Windows searches.
    for (unsigned i = count; i > 0; --i) result.push_back(children[i - 1]);
  }
  if (children != nullptr) gX.Free(children);
  return result;
}

std::string Title(Display* display, Window window) {
  const Atom netName = gX.InternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = gX.InternAtom(display, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (gX.GetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &items,
                           &after, &data) == Success &&
      data != nullptr && type == utf8) {
    title.assign(reinterpret_cast<char*>(data), items);
  }
  if (data != nullptr) gX.Free(data);
  if (!title.empty()) return title;
  char* name = nullptr;
  if (gX.FetchName(display, window, &name) != 0 && name != nullptr) title = name;
  if (name != nullptr) gX.Free(name);
  return title;
}

bool ClassMatches(Display* display, Window window, const char* className) {
  if (className == nullptr) return true;
  XClassHint hint{nullptr, nullptr};
  if (gX.GetClassHint(display, window, &hint) == 0) return false;
  const bool match = (hint.res_name != nullptr && std::strcmp(hint.res_name, className) == 0) ||
                     (hint.res_class != nullptr && std::strcmp(hint.res_class, className) == 0);
  if (hint.res_name != nullptr) gX.Free(hint.res_name);
  if (hint.res_class != nullptr) gX.Free(hint.res_class);
  return match;
}

bool Matches(Display* display, Window window, const char* className, const char* windowName) {
  if (!ClassMatches(display, window, className)) return false;
  return windowName == nullptr || Title(display, window) == windowName;
}

}  // namespace

void CursorPos(int32_t* x, int32_t* y) {
  *x = 0;
  *y = 0;
  std::lock_guard<std::mutex> lock(gMutex);
  Display* display = Connection();
  if (display == nullptr) return;
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  if (gX.QueryPointer(display, gX.RootOf(display), &root, &child, &rootX, &rootY, &winX, &winY,
                      &mask)) {
    *x = rootX;
    *y = rootY;
  }
}

bool SetWindowPos(int32_t window, int32_t insertAfter, int32_t x, int32_t y, int32_t width,
                  int32_t height, uint32_t flags) {
  std::lock_guard<std::mutex> lock(gMutex);
  Display* display = Connection();
  if (display == nullptr || window == 0) return false;
  const auto w = static_cast<Window>(static_cast<uint32_t>(window));
  XWindowAttributes attributes;
  return Checked(display, [&] { gX.GetWindowAttributes(display, w, &attributes); }) &&
         Checked(display, [&] {
           if (!(flags & kNoMove)) gX.MoveWindow(display, w, x, y);
           if (!(flags & kNoSize) && width > 0 && height > 0)
             gX.ResizeWindow(display, w, static_cast<unsigned>(width),
                             static_cast<unsigned>(height));
           if (!(flags & kNoZOrder)) {
             if (insertAfter == kTop) gX.RaiseWindow(display, w);
             if (insertAfter == kBottom) gX.LowerWindow(display, w);
           }
           if (flags & kShowWindow) gX.MapWindow(display, w);
           if (flags & kHideWindow) gX.UnmapWindow(display, w);
         });
}

bool ShowWindow(int32_t window, int32_t command) {
  std::lock_guard<std::mutex> lock(gMutex);
  Display* display = Connection();
  if (display == nullptr || window == 0) return false;
  const auto w = static_cast<Window>(static_cast<uint32_t>(window));
  XWindowAttributes attributes;
  if (!Checked(display, [&] { gX.GetWindowAttributes(display, w, &attributes); })) return false;
  const bool wasVisible = attributes.map_state == IsViewable;
  Checked(display, [&] {
    if (command == 0) {
      gX.UnmapWindow(display, w);  // SW_HIDE
    } else {
      gX.MapWindow(display, w);  // every other command shows
    }
  });
  return wasVisible;
}

int32_t FindTopWindow(const char* className, const char* windowName) {
  std::lock_guard<std::mutex> lock(gMutex);
  Display* display = Connection();
  if (display == nullptr) return 0;
  // Top-level windows, and the client windows inside window manager frames.
  for (Window top : Children(display, gX.RootOf(display))) {
    if (Matches(display, top, className, windowName)) return static_cast<int32_t>(top);
    for (Window inner : Children(display, top))
      if (Matches(display, inner, className, windowName)) return static_cast<int32_t>(inner);
  }
  return 0;
}

int32_t FindChildWindow(int32_t parent, int32_t childAfter, const char* className,
                        const char* windowName) {
  std::lock_guard<std::mutex> lock(gMutex);
  Display* display = Connection();
  if (display == nullptr) return 0;
  const Window p =
      parent == 0 ? gX.RootOf(display) : static_cast<Window>(static_cast<uint32_t>(parent));
  bool searching = childAfter == 0;
  for (Window child : Children(display, p)) {
    if (!searching) {
      searching = child == static_cast<Window>(static_cast<uint32_t>(childAfter));
      continue;
    }
    if (Matches(display, child, className, windowName)) return static_cast<int32_t>(child);
  }
  return 0;
}

std::string BrowserWindowTitle() {
  return {};
}

}  // namespace platform::desktop
