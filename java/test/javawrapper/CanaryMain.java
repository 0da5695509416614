package javawrapper;

/**
 * Not part of the suite: run alone by run-canary.sh, once per kind, it
 * misuses JNI in that one way so that the gate's detection can be checked.
 */
public final class CanaryMain {
  private CanaryMain() {}

  private static native void pending();

  private static native void critical(byte[] array);

  private static native void localRefs();

  private static native void fatal();

  public static void main(String[] args) {
    System.load(args[0]);
    System.out.println("canary " + args[1]);
    switch (args[1]) {
      case "pending" -> {
        try {
          pending();
        } catch (IllegalStateException expected) {
          System.out.println("canary thrown");
        }
      }
      case "critical" -> critical(new byte[16]);
      case "localRefs" -> localRefs();
      case "fatal" -> fatal();
      default -> throw new IllegalArgumentException(args[1]);
    }
    System.out.println("canary done");
  }
}
