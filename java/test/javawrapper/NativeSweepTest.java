package javawrapper;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
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

  /** Arguments that make the native call its entry; byte arrays carry a pattern. */
  static Object[] arguments(Method m) {
    Class<?>[] types = m.getParameterTypes();
    Object[] args = new Object[types.length];
    for (int i = 0; i < types.length; i++) {
      Class<?> t = types[i];
      if (t == String.class) {
        args[i] = "X";
      } else if (t == String[].class) {
        args[i] = new String[0];
      } else if (t == int.class) {
        args[i] = 1;
      } else if (t == byte.class) {
        args[i] = (byte) 0x41;
      } else if (t == boolean.class) {
        args[i] = true;
      } else if (t == byte[].class) {
        byte[] a = new byte[ARRAY_SIZE];
        for (int k = 0; k < a.length; k++) {
          a[k] = (byte) (k * 13 + 3);
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

  static boolean isArray(Object o) {
    return o != null && o.getClass().isArray();
  }

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
  void theTableCoversEveryDataNative() {
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
    assertEquals(declared, swept);
    assertEquals(96, swept.size());
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
      Object[] args = arguments(m);
      Object[] before = copy(args);
      assertEquals(row.onEleven, call(m, args), row.method + " on 11");
      sim.clearResult(row.entry);
      int entryCall = sim.find(row.entry);
      assertTrue(entryCall >= 0, row + " called " + row.entry);
      for (var record : row.records.entrySet()) {
        checkRecord(row, record.getKey(), record.getValue(), entryCall, before, args);
      }
      covered++;
    }
    assertEquals(96, covered);
  }

  /** What crossed for one record parameter, after a passing call. */
  private void checkRecord(Row row, int param, int size, int entryCall, Object[] before,
      Object[] after) {
    String what = row.method + " argument " + param;
    Object a = after[param];
    if (size < 0) {  // read from Java: the entry saw exactly its first -size bytes
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
      assertEquals(0.0, ((double[]) a)[0], what);
      assertEquals(DOUBLE_SENTINEL, ((double[]) a)[1], what);
    } else if (a instanceof boolean[]) {
      assertFalse(((boolean[]) a)[0], what + ": 11 is no");
      assertTrue(((boolean[]) a)[1], what);
    }
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

  @Test
  void shortArraysNeverReachTheLibraryHalfFilled() throws Throwable {
    assertEquals(0, bridge.initialise());
    int cases = 0;
    for (Row row : NativeTable.ROWS) {
      Method m = method(row.method);
      for (var record : row.records.entrySet()) {
        int param = record.getKey();
        int size = record.getValue();
        if (size == NativeTable.ARRAY_LENGTH) {
          continue;  // getReport's length is the array's own
        }
        sim.clearJournal();
        Object[] args = arguments(m);
        args[param] = shorter(args[param], Math.abs(size));
        String what = row.method + " with a short argument " + param;
        if (size < 0) {
          assertEquals(99, call(m, args), what);
          assertEquals(-1, sim.find(row.entry), what + " reached the library");
        } else {
          Object[] before = copy(args);
          try {
            call(m, args);
            fail(what + ": no ArrayIndexOutOfBoundsException");
          } catch (ArrayIndexOutOfBoundsException expected) {
            // left pending by the copy, as JNI defines
          }
          assertTrue(sim.find(row.entry) >= 0, what);
          for (int later = param; later < args.length; later++) {  // nothing after the failed copy
            assertTrue(Arrays.deepEquals(new Object[] {before[later]}, new Object[] {args[later]}),
                what + ": argument " + later + " was written");
          }
        }
        cases++;
      }
    }
    assertEquals(73, cases);
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
