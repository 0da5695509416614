package javawrapper;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Events fired from the simulator's own threads, as Java receives them. */
class CallbackTest {
  // id, bytes queued; fired with a 600-byte record.
  private static final int[][] RECORDS = {{1, 2}, {2, 2}, {8, 73}, {27, 73}, {26, 78}, {21, 73},
      {22, 114}, {16, 73}, {19, 73}, {10, 77}, {5, 27}, {38, 36}, {9, 82}, {11, 73}, {12, 73},
      {33, 73}, {32, 22}, {31, 11}, {36, 11}, {13, 11}, {25, 27}, {14, 394}, {15, 27}, {28, 27},
      {29, 27}, {23, 135}, {24, 145}, {37, 47}};
  private static final int[] SIGNALS = {7, 6, 18, 30};

  private final Simulator sim = Simulator.load("QUORAPI.DLL");
  private final Bridge bridge = new Bridge();

  @BeforeEach
  void setUp() {
    sim.reset();
    assertEquals(0, bridge.initialise());
    bridge.startPump();
  }

  @AfterEach
  void tearDown() throws Exception {
    assertEquals(0, bridge.logoff());
    bridge.expectPumpReturns(10_000);
  }

  private static byte[] record() {
    byte[] record = new byte[600];
    for (int i = 0; i < record.length; i++) {
      record[i] = (byte) (i * 3 + 5);
    }
    return record;
  }

  @Test
  void everyRegisteredIdArrivesWithItsByteCount() throws Exception {
    assertEquals(34, sim.registeredCount());
    byte[] record = record();
    for (int[] r : RECORDS) {
      assertEquals(0, sim.fire(r[0], record), "fire " + r[0]);
    }
    for (int id : SIGNALS) {
      assertEquals(0, sim.fire(id, new byte[0]));
    }
    int total = RECORDS.length + SIGNALS.length;
    List<Bridge.Event> events = bridge.expectEvents(total, 10_000);
    assertEquals(total, events.size(), "events beyond those fired");
    for (int i = 0; i < RECORDS.length; i++) {
      assertEquals(RECORDS[i][0], events.get(i).id);
      assertArrayEquals(Arrays.copyOf(record, RECORDS[i][1]), events.get(i).record,
          "record of id " + RECORDS[i][0]);
    }
    for (int i = 0; i < SIGNALS.length; i++) {
      Bridge.Event e = events.get(RECORDS.length + i);
      assertEquals(SIGNALS[i], e.id);
      assertEquals(0, e.length());
    }
  }

  @Test
  void aMessageTheLibraryRejectsGivesNoEvent() throws Exception {
    sim.forceResult("qrGetUsrMsgByID", 5);
    assertEquals(0, sim.fire(4, "M1".getBytes()));
    sim.clearResult("qrGetUsrMsgByID");
    assertEquals(0, sim.fire(4, "M2".getBytes()));
    List<Bridge.Event> events = bridge.expectEvents(1, 10_000);
    Thread.sleep(100);
    assertEquals(1, bridge.events().size(), "the rejected message gave an event");
    assertEquals(4, events.get(0).id);
    assertEquals(514, events.get(0).length());
  }

  @Test
  void threeThreadsKeepTheirOrder() throws Exception {
    assertEquals(0, sim.fireStream(5, 27, 3, 2000));
    List<Bridge.Event> events = bridge.expectEvents(6000, 30_000);
    assertEquals(6000, events.size(), "events beyond those fired");
    int[] next = new int[3];
    for (Bridge.Event e : events) {
      int thread = e.record[0];
      int sequence = (e.record[4] & 0xFF) | (e.record[5] & 0xFF) << 8;
      assertEquals(next[thread]++, sequence, "thread " + thread);
    }
  }
}
