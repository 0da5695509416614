package javawrapper;

/**
 * Run in a fresh JVM by FreshJvmTest: a pump started before any initialise
 * waits (without spinning) for the first queue and then delivers from it.
 */
public final class PumpBeforeInitialiseMain {
  private PumpBeforeInitialiseMain() {}

  public static void main(String[] args) throws Exception {
    Bridge bridge = new Bridge();
    bridge.startPump();
    Thread.sleep(100);
    long before = bridge.pumpCpuMillis();
    Thread.sleep(500);
    // A pump blocked in the bridge uses no processor time; a spinning one would
    // use nearly all of the half second.
    System.out.println("pumpSpins=" + (bridge.pumpCpuMillis() - before > 100));
    System.out.println("initialise=" + bridge.initialise());
    Simulator sim = Simulator.load("QUORAPI.DLL");
    sim.fire(18, new byte[0]);
    System.out.println("events=" + bridge.awaitEvents(1, 10_000).size());
    System.out.println("logoff=" + bridge.logoff());
    System.out.println("pumpReturned=" + bridge.pumpReturned(10_000));
  }
}
