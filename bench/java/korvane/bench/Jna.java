package korvane.bench;

import com.sun.jna.Callback;
import com.sun.jna.CallbackThreadInitializer;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;

/** The simulator's entries reached through JNA direct mapping, as a front-end could. */
final class Jna {
  private Jna() {}

  static void bind(String simulatorPath) {
    Native.register(Jna.class, NativeLibrary.getInstance(simulatorPath));
  }

  static native int qrGetExchange(int index, byte[] record);

  static native int qrAddOrder(byte[] order, Pointer reserved);

  static native int qrSubscribePrice(String exchange, String commodity, String contract);

  static native int qrRegisterFillCallback(int id, RecordCallback callback);

  /** A record callback called on the simulator's own threads. */
  interface RecordCallback extends Callback {
    void invoke(Pointer record);
  }

  /** Keeps the simulator's threads attached between callbacks, as JNA advises. */
  static void keepAttached(RecordCallback callback) {
    Native.setCallbackThreadInitializer(callback, new CallbackThreadInitializer(true, false));
  }
}
