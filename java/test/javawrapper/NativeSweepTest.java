package javawrapper;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.lang.reflect.Array;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Set;
import java.util.TreeSet;
import javawrapper.NativeTable.Mode;
import javawrapper.NativeTable.Row;
import korvane.api.delphi.ClientAPI;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Every native of the data families, called through the real JVM: before
 * initialise, with its entry answering 11, 7 and 99, with null and with short
 * arrays. Each test counts the natives it covered, so the sweep cannot shrink
 * without failing.
 */
class NativeSweepTest {
  private static final int ARRAY_SIZE = 10_000;
  private static final int INT_SENTINEL = 0x5A5A5A5A;
  private static final double DOUBLE_SENTINEL = 12345.0;
  /** The numeric text entries answer with, and the value it must become. */
  private static final String NUMBER_TEXT = "-1234.25";
  private static final double NUMBER = -1234.25;

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

  static Method method(String name) {
    for (Method m : ClientAPI.class.getDeclaredMethods()) {
      if (m.getName().equals(name)) {
        return m;
      }
    }
    throw new AssertionError("ClientAPI has no " + name);
  }

  static Object[] arguments(Method m) { return arguments(m, true); }

  /**
   * Arguments that make the native call its entry, each recognisable by its
   * position: no two are equal, so a swap cannot pass. Strings start with a
   * letter of their own and run past every fixed field; bytes are above 127,
   * so a sign extension shows; input records carry a pattern per position.
   */
  static Object[] arguments(Method m, boolean flag) {
    final String tail = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz";
    Class<?>[] types = m.getParameterTypes();
    Object[] args = new Object[types.length];
    for (int i = 0; i < types.length; i++) {
      Class<?> t = types[i];
      if (t == String.class) {
        args[i] = (char) ('a' + i) + "@" + i + "-" + tail.substring(i) + tail.substring(0, i);
      } else if (t == String[].class) {
        args[i] = new String[0];
      } else if (t == int.class) {
        args[i] = 100 + 11 * i;
      } else if (t == byte.class) {
        args[i] = (byte) (0xC1 + i);
      } else if (t == boolean.class) {
        args[i] = flag;
      } else if (t == byte[].class) {
        byte[] a = new byte[ARRAY_SIZE];
        for (int k = 0; k < a.length; k++) {
          a[k] = (byte) (k * 13 + 3 + 29 * i);
        }
        args[i] = a;
      } else if (t == int[].class) {
        int[] a = new int[4];
        Arrays.fill(a, INT_SENTINEL);
        args[i] = a;
      } else if (t == double[].class) {
        args[i] = new double[] {DOUBLE_SENTINEL, DOUBLE_SENTINEL};
      } else if (t == boolean[].class) {
        args[i] = new boolean[] {true, true};
      } else {
        throw new AssertionError("no argument for " + t);
      }
    }
    return args;
  }

  static Object[] copy(Object[] args) {
    Object[] c = args.clone();
    for (int i = 0; i < c.length; i++) {
      if (c[i] instanceof byte[]) {
        c[i] = ((byte[]) c[i]).clone();
      } else if (c[i] instanceof int[]) {
        c[i] = ((int[]) c[i]).clone();
      } else if (c[i] instanceof double[]) {
        c[i] = ((double[]) c[i]).clone();
      } else if (c[i] instanceof boolean[]) {
        c[i] = ((boolean[]) c[i]).clone();
      }
    }
    return c;
  }

  static boolean isArray(Object o) { return o != null && o.getClass().isArray(); }

  static void assertUntouched(Row row, Object[] before, Object[] after) {
    for (int i = 0; i < before.length; i++) {
      if (isArray(before[i]) && !(before[i] instanceof String[])) {
        assertTrue(Arrays.deepEquals(new Object[] {before[i]}, new Object[] {after[i]}),
            row + ": argument " + i + " was written");
      }
    }
  }

  int call(Method m, Object[] args) throws Throwable {
    try {
      return (Integer) m.invoke(bridge, args);
    } catch (InvocationTargetException e) {
      throw e.getCause();
    }
  }

  private int dumps() {
    int n = 0;
    for (int i = sim.find("qrDumpLastError"); i >= 0; i = sim.find("qrDumpLastError", i + 1)) {
      n++;
    }
    return n;
  }

