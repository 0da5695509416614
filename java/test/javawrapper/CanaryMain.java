package javawrapper;

/**
 * Not part of the suite: run alone by run-canary.sh, it misuses JNI once so
 * that the gate's detection can be checked.
 */
public final class CanaryMain {
  private CanaryMain() {}

  private static native void misuse();

  public static void main(String[] args) {
    System.load(args[0]);
    try {
      misuse();
    } catch (IllegalStateException expected) {
      System.out.println("canary thrown");
    }
  }
}
