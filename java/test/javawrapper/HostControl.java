package javawrapper;

/**
 * With JAVAWRAPPER_HOST=always the simulator the bridge uses lives in the
 * library host: the tests reach its control surface through the bridge,
 * which registers these natives when it loads and finds this class.
 */
final class HostControl {
  static final boolean ON = "always".equals(System.getenv("JAVAWRAPPER_HOST"));

  static {
    if (ON) {
      try {
        Class.forName("korvane.api.delphi.ClientAPI"); // loads the bridge, which registers us
      } catch (ClassNotFoundException e) {
        throw new ExceptionInInitializerError(e);
      }
    }
  }

  private HostControl() {}

  static native int open(String path);

  static native void close(int target);

  static native long function(String name, int target);
}
