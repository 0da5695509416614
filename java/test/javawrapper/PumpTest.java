package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** How the pump starts, stops and hands over between sessions. */
class PumpTest {
  private final Simulator sim = Simulator.load("QUORAPI.DLL");
  private final Bridge bridge = new Bridge();

  @BeforeEach
  void setUp() {
    sim.reset();
  }

  @AfterEach
  void tearDown() {
    bridge.logoff();
  }

  @Test
  void logoffWakesAWaitingPump() throws Exception {
    assertEquals(0, bridge.initialise());
    bridge.startPump();
    Thread.sleep(100);
    assertEquals(0, bridge.logoff());
    assertTrue(bridge.pumpReturned(10_000));
    assertEquals(0, bridge.events().size());
  }

  @Test
  void logoffDuringADrainLeavesTheRestForTheNextPump() throws Exception {
    assertEquals(0, bridge.initialise());
    for (int id : new int[] {7, 6, 18}) {
      assertEquals(0, sim.fire(id, new byte[0]));
    }
    AtomicInteger logoffCode = new AtomicInteger(-1);
    bridge.onEvent((b, e) -> {
      if (e.id == 7) {
        logoffCode.set(b.logoff());
      }
    });
    bridge.startPump();
    assertTrue(bridge.pumpReturned(10_000));
    assertEquals(0, logoffCode.get());
    assertEquals(1, bridge.events().size());

    bridge.onEvent((b, e) -> {});
    bridge.startPump(); // the same queue: the two left are delivered, in order
    List<Bridge.Event> events = bridge.awaitEvents(3, 10_000);
    assertEquals(6, events.get(1).id);
    assertEquals(18, events.get(2).id);
    assertEquals(0, bridge.initialise());
    assertEquals(0, bridge.logoff());
    assertTrue(bridge.pumpReturned(10_000));
  }

  @Test
  void aNewSessionNeverDeliversTheOldQueue() throws Exception {
    assertEquals(0, bridge.initialise());
    assertEquals(0, sim.fire(6, new byte[0]));
    assertEquals(0, bridge.logoff());
    assertEquals(0, bridge.initialise());
    assertEquals(0, sim.fire(18, new byte[0]));
    bridge.startPump();
    List<Bridge.Event> events = bridge.awaitEvents(1, 10_000);
    Thread.sleep(100);
    assertEquals(1, bridge.events().size());
    assertEquals(18, events.get(0).id);
    assertEquals(0, bridge.logoff());
    assertTrue(bridge.pumpReturned(10_000));
  }

  @Test
  void logoffFromInsideMessageReceivedWhileTheLibraryKeepsFiring() throws Exception {
    assertEquals(0, bridge.initialise());
    AtomicInteger logoffCode = new AtomicInteger(-1);
    AtomicInteger seen = new AtomicInteger();
    bridge.onEvent((b, e) -> {
      if (seen.incrementAndGet() == 1000) {
        logoffCode.set(b.logoff());
      }
    });
    bridge.startPump();
    assertEquals(0, sim.fireStream(5, 27, 4, 1_000_000));
    assertTrue(bridge.pumpReturned(30_000), "no deadlock between logoff and the library's threads");
    assertEquals(0, logoffCode.get());
    sim.waitIdle(); // the library joined its threads on log-off
  }

  @Test
  void aFullQueueHoldsProducersUntilThePumpCatchesUp() throws Exception {
    assertEquals(0, bridge.initialise());
    bridge.startPump();
    int total = 200_000; // beyond the queue's bound: producers must wait, not drop
    AtomicInteger seen = new AtomicInteger();
    bridge.onEvent((b, e) -> {
      if (seen.incrementAndGet() % 50_000 == 0) {
        try {
          Thread.sleep(50); // a slow handler
        } catch (InterruptedException ignored) {
          Thread.currentThread().interrupt();
        }
      }
    });
    assertEquals(0, sim.fireStream(5, 27, 2, total / 2));
    sim.waitIdle();
    assertEquals(total, bridge.awaitEvents(total, 60_000).size());
    assertEquals(0, bridge.logoff());
    assertTrue(bridge.pumpReturned(10_000));
  }

  // A library that answers a request with events on the caller's thread, or
  // that calls back while holding a lock its entries need: a burst far past
  // the queue's bound, met by a native called from inside messageReceived.
  private void burstThroughANativeCalledFromTheHandler(boolean underLibraryLock) throws Exception {
    assertEquals(0, bridge.initialise());
    int total = 200_000;
    byte[] exchange = new byte[33];
    AtomicInteger nativeCode = new AtomicInteger(-1);
    bridge.onEvent((b, e) -> {
      if (nativeCode.get() == -1) {
        nativeCode.set(b.getExchange(1, exchange));
      }
    });
    bridge.startPump();
    if (underLibraryLock) {
      assertEquals(0, sim.fireLocked(5, 27, total));
    } else {
      sim.burst("qrGetExchange", 5, 27, total);
      assertEquals(0, sim.fire(7, new byte[0]));
    }
    List<Bridge.Event> events = bridge.awaitEvents(total + (underLibraryLock ? 0 : 1), 30_000);
    assertEquals(0, nativeCode.get());
    int next = 0;
    for (Bridge.Event e : events) {
      if (e.id == 5) {
        assertEquals(next++,
            java.nio.ByteBuffer.wrap(e.record, 4, 4)
                .order(java.nio.ByteOrder.LITTLE_ENDIAN)
                .getInt(),
            "in order, nothing lost");
      }
    }
    assertEquals(total, next);
    assertEquals(0, bridge.logoff());
    assertTrue(bridge.pumpReturned(10_000));
  }

  @Test
  void aBurstOnThePumpsOwnThreadNeverWaitsForItself() throws Exception {
    burstThroughANativeCalledFromTheHandler(false);
  }

  @Test
  void aBurstUnderTheLibrarysLockCostsTheStallBoundNotAHang() throws Exception {
    burstThroughANativeCalledFromTheHandler(true);
  }
}
