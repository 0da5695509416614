// The window utilities of korvane.util.BasicWinAPIImpl and
// korvane.util.w32.WinAPIImpl. They need no trading library and apply no
// loaded guard; any failure is logged under the native's name and gives 99.
#include <jni.h>

#include <string>

#include "binding/errors.h"
#include "natives/frame.h"
#include "platform/desktop.h"

namespace desktop = platform::desktop;
using natives::JNIString;

namespace {

constexpr jint kFailed = 99;

// An empty name is a null pointer to the system: "any window".
const char* NameOrNull(const std::string& name) {
  return name.empty() ? nullptr : name.c_str();
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_korvane_util_BasicWinAPIImpl_getCursorPos(JNIEnv* env,
                                                                                 jobject,
                                                                                 jintArray point) {
  return binding::Capture(__func__, [&] {
    natives::RequireOut(env, point, "point", 2);
    int32_t xy[2] = {0, 0};
    desktop::CursorPos(&xy[0], &xy[1]);
    natives::CopyOut(env, point, "point", xy, 2);
    return 0;
  });
}

// A zero result of the system call is 99 without a log line.
extern "C" JNIEXPORT jint JNICALL
Java_korvane_util_w32_WinAPIImpl_setWindowPos(JNIEnv*, jobject, jint window, jint insertAfter,
                                              jint x, jint y, jint width, jint height, jint flags) {
  return binding::Capture(__func__, [&] {
    return desktop::SetWindowPos(window, insertAfter, x, y, width, height,
                                 static_cast<uint32_t>(flags))
               ? 0
               : kFailed;
  });
}

// 0 when the window was visible before, 99 when it was hidden.
extern "C" JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_showWindow(JNIEnv*, jobject,
                                                                              jint window,
                                                                              jint command) {
  return binding::Capture(__func__,
                          [&] { return desktop::ShowWindow(window, command) ? 0 : kFailed; });
}

// The browser title rule: a web browser frame's title is the page's name,
// " - ", and the browser's own title from the user's settings.
extern "C" JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_findWindow(JNIEnv* env, jobject,
                                                                              jstring jClass,
                                                                              jstring jName) {
  return binding::Capture(__func__, [&] {
    const std::string className = JNIString(env, jClass);
    std::string windowName = JNIString(env, jName);
    if (className == "IEFrame" && !windowName.empty()) {
      const std::string browserTitle = desktop::BrowserWindowTitle();
      if (!browserTitle.empty()) windowName += " - " + browserTitle;
    }
    return desktop::FindTopWindow(NameOrNull(className), NameOrNull(windowName));
  });
}

extern "C" JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_findWindowEx(
    JNIEnv* env, jobject, jint parent, jint childAfter, jstring jClass, jstring jName) {
  return binding::Capture(__func__, [&] {
    const std::string className = JNIString(env, jClass);
    const std::string windowName = JNIString(env, jName);
    return desktop::FindChildWindow(parent, childAfter, NameOrNull(className),
                                    NameOrNull(windowName));
  });
}
