package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;

/** What can only be seen in a JVM that has not run a session yet. */
class FreshJvmTest {
  /**
   * A child JVM's output, copied into this JVM's own: the suite's JNI gate
   * reads that, so every JVM the tests start passes the same gate.
   */
  static String echo(String out) {
    System.out.println(out);
    return out;
  }

  /** Removes a directory a test made, with everything in it. */
  static void deleteTree(java.nio.file.Path dir) throws java.io.IOException {
    try (var files = java.nio.file.Files.walk(dir)) {
      for (java.nio.file.Path f : (Iterable<java.nio.file.Path>)
          files.sorted(java.util.Comparator.reverseOrder())::iterator) {
        java.nio.file.Files.delete(f);
      }
    }
  }

  /** The options every JVM of the run gets (native access, on JDKs that know it). */
  static List<String> jvmFlags() {
    String flags = System.getProperty("javawrapper.jvmflags", "").trim();
    return flags.isEmpty() ? List.of() : Arrays.asList(flags.split(" "));
  }

  /** A child process that exited with 0: its output, and when the exit was seen. */
  record Child(String out, long endedNanos) {}

  /**
   * Runs a child process for at most a minute. Its output goes to a file, so
   * a child that hangs cannot hold a read of its output either; one that
   * outlives the bound is killed, with its descendants, and fails naming it,
   * as does one that exits with another code than 0.
   */
  static Child runChild(List<String> command, java.io.File dir) throws Exception {
    java.io.File file = java.io.File.createTempFile("javawrapper-child", ".out");
    try {
      Process p = new ProcessBuilder(command).directory(dir).redirectErrorStream(true)
          .redirectOutput(file).start();
      boolean exited = p.waitFor(60, java.util.concurrent.TimeUnit.SECONDS);
      long ended = System.nanoTime();
      if (!exited) {
        p.descendants().forEach(ProcessHandle::destroyForcibly);
        p.destroyForcibly().waitFor(10, java.util.concurrent.TimeUnit.SECONDS);
      }
      String out = echo(new String(java.nio.file.Files.readAllBytes(file.toPath()),
          StandardCharsets.UTF_8));
      if (!exited) {
        throw new AssertionError(command.get(command.size() - 1)
            + " did not exit within a minute; its output:\n" + out);
      }
      assertEquals(0, p.exitValue(), out);
      return new Child(out, ended);
    } finally {
      file.delete();
    }
  }

  /** The command line of a new JVM under -Xcheck:jni that runs mainClass. */
  static List<String> jvm(String libraryFile, String mainClass, String... args) {
    List<String> command = new ArrayList<>(Arrays.asList(System.getProperty("javawrapper.java"),
        "-Xcheck:jni"));
    command.addAll(jvmFlags());
    command.addAll(Arrays.asList("-Djavawrapper.library=" + libraryFile,
        "-Djavawrapper.bin=" + Bridge.BIN, "-cp", System.getProperty("javawrapper.classpath"),
        mainClass));
    command.addAll(Arrays.asList(args));
    return command;
  }

  /** Runs mainClass in a new JVM; returns its output. */
  static String run(String libraryFile, String mainClass, String... args) throws Exception {
    return runChild(jvm(libraryFile, mainClass, args), null).out();
  }

  /** Runs mainClass in a new JVM in an empty directory; returns milliseconds to exit. */
  private static long exitMillis(String mainClass) throws Exception {
    java.nio.file.Path dir = java.nio.file.Files.createTempDirectory("javawrapper-exit");
    try {
      return exitMillis(mainClass, dir);
    } finally {
      deleteTree(dir);
    }
  }

  private static long exitMillis(String mainClass, java.nio.file.Path dir) throws Exception {
    Child child = runChild(jvm(Bridge.BIN + "libJavaWrapper.so", mainClass), dir.toFile());
    long ended = child.endedNanos();
    String out = child.out();
    assertTrue(out.contains("initialise=0"), out);
    java.util.regex.Matcher m = java.util.regex.Pattern.compile("exiting at (\\d+)").matcher(out);
    assertTrue(m.find(), out);
    try (var files = java.nio.file.Files.list(dir)) {
      assertFalse(files.anyMatch(f -> f.getFileName().toString().startsWith("hs_err")),
          "a crash file was written");
    }
    return (ended - Long.parseLong(m.group(1))) / 1_000_000;
  }

  @Test
  void aJvmExitingWithEventsQueuedEndsPromptlyAndCleanly() throws Exception {
    long millis = exitMillis("javawrapper.ShutdownMain");
    // Short of the bridge's shortest exit bound (5 s for the library's
    // unload): a busy machine may slow a healthy exit, never by that much.
    assertTrue(millis < 4000, "the JVM took " + millis + " ms to exit");
  }

  @Test
  void anExitWhileALogoffWaitsForAStuckLibraryCallEndsWithinTheBound() throws Exception {
    long millis = exitMillis("javawrapper.StuckExitMain");
    // The exit touches nothing the stuck threads hold: it never waits for them.
    assertTrue(millis < 4000, "the JVM took " + millis + " ms to exit");
  }

  @Test
  void aJvmExitingWhileLibraryThreadsCallBackExitsCleanly() throws Exception {
    exitMillis("javawrapper.CallbackExitMain");
  }

  /** The JVM's unload hook takes the trading library with the class loader, or, while
   * another module holds it and calls back, keeps the bridge mapped under it. */
  @Test
  // The tests reach the library host's simulator through the bridge, which
  // then belongs to the application's class loader, not the collected one:
  // the host-mode run leaves it out by this tag.
  @org.junit.jupiter.api.Tag("in-process-only")
  void aCollectedClassLoaderTakesTheTradingLibraryOrKeepsTheBridgeWhileItIsHeldElsewhere() throws Exception {
    String out = run(Bridge.BIN + "libJavaWrapper.so", "javawrapper.ReloadMain");
    assertTrue(out.contains("initialise=0\nround 1 unloaded\n"), out);
    assertTrue(out.contains("initialise=0 logon=0 logoff=0\nround 2 unloaded\n"), out);
    assertTrue(out.contains("initialise=0\nfireStream=0\nround 3 unloaded; bridge mapped=true\n"),
        out);
    assertTrue(out.contains("initialise=0 logon=0 logoff=0\nround 4 unloaded\n"), out);
  }

  @Test
  void aPumpStartedBeforeInitialiseWaitsForTheFirstQueue() throws Exception {
    String out = run(Bridge.BIN + "libJavaWrapper.so", "javawrapper.PumpBeforeInitialiseMain");
    assertTrue(out.contains("pumpSpins=false\n"), out);
    assertTrue(out.contains("initialise=0\n"), out);
    assertTrue(out.contains("events=1\n"), out);
    assertTrue(out.contains("logoff=0\n"), out);
    assertTrue(out.contains("pumpReturned=true\n"), out);
    // The class the bridge ships with matches it: JNI_OnLoad reports nothing.
    assertFalse(out.contains("does not match the bridge"), out);
  }
}