  @Test
  void theTablesCoverEveryNative() {
    Set<String> declared = new TreeSet<>();
    for (Method m : ClientAPI.class.getDeclaredMethods()) {
      if (Modifier.isNative(m.getModifiers())) {
        declared.add(m.getName());
      }
    }
    assertEquals(107, declared.size());
    declared.removeAll(NativeTable.NOT_IN_TABLE);
    Set<String> swept = new TreeSet<>();
    for (Row row : NativeTable.ROWS) {
      assertTrue(swept.add(row.method), "listed twice: " + row);
    }
    assertEquals(96, swept.size());
    for (Row row : NativeTable.SESSION) {
      swept.add(row.method);
    }
    assertEquals(declared, swept);
  }

  /**
   * Every session entry's failure comes back as its own code (distinct per
   * row, so one native answering with another's cannot pass), 99 also dumps
   * the library's last error, and 11 passes.
   */
  @Test
  void sessionEntriesFailuresComeBackAsTheirCodes() {
    int covered = 0;
    for (Row row : NativeTable.SESSION) {
      for (int code : new int[] {20 + covered, 99, 11}) {
        String what = row + " with " + row.entry + " answering " + code;
        bridge.logoff();
        sim.reset();
        if (!row.method.equals("initialise")) {
          assertEquals(0, bridge.initialise(), what + ": initialise");
        }
        sim.clearJournal();
        sim.forceResult(row.entry, code);
        int result = row.call.applyAsInt(bridge);
        sim.clearResult(row.entry);
        assertTrue(sim.find(row.entry) >= 0, what + ": the entry was not called");
        assertEquals(code == 11 ? row.onEleven : code, result, what);
        assertEquals(code == 99 ? 1 : 0, dumps(), what + ": last-error dumps");
      }
      covered++;
    }
    assertEquals(11, covered);
  }

  @Test
  void beforeInitialiseEveryNativeAnswers52AndWritesNothing() throws Throwable {
    int covered = 0;
    for (Row row : NativeTable.ROWS) {
      Method m = method(row.method);
      Object[] args = arguments(m);
      Object[] before = copy(args);
      assertEquals(52, call(m, args), row.method);
      assertUntouched(row, before, args);
      covered++;
    }
    assertEquals(sim.find("qrLogString"), -1);
    assertEquals(96, covered);
  }

  @Test
  void passingCodesCopyTheRecordsByteForByte() throws Throwable {
    assertEquals(0, bridge.initialise());
    int covered = 0;
    for (Row row : NativeTable.ROWS) {
      Method m = method(row.method);
      sim.clearJournal();
      sim.forceResult(row.entry, 11);
      boolean number = Arrays.asList(m.getParameterTypes()).contains(double[].class);
      if (number) { // a real value, in the library's numeric text
        sim.setOutput(row.entry, NUMBER_TEXT.getBytes(StandardCharsets.US_ASCII));
      }
      Object[] args = arguments(m);
      Object[] before = copy(args);
      assertEquals(row.onEleven, call(m, args), row.method + " on 11");
      sim.clearResult(row.entry);
      int entryCall = sim.find(row.entry);
      assertTrue(entryCall >= 0, row + " called " + row.entry);
      for (var record : row.records.entrySet()) {
        checkRecord(row, record.getKey(), record.getValue(), entryCall, before, args);
      }
      if (number) {
        sim.reset();
      }
      covered++;
    }
    assertEquals(96, covered);
  }

  /** What crossed for one record parameter, after a passing call. */
  private void checkRecord(
      Row row, int param, int size, int entryCall, Object[] before, Object[] after) {
    String what = row.method + " argument " + param;
    Object a = after[param];
    if (size < 0) { // read from Java: the entry saw exactly its first -size bytes
      byte[] expected = Arrays.copyOf((byte[]) before[param], -size);
      boolean seen = false;
      for (int arg = 0; arg < 10 && !seen; arg++) {
        byte[] got = sim.arg(entryCall, arg);
        seen = got != null && Arrays.equals(expected, got);
      }
      assertTrue(seen, what + ": the entry did not receive the record");
      assertArrayEquals((byte[]) before[param], (byte[]) a, what + ": an input was written");
    } else if (a instanceof byte[]) {
      byte[] got = (byte[]) a;
      int n = size == NativeTable.ARRAY_LENGTH ? got.length : size;
      for (int k = 0; k < got.length; k++) {
        byte expected = k < n ? (byte) ((k * 7 + 1) & 0xFF) : ((byte[]) before[param])[k];
        if (got[k] != expected) {
          fail(what + ": byte " + k + " is " + got[k] + ", expected " + expected);
        }
      }
    } else if (a instanceof int[]) {
      int[] got = (int[]) a;
      for (int k = 0; k < got.length; k++) {
        assertEquals(k >= size, got[k] == INT_SENTINEL, what + " element " + k);
      }
    } else if (a instanceof double[]) {
      assertEquals(NUMBER, ((double[]) a)[0], what);
      assertEquals(DOUBLE_SENTINEL, ((double[]) a)[1], what);
    } else if (a instanceof boolean[]) {
      assertFalse(((boolean[]) a)[0], what + ": 11 is no");
      assertTrue(((boolean[]) a)[1], what);
    }
  }

