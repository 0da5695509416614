// The window utilities against real windows the test makes itself: Win32
// windows under Wine, X11 windows under Xvfb. Without a display they are
// tested in the JVM (WindowUtilitiesTest).
#include <gtest/gtest.h>
#include <jni.h>

#include <string>

#include "desktop_helpers.h"
#include "fake_jni.h"

extern "C" {
JNIEXPORT jint JNICALL Java_korvane_util_BasicWinAPIImpl_getCursorPos(JNIEnv*, jobject, jintArray);
JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_setWindowPos(JNIEnv*, jobject, jint, jint,
                                                                     jint, jint, jint, jint, jint);
JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_showWindow(JNIEnv*, jobject, jint, jint);
JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_findWindow(JNIEnv*, jobject, jstring,
                                                                   jstring);
JNIEXPORT jint JNICALL Java_korvane_util_w32_WinAPIImpl_findWindowEx(JNIEnv*, jobject, jint, jint,
                                                                     jstring, jstring);
}

using namespace testing_support;

namespace {

constexpr jint kHide = 0, kShow = 5;
constexpr jint kNoSize = 0x1, kNoMove = 0x2, kNoZOrder = 0x4, kNoActivate = 0x10;
constexpr jint kTop = 0, kBottom = 1;  // the insert-after handles

class WindowTest : public ::testing::Test {
 protected:
  jint Find(const std::string& cls, const std::string& name) {
    return Java_korvane_util_w32_WinAPIImpl_findWindow(jni_.env(), self_, jni_.NewString(cls),
                                                       jni_.NewString(name));
  }
  jint FindEx(jint parent, jint after, const std::string& cls, const std::string& name) {
    return Java_korvane_util_w32_WinAPIImpl_findWindowEx(jni_.env(), self_, parent, after,
                                                         jni_.NewString(cls), jni_.NewString(name));
  }
  jint Show(jint window, jint command) {
    return Java_korvane_util_w32_WinAPIImpl_showWindow(jni_.env(), self_, window, command);
  }
  jint Move(jint window, jint x, jint y, jint w, jint h, jint flags, jint insertAfter = kTop) {
    return Java_korvane_util_w32_WinAPIImpl_setWindowPos(jni_.env(), self_, window, insertAfter, x,
                                                         y, w, h, flags);
  }
  fake::FakeJni jni_;
  jobject self_ = jni_.NewObject();
};

TEST_F(WindowTest, FindsTopLevelAndChildWindowsByClassAndTitle) {
  const jint top = CreateTestWindow("JwTestFrame", "Quote board");
  const jint child = CreateTestWindow("JwTestPanel", "Depth", top);
  const jint second = CreateTestWindow("JwTestPanel", "Trades", top);
  EXPECT_EQ(Find("JwTestFrame", "Quote board"), top);
  EXPECT_EQ(Find("JwTestFrame", ""), top);
  EXPECT_EQ(Find("", "Quote board"), top);
  EXPECT_EQ(Find("JwTestFrame", "No such title"), 0);
  EXPECT_EQ(FindEx(top, 0, "JwTestPanel", "Depth"), child);
  EXPECT_EQ(FindEx(top, 0, "JwTestPanel", "Trades"), second);
  const jint first = FindEx(top, 0, "JwTestPanel", "");
  const jint next = FindEx(top, first, "JwTestPanel", "");
  EXPECT_NE(first, 0);
  EXPECT_NE(next, 0);
  EXPECT_NE(first, next);
  EXPECT_EQ(FindEx(top, next, "JwTestPanel", ""), 0);
  EXPECT_TRUE(jni_.violations().empty());
  DestroyTestWindow(top);
}

TEST_F(WindowTest, ShowWindowAnswersWhetherTheWindowWasVisible) {
  const jint w = CreateTestWindow("JwTestShow", "Shown");
  ASSERT_TRUE(IsWindowVisible(w));
  EXPECT_EQ(Show(w, kHide), 0);  // visible before
  EXPECT_FALSE(IsWindowVisible(w));
  EXPECT_EQ(Show(w, kHide), 99);  // hidden before
  EXPECT_EQ(Show(w, kShow), 99);
  EXPECT_TRUE(IsWindowVisible(w));
  EXPECT_EQ(Show(w, kShow), 0);
  DestroyTestWindow(w);
}

// Moving, sizing and restacking in one call: the values go in the order the
// system reads them, and the top and bottom handles keep their meaning.
TEST_F(WindowTest, SetWindowPosMovesResizesAndRestacks) {
  const jint w = CreateTestWindow("JwTestMove", "Moved");
  const jint other = CreateTestWindow("JwTestMove", "Other");  // made last: on top
  ASSERT_TRUE(IsAbove(other, w));
  EXPECT_EQ(Move(w, 100, 120, 200, 150, 0, kTop), 0);
  EXPECT_TRUE(IsAbove(w, other)) << "the top handle did not raise the window";
  Rect r = WindowRect(w);
  EXPECT_EQ(r.x, 100);
  EXPECT_EQ(r.y, 120);
  EXPECT_EQ(r.width, 200);
  EXPECT_EQ(r.height, 150);
  // Win32 raises a window it activates: the calls that must not raise it leave it inactive.
  EXPECT_EQ(Move(w, 5, 6, 300, 310, kNoSize | kNoActivate, kBottom), 0);
  EXPECT_TRUE(IsAbove(other, w)) << "the bottom handle did not lower the window";
  r = WindowRect(w);
  EXPECT_EQ(r.x, 5);
  EXPECT_EQ(r.y, 6);
  EXPECT_EQ(r.width, 200);
  EXPECT_EQ(Move(w, 50, 60, 250, 180, kNoMove | kNoZOrder | kNoActivate, kTop), 0);
  EXPECT_TRUE(IsAbove(other, w)) << "no z-order change was asked for";
  r = WindowRect(w);
  EXPECT_EQ(r.x, 5);
  EXPECT_EQ(r.width, 250);
  EXPECT_EQ(r.height, 180);
  EXPECT_EQ(Move(NotAWindow(), 1, 1, 1, 1, 0), 99);
  DestroyTestWindow(other);
  DestroyTestWindow(w);
}

TEST_F(WindowTest, CursorPosition) {
  MoveCursor(33, 44);
  jintArray point = jni_.NewIntArray(2, -1);
  EXPECT_EQ(Java_korvane_util_BasicWinAPIImpl_getCursorPos(jni_.env(), self_, point), 0);
  EXPECT_EQ(jni_.Ints(point)[0], 33);
  EXPECT_EQ(jni_.Ints(point)[1], 44);
}

TEST_F(WindowTest, BrowserTitleRule) {
  const jint full = CreateTestWindow("IEFrame", "Quotes - Browser");
  const jint plain = CreateTestWindow("IEFrame", "Quotes");
  if (HasRegistry()) {
    SetBrowserTitle(TitleValue::kString, "Browser");
    EXPECT_EQ(Find("IEFrame", "Quotes"), full);
    EXPECT_NE(Find("ieframe", "Quotes"), full);           // the rule is case-sensitive
    EXPECT_EQ(FindEx(0, 0, "IEFrame", "Quotes"), plain);  // and findWindow's alone
    EXPECT_NE(Find("IEFrame", ""), 0);                    // no name: no registry read
    SetBrowserTitle(TitleValue::kEmpty);
    EXPECT_EQ(Find("IEFrame", "Quotes"), plain);
    SetBrowserTitle(TitleValue::kMissing);
    EXPECT_EQ(Find("IEFrame", "Quotes"), plain);
    SetBrowserTitle(TitleValue::kNumber);
    EXPECT_EQ(Find("IEFrame", "Quotes"), 99);
    SetBrowserTitle(TitleValue::kMissing);
  } else {
    EXPECT_EQ(Find("IEFrame", "Quotes"), plain);  // no registry: the name stays as given
  }
  DestroyTestWindow(full);
  DestroyTestWindow(plain);
}

}  // namespace
