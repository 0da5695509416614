package javawrapper;

import java.lang.ref.WeakReference;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * Run in a fresh JVM by FreshJvmTest: the bridge is loaded by a class loader
 * of its own and a session is left open; once the loader is collected, the
 * trading library must be gone from the process. A second loader then loads
 * the bridge again and runs a whole session. Then the same while this class
 * loader also holds the trading library, whose threads go on calling back:
 * the bridge stays mapped under them, and a later loader still runs a session.
 */
public final class ReloadMain {
  private ReloadMain() {}

  /** Loaded by each round's own class loader: its ClientAPI loads the bridge. */
  public static final class Session {
    private Session() {}

    public static String run(boolean logoff) {
      Bridge bridge = new Bridge();
      String result = "initialise=" + bridge.initialise();
      if (logoff) {
        result += " logon=" + bridge.logon("user", "password", "", false, false);
        result += " logoff=" + bridge.logoff();
      }
      return result;
    }
  }

  public static void main(String[] args) throws Exception {
    List<URL> jars = new ArrayList<>();
    for (String entry : System.getProperty("java.class.path").split(":")) {
      jars.add(Path.of(entry).toUri().toURL());
    }
    URL[] urls = jars.toArray(new URL[0]);
    for (int round = 1; round <= 2; round++) {
      WeakReference<ClassLoader> loader = session(urls, round == 2, null);
      awaitUnloaded(loader, round, true);
      System.out.println("round " + round + " unloaded");
    }
    // This class loader holds the trading library too, and its threads keep
    // calling the bridge's callbacks after the bridge's loader is gone. In
    // host mode the library lives in the host, and this loader could reach
    // it only through a bridge of its own (not HostControl: its first use
    // loads the bridge here), so there is no such round.
    if (!"always".equals(System.getenv("JAVAWRAPPER_HOST"))) {
      Simulator held = Simulator.load("QUORAPI.DLL");
      awaitUnloaded(session(urls, false, held), 3, false);
      Thread.sleep(300);  // the stream goes on into the unloaded bridge
      System.out.println("round 3 unloaded; bridge mapped=" + mapped("libJavaWrapper"));
      held.reset();  // ends the stream's threads
    }
    awaitUnloaded(session(urls, true, null), 4, false);
    System.out.println("round 4 unloaded");
  }

  private static WeakReference<ClassLoader> session(URL[] jars, boolean logoff, Simulator fire)
      throws Exception {
    try (URLClassLoader loader = new URLClassLoader(jars, ClassLoader.getPlatformClassLoader())) {
      Class<?> session = loader.loadClass(Session.class.getName());
      System.out.println(session.getMethod("run", boolean.class).invoke(null, logoff));
      if (fire != null) {
        System.out.println("fireStream=" + fire.fireStream(5, 27, 2, Integer.MAX_VALUE));
      }
      return new WeakReference<>(loader);
    }
  }

  /** The loader collected (then the trading library unmapped), within a bound. */
  private static void awaitUnloaded(WeakReference<ClassLoader> loader, int round,
      boolean libraryToo) throws Exception {
    long deadline = System.nanoTime() + 30_000_000_000L;
    while (loader.get() != null || (libraryToo && tradingLibraryMapped())) {
      if (System.nanoTime() > deadline) {
        throw new AssertionError("round " + round + ": "
            + (loader.get() != null ? "the class loader was never collected"
                                    : "QUORAPI.DLL is still mapped after the loader went"));
      }
      System.gc();
      Thread.sleep(50);
    }
  }

  /** Under AddressSanitizer the simulator is linked to stay mapped: not seen there. */
  private static boolean tradingLibraryMapped() throws Exception {
    if ("always".equals(System.getenv("JAVAWRAPPER_HOST"))) {
      // The library is in the host; the bridge unmapped is the unload done,
      // so the next loader can load it again.
      return mapped("libJavaWrapper");
    }
    return !System.getenv().getOrDefault("LD_PRELOAD", "").contains("asan")
        && mapped("QUORAPI.DLL");
  }

  private static boolean mapped(String file) throws Exception {
    return Files.readString(Path.of("/proc/self/maps")).contains(file);
  }
}
