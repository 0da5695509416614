package korvane.bench;

/** The benchmark-only floors (bench/floor.cpp). */
public class Floor {
  static native int empty();

  static native int copy33(byte[] out);

  /** Calls messageReceived count times from native code on this thread. */
  native void relay(byte[] buffer, int count);

  long received;

  public void messageReceived(int id, int length) {
    received++;
  }
}
