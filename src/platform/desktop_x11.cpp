// The desktop on Linux: X11 through XCB, opened with dlopen at the first
// call. The bridge has no link-time dependency on X; without libxcb or a
// display every call answers as for "no window".
//
// XCB hands the error of a request back to the call that asked for it, so
// the bridge learns of its own errors (a window that does not exist) on its
// own connection whatever Xlib error handler the process has installed (AWT
// installs one that calls into Java). Nothing process-wide is installed, and
// the connection and the library go when the bridge does.
#include <dlfcn.h>
#include <xcb/xcb.h>
#include <xcb/xproto.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace platform::desktop {
namespace {

// The XCB calls we use, resolved from libxcb.so.1.
struct Xcb {
  decltype(&xcb_connect) connect;
  decltype(&xcb_disconnect) disconnect;
  decltype(&xcb_connection_has_error) hasError;
  decltype(&xcb_get_setup) getSetup;
  decltype(&xcb_setup_roots_iterator) rootsIterator;
  decltype(&xcb_screen_next) screenNext;
  decltype(&xcb_query_tree) queryTree;
  decltype(&xcb_query_tree_reply) queryTreeReply;
  decltype(&xcb_query_tree_children) treeChildren;
  decltype(&xcb_query_tree_children_length) treeChildrenLength;
  decltype(&xcb_intern_atom) internAtom;
  decltype(&xcb_intern_atom_reply) internAtomReply;
  decltype(&xcb_get_property) getProperty;
  decltype(&xcb_get_property_reply) getPropertyReply;
  decltype(&xcb_get_property_value) propertyValue;
  decltype(&xcb_get_property_value_length) propertyValueLength;
  decltype(&xcb_get_window_attributes) getAttributes;
  decltype(&xcb_get_window_attributes_reply) getAttributesReply;
  decltype(&xcb_configure_window_checked) configureChecked;
  decltype(&xcb_map_window_checked) mapChecked;
  decltype(&xcb_unmap_window_checked) unmapChecked;
  decltype(&xcb_request_check) requestCheck;
  decltype(&xcb_query_pointer) queryPointer;
  decltype(&xcb_query_pointer_reply) queryPointerReply;
};

// Windows' SetWindowPos flags and special insert-after handles we honour.
constexpr uint32_t kNoSize = 0x0001, kNoMove = 0x0002, kNoZOrder = 0x0004;
constexpr uint32_t kShowWindow = 0x0040, kHideWindow = 0x0080;
constexpr int32_t kTop = 0, kBottom = 1;

std::mutex gMutex;  // every X call of the bridge goes through one connection
Xcb gX;
void* gLibrary = nullptr;
xcb_connection_t* gConnection = nullptr;
xcb_window_t gRoot = 0;
bool gTried = false;

// Replies and errors are malloc'd by XCB; each is freed by its owner.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

template <typename Fn>
bool Resolve(void* library, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(dlsym(library, name));
  return fn != nullptr;
}

bool ResolveAll(void* l) {
  return Resolve(l, gX.connect, "xcb_connect") && Resolve(l, gX.disconnect, "xcb_disconnect") &&
         Resolve(l, gX.hasError, "xcb_connection_has_error") &&
         Resolve(l, gX.getSetup, "xcb_get_setup") &&
         Resolve(l, gX.rootsIterator, "xcb_setup_roots_iterator") &&
         Resolve(l, gX.screenNext, "xcb_screen_next") &&
         Resolve(l, gX.queryTree, "xcb_query_tree") &&
         Resolve(l, gX.queryTreeReply, "xcb_query_tree_reply") &&
         Resolve(l, gX.treeChildren, "xcb_query_tree_children") &&
         Resolve(l, gX.treeChildrenLength, "xcb_query_tree_children_length") &&
         Resolve(l, gX.internAtom, "xcb_intern_atom") &&
         Resolve(l, gX.internAtomReply, "xcb_intern_atom_reply") &&
         Resolve(l, gX.getProperty, "xcb_get_property") &&
         Resolve(l, gX.getPropertyReply, "xcb_get_property_reply") &&
         Resolve(l, gX.propertyValue, "xcb_get_property_value") &&
         Resolve(l, gX.propertyValueLength, "xcb_get_property_value_length") &&
         Resolve(l, gX.getAttributes, "xcb_get_window_attributes") &&
         Resolve(l, gX.getAttributesReply, "xcb_get_window_attributes_reply") &&
         Resolve(l, gX.configureChecked, "xcb_configure_window_checked") &&
         Resolve(l, gX.mapChecked, "xcb_map_window_checked") &&
         Resolve(l, gX.unmapChecked, "xcb_unmap_window_checked") &&
         Resolve(l, gX.requestCheck, "xcb_request_check") &&
         Resolve(l, gX.queryPointer, "xcb_query_pointer") &&
         Resolve(l, gX.queryPointerReply, "xcb_query_pointer_reply");
}

// The connection, opened at the first call; nullptr without X. gMutex held.
xcb_connection_t* Connection() {
  if (gTried) return gConnection;
  gTried = true;
  gLibrary = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (gLibrary == nullptr) return nullptr;
  if (!ResolveAll(gLibrary)) return nullptr;
  int screen = 0;
  xcb_connection_t* c = gX.connect(nullptr, &screen);
  if (c == nullptr) return nullptr;
  if (gX.hasError(c) != 0) {
    gX.disconnect(c);  // a failed connection is still freed by its owner
    return nullptr;
  }
  xcb_screen_iterator_t it = gX.rootsIterator(gX.getSetup(c));
  for (int i = 0; i < screen && it.rem > 0; ++i) gX.screenNext(&it);
  if (it.rem <= 0 || it.data == nullptr) {
    gX.disconnect(c);
    return nullptr;
  }
  gRoot = it.data->root;
  gConnection = c;
  return gConnection;
}

// A request that has no reply, checked: true when the server accepted it.
bool Accepted(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  Reply<xcb_generic_error_t> error(gX.requestCheck(c, cookie));
  return error == nullptr;
}

// The window's attributes, or null (with no error left anywhere) when the
// window does not exist.
Reply<xcb_get_window_attributes_reply_t> Attributes(xcb_connection_t* c, xcb_window_t w) {
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_get_window_attributes_reply_t> reply(
      gX.getAttributesReply(c, gX.getAttributes(c, w), &error));
  std::free(error);
  return reply;
}

std::vector<xcb_window_t> Children(xcb_connection_t* c, xcb_window_t parent) {
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_query_tree_reply_t> tree(gX.queryTreeReply(c, gX.queryTree(c, parent), &error));
  std::free(error);
  std::vector<xcb_window_t> result;
  if (tree == nullptr) return result;
  const xcb_window_t* children = gX.treeChildren(tree.get());
  const int count = gX.treeChildrenLength(tree.get());
  // Top of the stacking order first, as Windows searches.
  for (int i = count; i > 0; --i) result.push_back(children[i - 1]);
  return result;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_intern_atom_reply_t> reply(gX.internAtomReply(
      c, gX.internAtom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), &error));
  std::free(error);
  return reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The property's bytes when it exists with the given type (any type for
// XCB_GET_PROPERTY_TYPE_ANY); empty otherwise.
bool Property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type,
              std::string* value) {
  if (property == XCB_ATOM_NONE) return false;
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_get_property_reply_t> reply(
      gX.getPropertyReply(c, gX.getProperty(c, 0, w, property, type, 0, 1024), &error));
  std::free(error);
  if (reply == nullptr || reply->type == XCB_ATOM_NONE) return false;
  if (type != XCB_GET_PROPERTY_TYPE_ANY && reply->type != type) return false;
  const int length = gX.propertyValueLength(reply.get());
  if (length < 0) return false;
  value->assign(static_cast<const char*>(gX.propertyValue(reply.get())),
                static_cast<size_t>(length));
  return true;
}