  /**
   * Every argument reaches exactly the entry argument its row names, with its
   * encoding, for both states of every flag; and every argument that is not
   * an output is named by the row, so none can go unchecked.
   */
  @Test
  void everyArgumentReachesItsOwnEntryArgument() throws Throwable {
    assertEquals(0, bridge.initialise());
    int covered = 0;
    int checked = 0;
    for (boolean flag : new boolean[] {true, false}) {
      for (Row row : NativeTable.ROWS) {
        Method m = method(row.method);
        sim.clearJournal();
        sim.forceResult(row.entry, 0);
        Object[] args = arguments(m, flag);
        call(m, args);
        sim.clearResult(row.entry);
        int at = sim.find(row.entry);
        assertTrue(at >= 0, row + " called " + row.entry);
        assertEquals(row.route.size(), sim.argCount(at), row + ": arguments of " + row.entry);
        Set<Integer> named = new TreeSet<>();
        for (int j = 0; j < row.route.size(); j++) {
          String token = row.route.get(j);
          String what = row + ": " + row.entry + " argument " + j + " (" + token + ")";
          byte[] got = sim.arg(at, j);
          if (token.equals("-")) {
            continue;
          } else if (token.equals("null")) {
            assertEquals(null, got, what);
          } else if (token.equals("o")) {
            assertTrue(got != null && got.length == 0, what + ": an output buffer");
          } else {
            if (token.charAt(0) != 'L') { // an array's length is not its content
              named.add(Integer.parseInt(token.substring(1).split(":")[0]));
            }
            assertArrayEquals(expected(row, token, args), got, what);
            checked++;
          }
        }
        Class<?>[] types = m.getParameterTypes();
        for (int p = 0; p < types.length; p++) {
          boolean input = !types[p].isArray()
              || (types[p] == byte[].class && row.records.getOrDefault(p, 0) < 0);
          assertEquals(input, named.contains(p), row + ": argument " + p + " in the route");
        }
        covered++;
      }
    }
    assertEquals(2 * 96, covered);
    assertTrue(checked > 2 * 96, "checked " + checked);
  }

  /** The bytes the journal must hold for one routed argument. */
  private static byte[] expected(Row row, String token, Object[] args) {
    String[] parts = token.substring(1).split(":");
    int n = Integer.parseInt(parts[0]);
    switch (token.charAt(0)) {
      case 'i':
        return little((Integer) args[n]);
      case 'b':
        return little((Byte) args[n] & 0xFF);
      case 'y':
        return little((Boolean) args[n] ? 'Y' : 'N');
      case 'c':
        return little(((String) args[n]).getBytes(StandardCharsets.UTF_8)[0] & 0xFF);
      case 'L':
        return little(Array.getLength(args[n]));
      case 'r':
        return Arrays.copyOf((byte[]) args[n], -row.records.get(n));
      case 's':
        byte[] text = ((String) args[n]).getBytes(StandardCharsets.UTF_8);
        return parts.length > 1
            ? Arrays.copyOf(text, Math.min(text.length, Integer.parseInt(parts[1])))
            : text;
      default:
        throw new AssertionError(row + ": unknown route " + token);
    }
  }

  private static byte[] little(int v) {
    return new byte[] {(byte) v, (byte) (v >> 8), (byte) (v >> 16), (byte) (v >> 24)};
  }

  @Test
  void failingCodesFollowEachNativesRule() throws Throwable {
    assertEquals(0, bridge.initialise());
    int covered = 0;
    for (Row row : NativeTable.ROWS) {
      Method m = method(row.method);
      for (int code : new int[] {7, 99}) {
        sim.clearJournal();
        sim.forceResult(row.entry, code);
        Object[] args = arguments(m);
        Object[] before = copy(args);
        int result = call(m, args);
        String what = row.method + " on " + code;
        if (row.mode == Mode.IGNORED) {
          assertEquals(0, result, what);
          assertEquals(0, dumps(), what);
        } else {
          assertEquals(code, result, what);
          assertEquals(code == 99 && row.mode == Mode.CHECKED ? 1 : 0, dumps(), what);
          assertUntouched(row, before, args);
        }
        if (!row.entry.equals("qrLogString")) {
          assertEquals(-1, sim.find("qrLogString"), what + " logged");
        }
      }
      sim.clearResult(row.entry);
      covered++;
    }
    assertEquals(96, covered);
  }

