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

  /** The options every JVM of the run gets (native access, on JDKs that know it). */
  static List<String> jvmFlags() {
    String flags = System.getProperty("javawrapper.jvmflags", "").trim();
    return flags.isEmpty() ? List.of() : Arrays.asList(flags.split(" "));
  }

  /** Runs mainClass in a new JVM under -Xcheck:jni; returns its output. */
  static String run(String libraryFile, String mainClass, String... args) throws Exception {
    List<String> command =
        new ArrayList<>(Arrays.asList(System.getProperty("javawrapper.java"), "-Xcheck:jni"));
    command.addAll(jvmFlags());
    command.addAll(
        Arrays.asList("-Djavawrapper.library=" + libraryFile, "-Djavawrapper.bin=" + Bridge.BIN,
            "-cp", System.getProperty("javawrapper.classpath"), mainClass));
    command.addAll(Arrays.asList(args));
    Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
    String out = echo(new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
    assertEquals(0, p.waitFor(), out);
    return out;
  }

  /** Runs mainClass in a new JVM in an empty directory; returns milliseconds to exit. */
  private static long exitMillis(String mainClass) throws Exception {
    java.nio.file.Path dir = java.nio.file.Files.createTempDirectory("javawrapper-exit");
    List<String> command =
        new ArrayList<>(Arrays.asList(System.getProperty("javawrapper.java"), "-Xcheck:jni"));
    command.addAll(jvmFlags());
    command.addAll(Arrays.asList("-Djavawrapper.library=" + Bridge.BIN + "libJavaWrapper.so",
        "-Djavawrapper.bin=" + Bridge.BIN, "-cp", System.getProperty("javawrapper.classpath"),
        mainClass));
    Process p =
        new ProcessBuilder(command).directory(dir.toFile()).redirectErrorStream(true).start();
    if (!p.waitFor(60, java.util.concurrent.TimeUnit.SECONDS)) {
      p.destroyForcibly();
      throw new AssertionError(mainClass + " did not exit within a minute");
    }
    long ended = System.nanoTime();
    String out = echo(new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
    assertEquals(0, p.exitValue(), out);
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
    assertTrue(millis < 2000, "the JVM took " + millis + " ms to exit");
  }

  @Test
  void anExitWhileALogoffWaitsForAStuckLibraryCallEndsWithinTheBound() throws Exception {
    long millis = exitMillis("javawrapper.StuckExitMain");
    assertTrue(millis < 5000 + 3000, "the JVM took " + millis + " ms to exit");
  }

  @Test
  void aPumpStartedBeforeInitialiseWaitsForTheFirstQueue() throws Exception {
    String out = run(Bridge.BIN + "libJavaWrapper.so", "javawrapper.PumpBeforeInitialiseMain");
    assertTrue(out.contains("pumpSpins=false\n"), out);
    assertTrue(out.contains("initialise=0\n"), out);
    assertTrue(out.contains("events=1\n"), out);
    assertTrue(out.contains("logoff=0\n"), out);
    assertTrue(out.contains("pumpReturned=true\n"), out);
  }
}
