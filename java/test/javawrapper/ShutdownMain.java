package javawrapper;

/**
 * Run in a fresh JVM by FreshJvmTest: the JVM exits while events are still
 * queued and the pump is busy; it must end promptly and cleanly.
 */
public final class ShutdownMain {
  private ShutdownMain() {}

  public static void main(String[] args) throws Exception {
    Simulator sim = Simulator.load("QUORAPI.DLL");
    Bridge bridge = new Bridge() {
      @Override
      public void messageReceived(int id, int length) {
        try {
          Thread.sleep(60_000); // a handler that is still busy at exit
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
      }
    };
    System.out.println("initialise=" + bridge.initialise());
    for (int i = 0; i < 1000; i++) {
      sim.fire(5, new byte[27]);
    }
    bridge.startPump();
    Thread.sleep(200);
    System.out.println("exiting at " + System.nanoTime());
    System.exit(0);
  }
}