  @Test
  void aNullArrayIs99WithoutCallingTheLibrary() throws Throwable {
    assertEquals(0, bridge.initialise());
    int covered = 0;
    int cases = 0;
    for (Row row : NativeTable.ROWS) {
      Method m = method(row.method);
      Object[] template = arguments(m);
      for (int p = 0; p < template.length; p++) {
        if (!isArray(template[p])) {
          continue;
        }
        sim.clearJournal();
        Object[] args = arguments(m);
        args[p] = null;
        assertEquals(99, call(m, args), row.method + " with argument " + p + " null");
        assertEquals(-1, sim.find(row.entry), row.method + " called the library");
        int logged = sim.find("qrLogString");
        assertTrue(logged >= 0, row.method + " logged nothing");
        assertTrue(sim.textArg(logged, 0).contains("Where "), row.method);
        cases++;
      }
      covered++;
    }
    assertEquals(96, covered);
    assertEquals(75, cases);
  }

  /** The fetches by index: nothing in the library changes when they are asked. */
  private static final java.util.Set<String> FOUND_BY_THE_COPY = Set.of("getAccount",
      "getExchange", "getCommodity", "getOrderType", "getOrder", "getFill", "getContract",
      "getReportType", "getMessage");

  /**
   * A Java array one element shorter than the record a native reads or
   * writes: 99 through the funnel (a line that names the size, under a
   * where-text), no exception left pending, the library never called (but
   * for the fetches by index, which change nothing there) and every array
   * left as it was. Covers every record of every native that has
   * one, in both directions, and the session's build version.
   */
  @Test
  void shortArraysAre99BeforeTheLibraryAndLeaveEveryArrayUntouched() throws Throwable {
    assertEquals(0, bridge.initialise());
    int in = 0;
    int out = 0;
    for (Row row : NativeTable.ROWS) {
      Method m = method(row.method);
      for (var record : row.records.entrySet()) {
        int param = record.getKey();
        int size = record.getValue();
        if (size == NativeTable.ARRAY_LENGTH) {
          continue; // getReport's length is the array's own
        }
        sim.clearJournal();
        Object[] args = arguments(m);
        args[param] = shorter(args[param], Math.abs(size));
        Object[] before = copy(args);
        String what = row.method + " with a short argument " + param;
        assertEquals(99, call(m, args), what); // an exception left pending would throw here
        // A fetch by index changes nothing in the library: its short array is
        // found by the copy after it. Every other native never asks.
        assertEquals(FOUND_BY_THE_COPY.contains(row.method), sim.find(row.entry) >= 0,
            what + (FOUND_BY_THE_COPY.contains(row.method) ? " never asked" : " reached")
                + " the library");
        assertUntouched(row, before, args);
        int logged = sim.find("qrLogString");
        assertTrue(logged >= 0, what + " logged nothing");
        String line = sim.textArg(logged, 0);
        assertTrue(line.contains(" Where "), what + ": " + line);
        if (size > 0) {
          String expected = " holds " + (args[param] instanceof byte[] || args[param] instanceof int[]
              ? size - 1 : 0) + " elements, shorter than the " + size + " it receives";
          assertTrue(line.startsWith("Wrapper API ErrorJava array ") && line.contains(expected),
              what + ": " + line);
          out++;
        } else {
          assertTrue(line.contains(" holds " + (-size - 1) + " bytes, shorter than its " + -size
              + "-byte record"), what + ": " + line);
          in++;
        }
      }
    }
    sim.clearJournal();
    byte[] version = new byte[25];
    assertEquals(99, bridge.APIBuildVersion(version));
    assertEquals(-1, sim.find("qrGetAPIBuildVersion"));
    assertArrayEquals(new byte[25], version);
    out++;
    assertEquals(19, in);
    assertEquals(55, out);
  }

  static Object shorter(Object array, int size) {
    if (array instanceof byte[]) {
      return new byte[size - 1];
    } else if (array instanceof int[]) {
      return new int[size - 1];
    } else if (array instanceof double[]) {
      return new double[0];
    } else {
      return new boolean[0];
    }
  }
}
