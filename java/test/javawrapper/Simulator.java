package javawrapper;

import java.nio.charset.StandardCharsets;

/**
 * The simulator's control surface, in the same process as the bridge. It
 * loads the simulator by the same file name as the bridge does, so both share
 * one instance. Reached through a small test-only JNI library that is clean
 * under -Xcheck:jni.
 */
public final class Simulator {
  // Not Bridge.BIN: that would load the bridge into this class's loader.
  private static final String BIN = System.getProperty("javawrapper.bin");

  static {
    System.load(BIN + "libsimcontrol.so");
  }

  private final long handle;

  private Simulator(long handle) {
    this.handle = handle;
  }

  /** The simulator file in the build's bin directory. */
  public static Simulator load(String file) {
    return loadPath(BIN + file);
  }

  /** The market starts off: entries answer with set outputs or a fixed pattern. */
  public static Simulator loadPath(String path) {
    long handle = HostControl.ON ? openHosted(path) : open(path);
    if (handle == 0) {
      throw new IllegalStateException("cannot load the simulator " + path);
    }
    market(handle, false);
    return new Simulator(handle);
  }

  /** The in-memory market: reference data, ticking prices, orders that fill. */
  public void market(boolean on) {
    market(handle, on);
  }

  public void reset() {
    reset(handle);
  }

  public void forceResult(String entry, int code) {
    forceResult(handle, entry, code);
  }

  public void clearResult(String entry) {
    clearResult(handle, entry);
  }

  public void setOutput(String entry, byte[] bytes) {
    setOutput(handle, entry, bytes);
  }

  public void setErrorText(int code, byte[] text) {
    setErrorText(handle, code, text);
  }

  public void clearJournal() {
    journalClear(handle);
  }

  public int journalSize() {
    return journalSize(handle);
  }

  public String name(int call) {
    return journalName(handle, call);
  }

  /** Index of the first call of entry at or after from, or -1. */
  public int find(String entry, int from) {
    return journalFind(handle, entry, from);
  }

  public int find(String entry) {
    return find(entry, 0);
  }

  /** The bytes of one argument of a journaled call; null for a null pointer. */
  public byte[] arg(int call, int arg) {
    return journalArg(handle, call, arg);
  }

  public String textArg(int call, int arg) {
    return new String(arg(call, arg), StandardCharsets.ISO_8859_1);
  }

  public int intArg(int call, int arg) {
    byte[] b = arg(call, arg);
    return (b[0] & 0xFF) | (b[1] & 0xFF) << 8 | (b[2] & 0xFF) << 16 | (b[3] & 0xFF) << 24;
  }

  /** How many arguments the journal holds for a call. */
  public int argCount(int call) {
    return journalArgCount(handle, call);
  }

  public int registeredCount() {
    return registeredCount(handle);
  }

  /** Fires from a simulator thread and waits until the bridge has queued it. */
  public int fire(int id, byte[] record) {
    return fire(handle, id, record, true);
  }

  public int fireAsync(int id, byte[] record) {
    return fire(handle, id, record, false);
  }

  /** count events of len bytes from each of threads threads; see control.h. */
  public int fireStream(int id, int len, int threads, int count) {
    return fireStream(handle, id, len, threads, count);
  }

  /** Every simulator thread has finished; fails naming the wait after a minute. */
  public void waitIdle() {
    if (!waitIdleFor(handle, 60_000)) {
      throw new AssertionError("the simulator's threads still ran after 60 s");
    }
  }

  /** kind 3 holds every call of entry until fault(entry, 0); see control.h. */
  public void fault(String entry, int kind) {
    fault(handle, entry, kind);
  }

  /** The next call of entry fires count events on the caller's thread first. */
  public void burst(String entry, int id, int len, int count) {
    burst(handle, entry, id, len, count);
  }

  /** count events from a thread that holds the lock every entry needs. */
  public int fireLocked(int id, int len, int count) {
    return fireLocked(handle, id, len, count);
  }

  private static native long open(String path);
  private static native long openHosted(long[] functions);

  /** The same file opened in the library host, reached through the bridge. */
  private static long openHosted(String path) {
    int target = HostControl.open(path);
    if (target < 0) return 0;
    String[] names = {"simReset", "simForceResult", "simClearResult", "simSetOutput",
        "simSetErrorText", "simJournalClear", "simJournalSize", "simJournalName", "simJournalArg",
        "simJournalFind", "simJournalArgCount", "simRegisteredCount", "simFire", "simFireAsync",
        "simFireStream", "simWaitIdleFor", "simFault", "simBurst", "simFireLocked", "simMarket"};
    long[] functions = new long[names.length];
    for (int i = 0; i < names.length; i++) functions[i] = HostControl.function(names[i], target);
    return openHosted(functions);
  }
  private static native void reset(long h);
  private static native void forceResult(long h, String entry, int code);
  private static native void clearResult(long h, String entry);
  private static native void setOutput(long h, String entry, byte[] bytes);
  private static native void setErrorText(long h, int code, byte[] text);
  private static native void journalClear(long h);
  private static native int journalSize(long h);
  private static native String journalName(long h, int call);
  private static native int journalFind(long h, String entry, int from);
  private static native byte[] journalArg(long h, int call, int arg);
  private static native int registeredCount(long h);
  private static native int journalArgCount(long h, int call);
  private static native int fire(long h, int id, byte[] record, boolean wait);
  private static native int fireStream(long h, int id, int len, int threads, int count);
  private static native boolean waitIdleFor(long h, int ms);
  private static native void market(long h, boolean on);
  private static native void fault(long h, String entry, int kind);
  private static native void burst(long h, String entry, int id, int len, int count);
  private static native int fireLocked(long h, int id, int len, int count);
}
