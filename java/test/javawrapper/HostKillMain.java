package javawrapper;

/**
 * Run in a fresh JVM by HostProcessTest with JAVAWRAPPER_HOST=always: a
 * session whose trading library lives in the library host, then nothing
 * until the JVM is killed.
 */
public final class HostKillMain {
  private HostKillMain() {}

  public static void main(String[] args) throws Exception {
    Bridge bridge = new Bridge();
    System.out.println("initialise=" + bridge.initialise());
    System.out.flush();
    Thread.sleep(120_000);
  }
}
