package javawrapper;

/**
 * Run by TraceTest in a fresh JVM with JAVAWRAPPER_TRACE set: a session with
 * calls, a failing native, a secret and events from several library threads.
 */
public final class TraceMain {
  private TraceMain() {}

  public static void main(String[] args) throws Exception {
    Simulator sim = Simulator.load("QUORAPI.DLL");
    Bridge bridge = new Bridge();
    System.out.println("initialise=" + bridge.initialise());
    bridge.startPump();
    System.out.println("logon=" + bridge.logon("trader-1", args[0], "third-3", true, false));
    System.out.println("getExchange=" + bridge.getExchange(1, new byte[33]));
    sim.forceResult("qrPurge", 7);
    System.out.println("purge=" + bridge.purge("p-one", "p-two"));
    sim.fireStream(5, 27, 3, 500);
    sim.waitIdle();
    bridge.awaitEvents(1500, 10_000);
    System.out.println("logoff=" + bridge.logoff());
    System.out.println("pumpReturned=" + bridge.pumpReturned(10_000));
  }
}
