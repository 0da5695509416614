package javawrapper;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class SessionTest {
  private final Simulator sim = Simulator.load("QUORAPI.DLL");
  private Bridge bridge;

  @BeforeEach
  void setUp() {
    sim.reset();
    bridge = new Bridge();
  }

  @AfterEach
  void tearDown() {
    bridge.logoff();
  }

  @Test
  void aWholeSession() throws Exception {
    assertEquals(0, bridge.initialise());
    bridge.startPump();
    assertEquals(0, bridge.openConnections(new String[] {"host:4000"}, new String[] {"px:4001"}));
    sim.forceResult("qrPostTradeAmendEnabled", 11);
    assertEquals(0, bridge.logon("user", "password", "", true, false));

    // The simulator answers a log-on from a thread of its own; the status
    // record ends with the two switches.
    List<Bridge.Event> events = bridge.expectEvents(2, 10_000);
    assertEquals(2, events.size(), "events beyond the log-on's two");
    assertEquals(3, events.get(0).id);
    assertEquals(345, events.get(0).length());
    assertEquals(1, events.get(0).record[343]);
    assertEquals(0, events.get(0).record[344]);
    assertEquals(7, events.get(1).id);
    assertEquals(0, events.get(1).length());

    assertEquals(0, bridge.purge("a", "b"));
    byte[] version = new byte[26];
    assertEquals(0, bridge.APIBuildVersion(version));
    assertEquals(1, version[0]);
    assertEquals(0, bridge.lockUpdates());
    assertEquals(0, bridge.unlockUpdates());
    assertEquals(0, bridge.closeConnections());
    assertEquals(0, bridge.logoff());
    bridge.expectPumpReturns(10_000);
    assertEquals(52, bridge.closeConnections());
    assertEquals(0, bridge.logoff());
    assertEquals("Library not loaded", bridge.getErrorMessage(52));
  }

  @Test
  void theDemoEnvironmentLoadsTheDemoLibrary() {
    Simulator demo = Simulator.load("DEMOAPI.DLL");
    demo.reset();
    assertEquals(0, bridge.initialise(true, true, true));
    int call = demo.find("qrInitialise");
    assertTrue(call >= 0, "DEMOAPI.DLL was initialised");
    assertEquals('D', demo.intArg(call, 0));
    assertEquals(-1, sim.find("qrInitialise"));
    assertEquals(0, bridge.logoff());
  }

  // Each session entry's failure codes: NativeSweepTest.sessionEntriesFailuresComeBackAsTheirCodes.
  @Test
  void beforeInitialiseIs52AndTheLibraryNamesItsOwnCodes() {
    assertEquals(52, bridge.purge("a", "b"));
    assertEquals(0, bridge.initialise());
    assertEquals("Internal simulator failure", bridge.getErrorMessage(99));
  }

  @Test
  void stringsReachTheLibraryAsModifiedUtf8() {
    assertEquals(0, bridge.initialise());
    sim.clearJournal();
    assertEquals(0, bridge.purge("\u00e9", "a\u0000b"));
    int call = sim.find("qrPurge");
    assertArrayEquals(new byte[] {(byte) 0xC3, (byte) 0xA9}, sim.arg(call, 0));
    assertArrayEquals(new byte[] {'a', (byte) 0xC0, (byte) 0x80, 'b'}, sim.arg(call, 1));
  }

  @Test
  void aShortArrayIs99AndThrowsNothing() {
    assertEquals(0, bridge.initialise());
    byte[] version = new byte[25];
    java.util.Arrays.fill(version, (byte) 0x5A);
    assertEquals(99, bridge.APIBuildVersion(version)); // no exception comes back
    for (byte b : version) {
      assertEquals((byte) 0x5A, b);
    }
  }
}
