package korvane.util.w32;

/** Finding, showing and moving windows, through the JavaWrapper native library. */
public class WinAPIImpl {
  public native int setWindowPos(int window, int insertAfter, int x, int y, int width, int height,
      int flags);
  public native int showWindow(int window, int command);
  /** The window handle, or 0 when none matches; an empty name matches any. */
  public native int findWindow(String className, String windowName);
  public native int findWindowEx(int parent, int childAfter, String className, String windowName);
}
