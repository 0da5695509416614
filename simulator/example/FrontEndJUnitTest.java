import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.nio.charset.StandardCharsets;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import korvane.api.delphi.ClientAPI;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * FrontEndTest as a JUnit 5 test, for a team's CI: the simulator's directory
 * (with its trailing separator) comes from the system property testkit.dir.
 * One pump thread per test, every result code checked, every wait bounded.
 */
class FrontEndJUnitTest {
  private final BlockingQueue<Integer> events = new LinkedBlockingQueue<>();
  private final byte[] buffer = new byte[514]; // the longest record
  private final ClientAPI api = new ClientAPI() {
    @Override
    public void messageReceived(int id, int length) {
      events.add(id);
    }
  };
  private Thread pump;

  private void ok(String what, int code) {
    assertEquals(0, code, () -> what + ": " + api.getErrorMessage(code));
  }

  private void await(int id, String what) throws InterruptedException {
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
    for (long left; (left = deadline - System.nanoTime()) > 0; ) {
      Integer seen = events.poll(left, TimeUnit.NANOSECONDS);
      if (seen != null && seen == id) {
        return;
      }
    }
    fail("no " + what + " event (id " + id + ") within 10 seconds");
  }

  @BeforeEach
  void logOn() throws InterruptedException {
    String dir = System.getProperty("testkit.dir");
    assertTrue(dir != null && !dir.isEmpty(), "set -Dtestkit.dir=<simulator directory>/");
    ok("initialise", api.initialise(dir, "", false, false, true, "seed=7", (byte) 0,
        "FrontEndJUnitTest", ""));
    pump = new Thread(() -> api.processCallbacks(buffer), "event-pump");
    pump.start();
    ok("openConnections", api.openConnections(new String[] {"sim-host:9001"},
        new String[] {"sim-prices:9002"}));
    ok("logon", api.logon("DEMO1", "secret", "", true, true));
    await(3, "logon status");
    await(7, "data download complete");
  }

  @AfterEach
  void logOff() throws InterruptedException {
    ok("logoff", api.logoff());
    pump.join(10_000);
    assertFalse(pump.isAlive(), "the pump did not return after logoff");
  }

  @Test
  void referenceDataIsThere() {
    int[] count = new int[1];
    ok("countExchanges", api.countExchanges(count));
    assertTrue(count[0] >= 1, "the simulator lists no exchange");
    byte[] exchange = new byte[33];
    ok("getExchange", api.getExchange(0, exchange));
    assertFalse(new String(exchange, 0, 11, StandardCharsets.ISO_8859_1).trim().isEmpty());
  }

  @Test
  void pricesArriveAfterSubscribing() throws InterruptedException {
    ok("subscribe", api.subscribe("NORDX", "CRUDE", "DEC26"));
    await(8, "price");
  }
}
