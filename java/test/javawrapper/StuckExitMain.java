package javawrapper;

/**
 * Run in a fresh JVM by FreshJvmTest: one thread is stuck inside the trading
 * library, a second waits in logoff for it, a third exits the JVM. The exit
 * must not wait for either.
 */
public final class StuckExitMain {
  private StuckExitMain() {}

  public static void main(String[] args) throws Exception {
    Simulator sim = Simulator.load("QUORAPI.DLL");
    Bridge bridge = new Bridge();
    System.out.println("initialise=" + bridge.initialise());
    sim.fault("qrPurge", 3); // the call does not return
    Thread stuck = new Thread(() -> bridge.purge("first", "second"), "stuck");
    stuck.setDaemon(true);
    stuck.start();
    Thread.sleep(200);
    Thread logoff = new Thread(bridge::logoff, "logoff");
    logoff.setDaemon(true);
    logoff.start();
    Thread.sleep(200);
    System.out.println("exiting at " + System.nanoTime());
    System.exit(0);
  }
}
