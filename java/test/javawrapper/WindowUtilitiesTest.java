package javawrapper;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import korvane.util.BasicWinAPIImpl;
import korvane.util.w32.WinAPIImpl;
import org.junit.jupiter.api.Test;

/**
 * The window utilities bind and answer in the JVM. Real windows are tested in
 * C++ (tests/window_test.cpp) under Xvfb and under Wine; here the suite runs
 * without a display, where every call answers as for "no window".
 */
class WindowUtilitiesTest {
  static {
    // The classes have no loader of their own: ClientAPI's loads the library.
    new Bridge();
  }

  @Test
  void withoutADisplayEveryCallAnswersAsForNoWindow() {
    org.junit.jupiter.api.Assumptions.assumeTrue(System.getenv("DISPLAY") == null,
        "a display is present");
    WinAPIImpl windows = new WinAPIImpl();
    assertEquals(0, windows.findWindow("IEFrame", "Quotes"));
    assertEquals(0, windows.findWindowEx(0, 0, null, null));
    assertEquals(99, windows.showWindow(42, 5));
    assertEquals(99, windows.setWindowPos(42, 0, 1, 2, 3, 4, 0));
    int[] point = {-1, -1};
    assertEquals(0, new BasicWinAPIImpl().getCursorPos(point));
    assertArrayEquals(new int[] {0, 0}, point);
  }
}
