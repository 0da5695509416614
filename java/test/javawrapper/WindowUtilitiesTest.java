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
    org.junit.jupiter.api.Assumptions.assumeTrue(
        System.getenv("DISPLAY") == null, "a display is present");
    WinAPIImpl windows = new WinAPIImpl();
    assertEquals(0, windows.findWindow("IEFrame", "Quotes"));
    assertEquals(0, windows.findWindowEx(0, 0, null, null));
    assertEquals(99, windows.showWindow(42, 5));
    assertEquals(99, windows.setWindowPos(42, 0, 1, 2, 3, 4, 0));
    int[] point = {-1, -1};
    assertEquals(0, new BasicWinAPIImpl().getCursorPos(point));
    assertArrayEquals(new int[] {0, 0}, point);
  }

  // AWT installs its own X error handler after the bridge's first call; the
  // bridge still learns of the errors of its own requests, and nothing of
  // AWT runs inside a native.
  @Test
  void afterAwtStartsAMissingWindowIsStill99AndARealOneMoves() throws Exception {
    java.io.File xvfbRun = new java.io.File("/usr/bin/xvfb-run");
    org.junit.jupiter.api.Assumptions.assumeTrue(xvfbRun.canExecute(), "no xvfb-run");
    java.util.List<String> command = new java.util.ArrayList<>(java.util.List.of(
        xvfbRun.getPath(), "-a", System.getProperty("javawrapper.java"), "-Xcheck:jni"));
    command.addAll(FreshJvmTest.jvmFlags());
    command.addAll(java.util.List.of("-Djava.awt.headless=false",
        "-Djavawrapper.library=" + System.getProperty("javawrapper.library"),
        "-Djavawrapper.bin=" + Bridge.BIN, "-cp", System.getProperty("javawrapper.classpath"),
        "javawrapper.AwtWindowsMain"));
    Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
    String out = FreshJvmTest.echo(
        new String(p.getInputStream().readAllBytes(), java.nio.charset.StandardCharsets.UTF_8));
    assertEquals(0, p.waitFor(), out);
    org.junit.jupiter.api.Assertions.assertTrue(out.contains("before=0\n"), out);
    org.junit.jupiter.api.Assertions.assertTrue(out.contains("found=true\n"), out);
    org.junit.jupiter.api.Assertions.assertTrue(out.contains("missingPos=99\n"), out);
    org.junit.jupiter.api.Assertions.assertTrue(out.contains("missingShow=99\n"), out);
    org.junit.jupiter.api.Assertions.assertTrue(out.contains("move=0\n"), out);
    org.junit.jupiter.api.Assertions.assertTrue(out.contains("at=120,130\n"), out);
  }
}
