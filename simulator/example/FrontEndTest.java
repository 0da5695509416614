import java.nio.charset.StandardCharsets;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import korvane.api.delphi.ClientAPI;

/**
 * A small front-end test against the simulator, the way a team would write
 * its own: one pump thread, every native's result code checked, every wait
 * bounded. Its one argument is the simulator's directory, with its trailing
 * separator. Prints "FrontEndTest: PASS" and exits 0, or names what failed
 * and exits 1.
 */
public final class FrontEndTest {
  private static final BlockingQueue<Integer> EVENTS = new LinkedBlockingQueue<>();

  /** The front-end's ClientAPI: notes each event's id. */
  private static final class FrontEnd extends ClientAPI {
    final byte[] buffer = new byte[514];  // the longest record

    @Override
    public void messageReceived(int id, int length) {
      EVENTS.add(id);
    }
  }

  private static void check(String what, int code, ClientAPI api) {
    if (code != 0) {
      throw new AssertionError(what + " returned " + code + ": " + api.getErrorMessage(code));
    }
  }

  /** Waits up to ten seconds for an event of this id. */
  private static void await(int id, String what) throws InterruptedException {
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
    for (long left; (left = deadline - System.nanoTime()) > 0; ) {
      Integer seen = EVENTS.poll(left, TimeUnit.NANOSECONDS);
      if (seen != null && seen == id) {
        return;
      }
    }
    throw new AssertionError("no " + what + " event (id " + id + ") within 10 seconds");
  }

  public static void main(String[] args) throws Exception {
    FrontEnd api = new FrontEnd();
    check("initialise", api.initialise(args[0], "", false, false, true, "seed=7", (byte) 0,
        "FrontEndTest", ""), api);
    Thread pump = new Thread(() -> api.processCallbacks(api.buffer), "event-pump");
    pump.start();
    try {
      check("openConnections", api.openConnections(new String[] {"sim-host:9001"},
          new String[] {"sim-prices:9002"}), api);
      check("logon", api.logon("DEMO1", "secret", "", true, true), api);
      await(3, "logon status");
      int[] count = new int[1];
      check("countExchanges", api.countExchanges(count), api);
      if (count[0] < 1) {
        throw new AssertionError("the simulator lists no exchange");
      }
      byte[] exchange = new byte[33];
      check("getExchange", api.getExchange(0, exchange), api);
      String name = new String(exchange, 0, 11, StandardCharsets.ISO_8859_1).trim();
      if (name.isEmpty()) {
        throw new AssertionError("exchange 0 has no name");
      }
      check("subscribe", api.subscribe("NORDX", "CRUDE", "DEC26"), api);
      await(8, "price");
    } catch (AssertionError e) {
      System.out.println("FrontEndTest: FAIL: " + e.getMessage());
      api.logoff();
      System.exit(1);
    }
    check("logoff", api.logoff(), api);
    pump.join(10_000);
    if (pump.isAlive()) {
      System.out.println("FrontEndTest: FAIL: the pump did not return after logoff");
      System.exit(1);
    }
    System.out.println("FrontEndTest: PASS");
  }
}
