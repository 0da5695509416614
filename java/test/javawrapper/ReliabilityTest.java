package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The bridge in a real JVM under load and races: a trading day in minutes. */
class ReliabilityTest {
  private final Simulator sim = Simulator.load("QUORAPI.DLL");
  private final Bridge bridge = new Bridge();

  @BeforeEach
  void setUp() {
    bridge.logoff();
    sim.reset();
  }

  @AfterEach
  void tearDown() {
    bridge.logoff();
  }

  private int logLinesContaining(String text) {
    int n = 0;
    for (int i = sim.find("qrLogString"); i >= 0; i = sim.find("qrLogString", i + 1)) {
      if (sim.textArg(i, 0).contains(text)) {
        n++;
      }
    }
    return n;
  }

  /** Waits until seen reaches count, or fails naming how many events came; returns seen. */
  private static int awaitCount(AtomicInteger seen, int count, long millis)
      throws InterruptedException {
    long deadline = System.nanoTime() + millis * 1_000_000;
    while (seen.get() < count && System.nanoTime() - deadline < 0) {
      Thread.sleep(1);
    }
    int n = seen.get();
    assertTrue(n >= count, n + " of " + count + " events reached messageReceived within "
        + millis + " ms");
    return n;
  }

  @Test
  void aThrowingHandlerLosesNothingElse() throws Exception {
    assertEquals(0, bridge.initialise());
    AtomicInteger seen = new AtomicInteger();
    Bridge counting = new Bridge() {
      @Override
      public void messageReceived(int id, int length) {
        // No copy, no list: a million events must not need a million objects.
        int n = seen.incrementAndGet();
        if (n % 1000 == 0) {
          throw new IllegalStateException("every thousandth event");
        }
      }
    };
    counting.startPump();
    int total = 1_000_000;
    assertEquals(0, sim.fireStream(5, 27, 1, total));
    sim.waitIdle();
    assertEquals(total, awaitCount(seen, total, 120_000), "events beyond those fired");
    // The exception is named with its class and message (its toString). The
    // last one is logged just after its handler counted it: waited for.
    String thrown =
        "messageReceived(5, 27) threw java.lang.IllegalStateException: every thousandth event";
    long deadline = System.nanoTime() + 10_000_000_000L;
    while (logLinesContaining(thrown) < 1000 && System.nanoTime() - deadline < 0) {
      Thread.sleep(10);
    }
    assertEquals(1000, logLinesContaining(thrown));
    assertEquals(0, sim.fire(7, new byte[0]));  // the pump is still running
    assertEquals(total + 1, awaitCount(seen, total + 1, 10_000), "events beyond those fired");
    assertEquals(0, counting.logoff());
    counting.expectPumpReturns(10_000);
  }

  @Test
  void foreignThreadsAreNeverAttachedToTheJvm() throws Exception {
    assertEquals(0, bridge.initialise());
    AtomicInteger seen = new AtomicInteger();
    Bridge counting = new Bridge() {
      @Override
      public void messageReceived(int id, int length) {
        seen.incrementAndGet();
      }
    };
    counting.startPump();
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    int live = threads.getThreadCount();
    long started = threads.getTotalStartedThreadCount();
    int events = 10_000;
    for (int batch = 0; batch < events / 500; batch++) {
      for (int i = 0; i < 500; i++) {
        assertEquals(0, sim.fireAsync(18, new byte[0]));  // a short-lived thread each
      }
      sim.waitIdle();
    }
    assertEquals(events, awaitCount(seen, events, 30_000), "events beyond those fired");
    // An attached thread would count as a started Java thread.
    assertTrue(threads.getTotalStartedThreadCount() - started < 50,
        "threads started: " + (threads.getTotalStartedThreadCount() - started));
    // A thread left attached per event would be thousands; the JVM's own
    // (a cleaner, a timer) come and go.
    assertTrue(threads.getThreadCount() <= live + 25, "live threads " + threads.getThreadCount());
    assertEquals(0, counting.logoff());
    counting.expectPumpReturns(10_000);
  }

  @Test
  void aThousandSessionsRacedByEightThreadsNeverCrashOrHang() throws Exception {
    AtomicBoolean stop = new AtomicBoolean();
    AtomicInteger unexpected = new AtomicInteger();
    Thread[] callers = new Thread[8];
    for (int t = 0; t < callers.length; t++) {
      callers[t] = new Thread(() -> {
        Bridge caller = new Bridge();
        byte[] record = new byte[33];
        int[] count = new int[1];
        while (!stop.get()) {
          int a = caller.purge("a", "b");
          int b = caller.getExchange(1, record);
          int c = caller.countOrders(count);
          if ((a != 0 && a != 52) || (b != 0 && b != 52) || (c != 0 && c != 52)) {
            unexpected.incrementAndGet();
          }
        }
      }, "caller-" + t);
      callers[t].start();
    }
    try {
      for (int cycle = 0; cycle < 1000; cycle++) {
        assertEquals(0, bridge.initialise(), "initialise in cycle " + cycle);
        boolean fromInside = cycle % 10 == 0;
        AtomicInteger seen = new AtomicInteger();
        Bridge session = new Bridge() {
          @Override
          public void messageReceived(int id, int length) {
            if (seen.incrementAndGet() == 20 && fromInside) {
              logoff();
            }
          }
        };
        session.startPump();
        assertEquals(0, sim.fireStream(5, 27, 2, 100));
        if (!fromInside) {
          // A logoff before the pump has started would not stop it.
          awaitCount(seen, 1, 10_000);
          session.logoff();
        }
        assertTrue(session.pumpReturned(30_000), "the pump hung in cycle " + cycle);
        bridge.logoff();
      }
    } finally {
      stop.set(true);
      for (Thread t : callers) {
        t.join(30_000);
        assertFalse(t.isAlive(), t.getName() + " still ran 30 s after the stop");
      }
    }
    assertEquals(0, unexpected.get(), "natives answered other than 0 or 52");
  }
}
