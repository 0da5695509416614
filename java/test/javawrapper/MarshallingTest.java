package javawrapper;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Every fixed text field at its boundaries, through the real JVM's string
 * conversion: lengths 0, N-1, N, N+1 and 10N, an embedded U+0000, a character
 * outside the Basic Multilingual Plane, and a cut inside a multi-byte
 * character. The field holds the first N bytes of the modified UTF-8 form and
 * a zero byte; nothing is written past it.
 */
class MarshallingTest {
  private final Simulator sim = Simulator.load("QUORAPI.DLL");
  private final Bridge bridge = new Bridge();

  @BeforeEach
  void setUp() {
    bridge.logoff();
    sim.reset();
    assertEquals(0, bridge.initialise());
  }

  @AfterEach
  void tearDown() {
    bridge.logoff();
  }

  /** The JVM's modified UTF-8: U+0000 as C0 80, surrogates as three bytes each. */
  static byte[] modifiedUtf8(String s) {
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    for (char c : s.toCharArray()) {
      if (c != 0 && c < 0x80) {
        out.write(c);
      } else if (c < 0x800) {
        out.write(0xC0 | (c >> 6));
        out.write(0x80 | (c & 0x3F));
      } else {
        out.write(0xE0 | (c >> 12));
        out.write(0x80 | ((c >> 6) & 0x3F));
        out.write(0x80 | (c & 0x3F));
      }
    }
    return out.toByteArray();
  }

  /** The texts to try in a field of capacity n. */
  static List<String> texts(int n) {
    List<String> texts = new ArrayList<>(List.of("", "a".repeat(n - 1), "a".repeat(n),
        "a".repeat(n + 1), "a".repeat(10 * n), "ab\u0000cd", "x\uD83D\uDE00y",
        "a".repeat(n - 1) + "\u00e9")); // the cut falls between the two bytes of the e-acute
    return texts;
  }

  static byte[] field(String text, int n) {
    byte[] bytes = modifiedUtf8(text);
    return Arrays.copyOf(bytes, Math.min(n, bytes.length));
  }

  /** A zero-terminated field of width n + 1 at offset at of a record. */
  static void assertField(byte[] record, int at, int n, String text, String what) {
    byte[] want = field(text, n);
    assertArrayEquals(want, Arrays.copyOfRange(record, at, at + want.length), what);
    assertEquals(0, record[at + want.length], what + ": terminator");
  }

  @Test
  void logonTextsOf255() {
    int cases = 0;
    for (String text : texts(255)) {
      sim.clearJournal();
      assertEquals(0, bridge.logon(text, "second", text, true, false));
      byte[] record = sim.arg(sim.find("qrLogOn"), 0);
      assertEquals(770, record.length);
      assertField(record, 0, 255, text, "text 1");
      assertField(record, 256, 255, "second", "text 2 untouched");
      assertField(record, 512, 255, text, "text 3");
      assertEquals('Y', record[768]);
      assertEquals('N', record[769]);
      cases++;
    }
    assertEquals(8, cases);
  }

  @Test
  void contractKeyFieldsOf10And50() {
    for (String text : texts(10)) {
      sim.clearJournal();
      assertEquals(0, bridge.subscribe(text, text, "C"));
      int call = sim.find("qrSubscribePrice");
      assertArrayEquals(field(text, 10), sim.arg(call, 0), "exchange " + text.length());
      assertArrayEquals(field(text, 10), sim.arg(call, 1), "commodity");
      assertArrayEquals(new byte[] {'C'}, sim.arg(call, 2));
      assertEquals(0, bridge.subscribeToBroadcasts(text));
      assertArrayEquals(field(text, 10), sim.arg(sim.find("qrSubscribeBroadcast"), 0));
      byte[] order = new byte[957];
      assertEquals(0, bridge.addAAOrder(order, order, text, "s2", new byte[22]));
      int aa = sim.find("qrAddAAOrder");
      assertArrayEquals(field(text, 10), sim.arg(aa, 2), "AA order s1");
      assertArrayEquals(new byte[] {'s', '2'}, sim.arg(aa, 3));
    }
    for (String text : texts(50)) {
      sim.clearJournal();
      assertEquals(0, bridge.unsubscribe("E", "C", text));
      assertArrayEquals(field(text, 50), sim.arg(sim.find("qrUnsubscribePrice"), 2));
    }
  }

  @Test
  void strategyLegFieldsOf50And10() {
    for (String text : texts(10)) {
      String[] legs = {"B\u0001" + text + "\u0001" + text + "\u0001"
          + "-1\u0001" + text};
      sim.clearJournal();
      assertEquals(0, bridge.createStrategy((byte) 1, 1, "", "", legs), text);
      byte[] table = sim.arg(sim.find("qrCreateStrategy"), 4);
      assertEquals(1248, table.length);
      String trimmed = text.strip().isEmpty() ? "" : text;
      assertField(table, 1, 50, trimmed, "field 2");
      assertField(table, 52, 10, trimmed, "field 3");
      assertArrayEquals(new byte[] {-1, -1, -1, -1}, Arrays.copyOfRange(table, 63, 67), "field 4");
      assertField(table, 67, 10, trimmed, "field 5");
      for (int i = 78; i < table.length; i++) {
        assertEquals(0, table[i], "nothing past the first leg");
      }
    }
    for (String text : texts(50)) {
      sim.clearJournal();
      assertEquals(0,
          bridge.createStrategy(
              (byte) 1, 1, "", "", new String[] {"B\u0001" + text + "\u0001F3\u00010\u0001F5"}));
      byte[] table = sim.arg(sim.find("qrCreateStrategy"), 4);
      assertField(table, 1, 50, text, "field 2 of " + text.length());
      assertField(table, 52, 10, "F3", "field 3 untouched");
      assertField(table, 67, 10, "F5", "field 5 untouched");
    }
  }
}
