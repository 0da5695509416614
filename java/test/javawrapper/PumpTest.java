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
    bridge.startPump();  // the same queue: the two left are delivered, in order
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
    sim.waitIdle();  // the library joined its threads on log-off
  }

  @Test
  void aFullQueueHoldsProducersUntilThePumpCatchesUp() throws Exception {
    assertEquals(0, bridge.initialise());
    bridge.startPump();
    int total = 200_000;  // beyond the queue's bound: producers must wait, not drop
    AtomicInteger seen = new AtomicInteger();
    bridge.onEvent((b, e) -> {
      if (seen.incrementAndGet() % 50_000 == 0) {
        try {
          Thread.sleep(50);  // a slow handler
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
}
