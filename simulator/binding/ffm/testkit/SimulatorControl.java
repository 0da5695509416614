package testkit;

import java.lang.foreign.Arena;
import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.SymbolLookup;
import java.lang.foreign.ValueLayout;
import java.lang.invoke.MethodHandle;
import java.nio.charset.StandardCharsets;

/**
 * The simulator's control surface (include/control.h) from Java, on the FFM
 * API of JDK 22 and later: run with --enable-native-access=ALL-UNNAMED (or
 * your module). Open it after initialise, with the same full path
 * initialise loaded, so both share one simulator. Texts are 8-bit; every
 * method is safe from any thread. The same class on JNA, for JDK 17, is in
 * binding/jna/.
 */
public final class SimulatorControl implements AutoCloseable {
  private static final Linker LINKER = Linker.nativeLinker();
  private static final ValueLayout.OfInt I = ValueLayout.JAVA_INT;
  private static final ValueLayout.OfDouble D = ValueLayout.JAVA_DOUBLE;
  private static final ValueLayout P = ValueLayout.ADDRESS;

  private final Arena arena = Arena.ofShared();
  private final SymbolLookup lookup;

  private SimulatorControl(String path) {
    lookup = SymbolLookup.libraryLookup(path, arena);
  }

  /** The simulator at this full path (the directory initialise was given plus QUORAPI.DLL). */
  public static SimulatorControl open(String path) {
    return new SimulatorControl(path);
  }

  private MethodHandle fn(String name, FunctionDescriptor descriptor) {
    MemorySegment address = lookup.find(name)
        .orElseThrow(() -> new IllegalStateException("the simulator lacks " + name));
    return LINKER.downcallHandle(address, descriptor);
  }

  private static MemorySegment text(Arena a, String s) {
    if (s == null) {
      return MemorySegment.NULL;
    }
    byte[] bytes = s.getBytes(StandardCharsets.ISO_8859_1);
    MemorySegment m = a.allocate(bytes.length + 1L);
    MemorySegment.copy(bytes, 0, m, ValueLayout.JAVA_BYTE, 0, bytes.length);
    m.set(ValueLayout.JAVA_BYTE, bytes.length, (byte) 0);
    return m;
  }

  private static MemorySegment bytes(Arena a, byte[] b) {
    if (b == null) {
      return MemorySegment.NULL;
    }
    MemorySegment m = a.allocate(Math.max(1, b.length));
    MemorySegment.copy(b, 0, m, ValueLayout.JAVA_BYTE, 0, b.length);
    return m;
  }

  private static RuntimeException fail(Throwable t) {
    return t instanceof RuntimeException r ? r : new IllegalStateException(t);
  }

  private void call(String name, FunctionDescriptor d, Object... args) {
    try {
      fn(name, d).invokeWithArguments(args);
    } catch (Throwable t) {
      throw fail(t);
    }
  }

  private int callInt(String name, FunctionDescriptor d, Object... args) {
    try {
      return (int) fn(name, d).invokeWithArguments(args);
    } catch (Throwable t) {
      throw fail(t);
    }
  }

  public void market(boolean on) { call("simMarket", FunctionDescriptor.ofVoid(I), on ? 1 : 0); }

  public void marketStep() { call("simMarketStep", FunctionDescriptor.ofVoid()); }

  public void setBook(String exchange, String commodity, String contract, double bid, double ask) {
    try (Arena a = Arena.ofConfined()) {
      call("simSetBook", FunctionDescriptor.ofVoid(P, P, P, D, D), text(a, exchange),
          text(a, commodity), text(a, contract), bid, ask);
    }
  }

  public void reset() { call("simReset", FunctionDescriptor.ofVoid()); }

  public void forceResult(String entry, int code) {
    try (Arena a = Arena.ofConfined()) {
      call("simForceResult", FunctionDescriptor.ofVoid(P, I), text(a, entry), code);
    }
  }

  public void clearResult(String entry) {
    try (Arena a = Arena.ofConfined()) {
      call("simClearResult", FunctionDescriptor.ofVoid(P), text(a, entry));
    }
  }

  public void setOutput(String entry, byte[] output) {
    try (Arena a = Arena.ofConfined()) {
      call("simSetOutput", FunctionDescriptor.ofVoid(P, P, I), text(a, entry), bytes(a, output),
          output.length);
    }
  }

