package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/** A traced session in a real JVM, its file read back as a viewer would. */
class TraceTest {
  @Test
  void aTracedSessionOpensAsValidJsonWithCallsEventsAndNoSecret() throws Exception {
    Path dir = Files.createTempDirectory("javawrapper-trace");
    try {
      tracedSession(dir.resolve("session.json"));
    } finally {
      FreshJvmTest.deleteTree(dir);
    }
  }

  private static void tracedSession(Path trace) throws Exception {
    String secret = "second-SECRET-" + System.nanoTime();
    List<String> command = new ArrayList<>(List.of(System.getProperty("javawrapper.java"),
        "-Xcheck:jni"));
    command.addAll(FreshJvmTest.jvmFlags());
    command.addAll(List.of("-Djavawrapper.library=" + System.getProperty("javawrapper.library"),
        "-Djavawrapper.bin=" + Bridge.BIN, "-cp", System.getProperty("javawrapper.classpath"),
        "javawrapper.TraceMain", secret));
    ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
    builder.environment().put("JAVAWRAPPER_TRACE", trace.toString());
    Process p = builder.start();
    String out = FreshJvmTest.echo(
        new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
    assertEquals(0, p.waitFor(), out);
    for (String line : List.of("initialise=0", "logon=0", "getExchange=0", "purge=7", "logoff=0",
        "pumpReturned=true")) {
      assertTrue(out.contains(line + "\n"), line + " in\n" + out);
    }
    Process check = new ProcessBuilder("python3", System.getProperty("javawrapper.source")
        + "/tests/trace/check_trace.py", trace.toString(), secret, "initialise", "logon",
        "getExchange", "purge", "logoff").redirectErrorStream(true).start();
    String checked = new String(check.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(0, check.waitFor(), checked);
  }
}