std::string Title(xcb_connection_t* c, xcb_window_t w) {
  std::string title;
  if (Property(c, w, Atom(c, "_NET_WM_NAME"), Atom(c, "UTF8_STRING"), &title) && !title.empty())
    return title;
  title.clear();
  Property(c, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, &title);
  return title;
}

// WM_CLASS holds the instance name and the class name, each ending in a zero.
bool ClassMatches(xcb_connection_t* c, xcb_window_t w, const char* className) {
  if (className == nullptr) return true;
  std::string hint;
  if (!Property(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, &hint)) return false;
  const size_t end = hint.find('\0');
  const std::string instance = hint.substr(0, end);
  std::string klass;
  if (end != std::string::npos) klass = hint.substr(end + 1, hint.find('\0', end + 1) - end - 1);
  return instance == className || klass == className;
}

bool Matches(xcb_connection_t* c, xcb_window_t w, const char* className, const char* windowName) {
  if (!ClassMatches(c, w, className)) return false;
  return windowName == nullptr || Title(c, w) == windowName;
}

xcb_window_t WindowOf(int32_t handle) {
  return static_cast<xcb_window_t>(static_cast<uint32_t>(handle));
}

}  // namespace

void CursorPos(int32_t* x, int32_t* y) {
  *x = 0;
  *y = 0;
  std::lock_guard<std::mutex> lock(gMutex);
  xcb_connection_t* c = Connection();
  if (c == nullptr) return;
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_query_pointer_reply_t> pointer(
      gX.queryPointerReply(c, gX.queryPointer(c, gRoot), &error));
  std::free(error);
  if (pointer == nullptr) return;
  *x = pointer->root_x;
  *y = pointer->root_y;
}

