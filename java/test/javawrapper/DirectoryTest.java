package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import org.junit.jupiter.api.Test;

/** Where initialise looks for the trading library. */
class DirectoryTest {
  @Test
  void theDirectoryIsUsedExactlyAsGiven() {
    Bridge bridge = new Bridge();
    String noSeparator = Bridge.BIN.substring(0, Bridge.BIN.length() - 1);
    assertEquals(55, bridge.initialise(noSeparator, "", false, false, true, "", (byte) 0, "", ""));
    assertEquals(52, bridge.closeConnections());
  }

  /**
   * A blank directory means the bridge's own: load a copy of the bridge from a
   * directory of its own, next to a copy of the simulator, in a fresh JVM.
   */
  @Test
  void aBlankDirectoryIsTheBridgesOwn() throws Exception {
    Path dir = Files.createTempDirectory("javawrapper");
    try {
      Files.copy(Paths.get(Bridge.BIN, "libJavaWrapper.so"), dir.resolve("libJavaWrapper.so"));
      Files.copy(Paths.get(Bridge.BIN, "QUORAPI.DLL"), dir.resolve("QUORAPI.DLL"));
      // The library host sits beside the bridge, as it ships.
      Path host = Paths.get(Bridge.BIN, "javawrapper-host");
      if (Files.exists(host)) Files.copy(host, dir.resolve("javawrapper-host"),
          java.nio.file.StandardCopyOption.COPY_ATTRIBUTES);
      String out = FreshJvmTest.run(
          dir.resolve("libJavaWrapper.so").toString(), "javawrapper.BlankDirectoryMain", dir + "/");
      assertTrue(out.contains("initialise=0\n"), out);
      assertTrue(out.contains("clientPath=" + dir + "/\n"), out);
      assertTrue(out.contains("logoff=0\n"), out);
    } finally {
      FreshJvmTest.deleteTree(dir);
    }
  }
}
