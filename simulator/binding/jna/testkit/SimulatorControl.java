package testkit;

import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import java.nio.charset.StandardCharsets;

/**
 * The simulator's control surface (include/control.h) from Java through JNA,
 * for JDK 17 and later (jna.jar on the class path; on JDK 22 and later also
 * --enable-native-access=ALL-UNNAMED). The same methods as the FFM binding in
 * binding/ffm/. Open it after initialise, with the same full path
 * initialise loaded, so both share one simulator. Texts are 8-bit; every
 * method is safe from any thread.
 */
public final class SimulatorControl implements AutoCloseable {
  /** The C functions, with the C calling convention on every platform. */
  interface Control extends Library {
    void simMarket(int on);
    void simMarketStep();
    void simSetBook(byte[] exchange, byte[] commodity, byte[] contract, double bid, double ask);
    void simReset();
    void simForceResult(byte[] entry, int code);
    void simClearResult(byte[] entry);
    void simSetOutput(byte[] entry, byte[] bytes, int len);
    void simFault(byte[] entry, int kind);
    void simLogTo(byte[] path);
    void simSetErrorText(int code, byte[] text);
    void simJournalEnable(int on);
    void simJournalClear();
    int simJournalSize();
    int simJournalName(int call, byte[] out, int cap);
    int simJournalArgCount(int call);
    int simJournalArg(int call, int arg, byte[] out, int cap);
    int simJournalFind(byte[] entry, int from);
    int simRegisteredCount();
    int simIsRegistered(int id);
    int simFire(int id, byte[] bytes, int len);
    int simFireAsync(int id, byte[] bytes, int len);
    int simFireStream(int id, int len, int threads, int count);
    void simWaitIdle();
    int simWaitIdleFor(int ms);
    void simBurst(byte[] entry, int id, int len, int count);
    int simFireLocked(int id, int len, int count);
    int simFirePaced(int id, int len, int rate, int count);
  }

  private final Control c;

  private SimulatorControl(Control c) {
    this.c = c;
  }

  /** The simulator at this full path (the directory initialise was given plus QUORAPI.DLL). */
  public static SimulatorControl open(String path) {
    return new SimulatorControl(Native.load(path, Control.class));
  }

  /** A zero-terminated 8-bit text, or null. */
  private static byte[] text(String s) {
    if (s == null) {
      return null;
    }
    byte[] b = s.getBytes(StandardCharsets.ISO_8859_1);
    byte[] z = new byte[b.length + 1];
    System.arraycopy(b, 0, z, 0, b.length);
    return z;
  }

  public void market(boolean on) { c.simMarket(on ? 1 : 0); }

  public void marketStep() { c.simMarketStep(); }

  public void setBook(String exchange, String commodity, String contract, double bid, double ask) {
    c.simSetBook(text(exchange), text(commodity), text(contract), bid, ask);
  }

  public void reset() { c.simReset(); }

  public void forceResult(String entry, int code) { c.simForceResult(text(entry), code); }

  public void clearResult(String entry) { c.simClearResult(text(entry)); }

  public void setOutput(String entry, byte[] output) {
    c.simSetOutput(text(entry), output, output.length);
  }

  public void fault(String entry, int kind) { c.simFault(text(entry), kind); }

  /** The simulator's log to this file (appended), or to standard error for null. */
  public void logTo(String path) { c.simLogTo(text(path)); }

  public void setErrorText(int code, String text) { c.simSetErrorText(code, text(text)); }

  public void journalEnable(boolean on) { c.simJournalEnable(on ? 1 : 0); }

  public void journalClear() { c.simJournalClear(); }

  public int journalSize() { return c.simJournalSize(); }

  public String journalName(int call) {
    byte[] out = new byte[256];
    if (c.simJournalName(call, out, out.length) < 0) {
      return null;
    }
    int n = 0;
    while (n < out.length && out[n] != 0) {
      n++;
    }
    return new String(out, 0, n, StandardCharsets.ISO_8859_1);
  }

  public int journalArgCount(int call) { return c.simJournalArgCount(call); }

  /** An argument's bytes, or null for a null pointer. */
  public byte[] journalArg(int call, int arg) {
    int length = c.simJournalArg(call, arg, null, 0);
    if (length < 0) {
      return null;
    }
    byte[] out = new byte[length];
    c.simJournalArg(call, arg, out, length);
    return out;
  }

  /** Index of the first call of entry at or after from, or -1. */
  public int journalFind(String entry, int from) { return c.simJournalFind(text(entry), from); }

  public int registeredCount() { return c.simRegisteredCount(); }

  public boolean isRegistered(int id) { return c.simIsRegistered(id) != 0; }

  /** Fires one event now and waits until the bridge took it; -1 when id is not registered. */
  public int fire(int id, byte[] record) {
    return c.simFire(id, record, record == null ? 0 : record.length);
  }

  public int fireAsync(int id, byte[] record) {
    return c.simFireAsync(id, record, record == null ? 0 : record.length);
  }

  public int fireStream(int id, int length, int threads, int count) {
    return c.simFireStream(id, length, threads, count);
  }

  public void waitIdle() { c.simWaitIdle(); }

  /** True once every simulator thread has finished, false after ms milliseconds. */
  public boolean waitIdleFor(int ms) { return c.simWaitIdleFor(ms) != 0; }

  public void burst(String entry, int id, int length, int count) {
    c.simBurst(text(entry), id, length, count);
  }

  public int fireLocked(int id, int length, int count) { return c.simFireLocked(id, length, count); }

  public int firePaced(int id, int length, int rate, int count) {
    return c.simFirePaced(id, length, rate, count);
  }

  /** Nothing to let go: JNA keeps the library as long as the process does. */
  @Override
  public void close() {}
}
