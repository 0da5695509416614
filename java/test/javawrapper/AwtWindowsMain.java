package javawrapper;

import java.awt.Frame;
import java.awt.Point;
import korvane.util.w32.WinAPIImpl;

/**
 * Run by WindowUtilitiesTest in a fresh JVM on a virtual display: the bridge
 * opens its display connection first, then AWT starts and installs its own
 * X error handler. The bridge must still see the errors of its own requests.
 */
public final class AwtWindowsMain {
  private AwtWindowsMain() {}

  static final String TITLE = "javawrapper AWT frame";
  static final int MISSING = 0x7ffffff0; // no X client owns this id

  public static void main(String[] args) throws Exception {
    new Bridge(); // ClientAPI loads the bridge
    WinAPIImpl windows = new WinAPIImpl();
    System.out.println("before=" + windows.findWindow(null, TITLE));
    Frame frame = new Frame(TITLE);
    frame.setBounds(50, 60, 200, 100);
    frame.setVisible(true);
    int found = 0;
    for (int i = 0; i < 200 && found == 0; i++) {
      Thread.sleep(25);
      found = windows.findWindow(null, TITLE);
    }
    System.out.println("found=" + (found != 0));
    // AWT places the frame itself once it is shown: move it only after that.
    for (int i = 0; i < 400 && !frame.isShowing(); i++) {
      Thread.sleep(25);
    }
    java.awt.Toolkit.getDefaultToolkit().sync();
    Thread.sleep(300);
    System.out.println("missingPos=" + windows.setWindowPos(MISSING, 0, 1, 2, 3, 4, 0));
    System.out.println("missingShow=" + windows.showWindow(MISSING, 5));
    System.out.println("move=" + windows.setWindowPos(found, 0, 120, 130, 0, 0, 0x0001));
    Point at = null;
    for (int i = 0; i < 400; i++) {
      Thread.sleep(25);
      at = frame.getLocationOnScreen();
      if (at.x == 120 && at.y == 130) {
        break;
      }
    }
    System.out.println("at=" + at.x + "," + at.y);
    frame.dispose();
    System.exit(0);
  }
}