bool SetWindowPos(int32_t window, int32_t insertAfter, int32_t x, int32_t y, int32_t width,
                  int32_t height, uint32_t flags) {
  std::lock_guard<std::mutex> lock(gMutex);
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return false;
  const xcb_window_t w = WindowOf(window);
  if (Attributes(c, w) == nullptr) return false;
  // Values go in the order of their mask bits.
  uint16_t mask = 0;
  uint32_t values[5];
  int n = 0;
  if (!(flags & kNoMove)) {
    mask |= XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
    values[n++] = static_cast<uint32_t>(x);
    values[n++] = static_cast<uint32_t>(y);
  }
  if (!(flags & kNoSize) && width > 0 && height > 0) {
    mask |= XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
    values[n++] = static_cast<uint32_t>(width);
    values[n++] = static_cast<uint32_t>(height);
  }
  if (!(flags & kNoZOrder) && (insertAfter == kTop || insertAfter == kBottom)) {
    mask |= XCB_CONFIG_WINDOW_STACK_MODE;
    values[n++] = insertAfter == kTop ? XCB_STACK_MODE_ABOVE : XCB_STACK_MODE_BELOW;
  }
  bool ok = mask == 0 || Accepted(c, gX.configureChecked(c, w, mask, values));
  if (flags & kShowWindow) ok = Accepted(c, gX.mapChecked(c, w)) && ok;
  if (flags & kHideWindow) ok = Accepted(c, gX.unmapChecked(c, w)) && ok;
  return ok;
}

bool ShowWindow(int32_t window, int32_t command) {
  std::lock_guard<std::mutex> lock(gMutex);
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return false;
  const xcb_window_t w = WindowOf(window);
  Reply<xcb_get_window_attributes_reply_t> attributes = Attributes(c, w);
  if (attributes == nullptr) return false;
  const bool wasVisible = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  // SW_HIDE hides; every other command shows.
  if (!Accepted(c, command == 0 ? gX.unmapChecked(c, w) : gX.mapChecked(c, w))) return false;
  return wasVisible;
}

int32_t FindTopWindow(const char* className, const char* windowName) {
  std::lock_guard<std::mutex> lock(gMutex);
  xcb_connection_t* c = Connection();
  if (c == nullptr) return 0;
  // Top-level windows, and the client windows inside window manager frames.
  for (xcb_window_t top : Children(c, gRoot)) {
    if (Matches(c, top, className, windowName)) return static_cast<int32_t>(top);
    for (xcb_window_t inner : Children(c, top))
      if (Matches(c, inner, className, windowName)) return static_cast<int32_t>(inner);
  }
  return 0;
}

int32_t FindChildWindow(int32_t parent, int32_t childAfter, const char* className,
                        const char* windowName) {
  std::lock_guard<std::mutex> lock(gMutex);
  xcb_connection_t* c = Connection();
  if (c == nullptr) return 0;
  const xcb_window_t p = parent == 0 ? gRoot : WindowOf(parent);
  bool searching = childAfter == 0;
  for (xcb_window_t child : Children(c, p)) {
    if (!searching) {
      searching = child == WindowOf(childAfter);
      continue;
    }
    if (Matches(c, child, className, windowName)) return static_cast<int32_t>(child);
  }
  return 0;
}

std::string BrowserWindowTitle() {
  return {};
}

void ReleaseDesktop() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gConnection != nullptr) gX.disconnect(gConnection);
  gConnection = nullptr;
  if (gLibrary != nullptr) dlclose(gLibrary);
  gLibrary = nullptr;
  gTried = false;
}

}  // namespace platform::desktop