  public void fault(String entry, int kind) {
    try (Arena a = Arena.ofConfined()) {
      call("simFault", FunctionDescriptor.ofVoid(P, I), text(a, entry), kind);
    }
  }

  /** The simulator's log to this file (appended), or to standard error for null. */
  public void logTo(String path) {
    try (Arena a = Arena.ofConfined()) {
      call("simLogTo", FunctionDescriptor.ofVoid(P), text(a, path));
    }
  }

  public void setErrorText(int code, String text) {
    try (Arena a = Arena.ofConfined()) {
      call("simSetErrorText", FunctionDescriptor.ofVoid(I, P), code, text(a, text));
    }
  }

  public void journalEnable(boolean on) {
    call("simJournalEnable", FunctionDescriptor.ofVoid(I), on ? 1 : 0);
  }

  public void journalClear() { call("simJournalClear", FunctionDescriptor.ofVoid()); }

  public int journalSize() { return callInt("simJournalSize", FunctionDescriptor.of(I)); }

  public String journalName(int call) {
    try (Arena a = Arena.ofConfined()) {
      MemorySegment out = a.allocate(256);
      int n = callInt("simJournalName", FunctionDescriptor.of(I, I, P, I), call, out, 256);
      return n < 0 ? null : out.getString(0, StandardCharsets.ISO_8859_1);
    }
  }

  public int journalArgCount(int call) {
    return callInt("simJournalArgCount", FunctionDescriptor.of(I, I), call);
  }

  /** An argument's bytes, or null for a null pointer. */
  public byte[] journalArg(int call, int arg) {
    FunctionDescriptor d = FunctionDescriptor.of(I, I, I, P, I);
    int length = callInt("simJournalArg", d, call, arg, MemorySegment.NULL, 0);
    if (length < 0) {
      return null;
    }
    try (Arena a = Arena.ofConfined()) {
      MemorySegment out = a.allocate(Math.max(1, length));
      callInt("simJournalArg", d, call, arg, out, length);
      return out.asSlice(0, length).toArray(ValueLayout.JAVA_BYTE);
    }
  }

  /** Index of the first call of entry at or after from, or -1. */
  public int journalFind(String entry, int from) {
    try (Arena a = Arena.ofConfined()) {
      return callInt("simJournalFind", FunctionDescriptor.of(I, P, I), text(a, entry), from);
    }
  }

  public int registeredCount() {
    return callInt("simRegisteredCount", FunctionDescriptor.of(I));
  }

  public boolean isRegistered(int id) {
    return callInt("simIsRegistered", FunctionDescriptor.of(I, I), id) != 0;
  }

  /** Fires one event now and waits until the bridge took it; -1 when id is not registered. */
  public int fire(int id, byte[] record) {
    try (Arena a = Arena.ofConfined()) {
      return callInt("simFire", FunctionDescriptor.of(I, I, P, I), id, bytes(a, record),
          record == null ? 0 : record.length);
    }
  }

  public int fireAsync(int id, byte[] record) {
    try (Arena a = Arena.ofConfined()) {
      return callInt("simFireAsync", FunctionDescriptor.of(I, I, P, I), id, bytes(a, record),
          record == null ? 0 : record.length);
    }
  }

  public int fireStream(int id, int length, int threads, int count) {
    return callInt("simFireStream", FunctionDescriptor.of(I, I, I, I, I), id, length, threads,
        count);
  }

  public void waitIdle() { call("simWaitIdle", FunctionDescriptor.ofVoid()); }

  /** True once every simulator thread has finished, false after ms milliseconds. */
  public boolean waitIdleFor(int ms) {
    return callInt("simWaitIdleFor", FunctionDescriptor.of(I, I), ms) != 0;
  }

  public void burst(String entry, int id, int length, int count) {
    try (Arena a = Arena.ofConfined()) {
      call("simBurst", FunctionDescriptor.ofVoid(P, I, I, I), text(a, entry), id, length, count);
    }
  }

  public int fireLocked(int id, int length, int count) {
    return callInt("simFireLocked", FunctionDescriptor.of(I, I, I, I), id, length, count);
  }

  public int firePaced(int id, int length, int rate, int count) {
    return callInt("simFirePaced", FunctionDescriptor.of(I, I, I, I, I), id, length, rate, count);
  }

  /** Lets go of the lookup; the library stays loaded while the bridge holds it. */
  @Override
  public void close() {
    arena.close();
  }
}
