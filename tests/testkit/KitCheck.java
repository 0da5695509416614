import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import korvane.api.delphi.ClientAPI;
import testkit.SimulatorControl;

/**
 * The test kit's control binding (FFM or JNA, whichever was compiled with
 * this) driving the simulator under a real bridge: a forced result, the
 * journal, an event fired from the simulator's own thread, and the log moved
 * to a file. args[0]: the directory of the bridge and the simulator, with its
 * separator. Prints "KitCheck: PASS" or throws.
 */
public final class KitCheck {
  private static final BlockingQueue<int[]> EVENTS = new LinkedBlockingQueue<>();

  private static void check(boolean ok, String what) {
    if (!ok) {
      throw new AssertionError(what);
    }
  }

  public static void main(String[] args) throws Exception {
    String dir = args[0];
    ClientAPI api = new ClientAPI() {
      @Override
      public void messageReceived(int id, int length) {
        EVENTS.add(new int[] {id, length});
      }
    };
    check(api.initialise(dir, "", false, false, true, "", (byte) 0, "KitCheck", "") == 0,
        "initialise");
    Thread pump = new Thread(() -> api.processCallbacks(new byte[514]), "pump");
    pump.start();
    try (SimulatorControl sim = SimulatorControl.open(dir + "QUORAPI.DLL")) {
      sim.journalClear();
      sim.forceResult("qrPurge", 7);
      check(api.purge("first-34", "second") == 7, "the forced result did not come back");
      sim.clearResult("qrPurge");
      int call = sim.journalFind("qrPurge", 0);
      check(call >= 0 && "qrPurge".equals(sim.journalName(call)), "purge is not in the journal");
      check("first-34".equals(new String(sim.journalArg(call, 0), StandardCharsets.ISO_8859_1)),
          "purge's first argument");
      check(sim.isRegistered(8), "no price callback registered");
      check(sim.fire(8, new byte[73]) == 0, "simFire");
      int[] event = EVENTS.poll(10, TimeUnit.SECONDS);
      check(event != null && event[0] == 8 && event[1] == 73, "the fired price event");
      Path log = Files.createTempFile("kitcheck", ".log");
      try {
        sim.logTo(log.toString());
        check(api.LogString("kit line 34") == 0, "LogString");
        sim.logTo(null);
        check(Files.readString(log, StandardCharsets.ISO_8859_1).equals("kit line 34\n"),
            "the simulator's log file");
      } finally {
        Files.delete(log);
      }
    }
    check(api.logoff() == 0, "logoff");
    pump.join(10_000);
    check(!pump.isAlive(), "the pump did not return");
    System.out.println("KitCheck: PASS");
  }
}
