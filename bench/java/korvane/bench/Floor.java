package korvane.bench;

/** The benchmark-only floors (bench/floor.cpp). */
public class Floor {
  static native int empty();

  static native int copy33(byte[] out);

  /** Finds the measured entries in the (stand-in) library at path. */
  static native boolean bind(String path);

  /** getExchange's JNI work and the same entry, with no frame. */
  static native int getExchange(int index, byte[] out);

  /** addOrder's JNI work and the same entry, with no frame. */
  static native int addOrder(byte[] order);

  /** subscribe's JNI work and the same entry, with no frame. */
  static native int subscribe(String exchange, String commodity, String contract);

  /** Calls messageReceived count times from native code on this thread. */
  native void relay(byte[] buffer, int count);

  /** Live bytes of the C heap (the allocator's own count). */
  static native long heapBytes();

  final byte[] buffer = new byte[514];
  volatile long received;
  long checksum;

  /** The same work per event as the bridge's and JNA's handlers. */
  public void messageReceived(int id, int length) {
    checksum += buffer[4];
    received++;
  }
}
