package javawrapper;

/**
 * Run in a fresh JVM by FreshJvmTest: the JVM exits while four threads of the
 * trading library call back as fast as they can and the pump delivers.
 */
public final class CallbackExitMain {
  private CallbackExitMain() {}

  public static void main(String[] args) throws Exception {
    Simulator sim = Simulator.load("QUORAPI.DLL");
    Bridge bridge = new Bridge();
    System.out.println("initialise=" + bridge.initialise());
    bridge.startPump();
    System.out.println("fireStream=" + sim.fireStream(5, 27, 4, Integer.MAX_VALUE));
    Thread.sleep(300);
    System.out.println("exiting at " + System.nanoTime());
    System.exit(0);
  }
}
