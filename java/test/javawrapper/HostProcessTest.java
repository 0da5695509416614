package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** The library host never outlives the JVM whose bridge started it. */
class HostProcessTest {
  /** Whether pid still runs: not gone, and not a zombie waiting to be reaped. */
  static boolean running(long pid) {
    try {
      String stat = java.nio.file.Files.readString(java.nio.file.Path.of("/proc/" + pid + "/stat"));
      return stat.charAt(stat.lastIndexOf(')') + 2) != 'Z';
    } catch (java.io.IOException gone) {
      return false;
    }
  }

  @Test
  void aKilledJvmTakesItsLibraryHostWithIt() throws Exception {
    List<String> command =
        FreshJvmTest.jvm(Bridge.BIN + "libJavaWrapper.so", "javawrapper.HostKillMain");
    ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
    builder.environment().put("JAVAWRAPPER_HOST", "always");
    Process jvm = builder.start();
    try {
      BufferedReader out = new BufferedReader(
          new InputStreamReader(jvm.getInputStream(), StandardCharsets.UTF_8));
      StringBuilder seen = new StringBuilder();
      long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
      String line;
      while ((line = out.readLine()) != null && System.nanoTime() < deadline) {
        seen.append(line).append('\n');
        if (line.startsWith("initialise=")) break;
      }
      FreshJvmTest.echo(seen.toString());
      assertEquals("initialise=0", line, seen.toString());
      Optional<ProcessHandle> host = jvm.children()
          .filter(c -> c.info().command().orElse("").endsWith("javawrapper-host")).findFirst();
      assertTrue(host.isPresent(), "no library host among the JVM's children: " + seen);

      jvm.destroyForcibly(); // SIGKILL: nothing of the JVM runs after it
      long killed = System.nanoTime();
      long pid = host.get().pid();
      long bound = killed + TimeUnit.SECONDS.toNanos(10);
      while (running(pid) && System.nanoTime() < bound) Thread.sleep(5);
      long millis = (System.nanoTime() - killed) / 1_000_000;
      System.out.println("library host gone " + millis + " ms after the JVM was killed");
      assertTrue(!running(pid), "the library host " + pid + " outlived its JVM by 10 s");
    } finally {
      jvm.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
    }
  }
}
