package korvane.util;

/** The cursor position, through the JavaWrapper native library. */
public class BasicWinAPIImpl {
  /** Element 0 receives x, element 1 receives y, in screen coordinates. */
  public native int getCursorPos(int[] point);
}
