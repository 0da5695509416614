package korvane.api.delphi;

/**
 * A front-end's own declaration of the class, as some teams keep it: three
 * natives declared with other types than the bridge takes them (an int for a
 * boolean, a long for an int, a static method, an array returned), the rest as the bridge has
 * them, and one matching native to show the rest still work. The mismatched
 * ones answer 99 and call nothing.
 */
public class ClientAPI {
  static {
    System.load(System.getProperty("javawrapper.library"));
  }

  public void messageReceived(int id, int length) {}

  public native String getErrorMessage(int code);

  public native int initialise(String libraryDirectory, String clientPath, boolean demo,
      boolean test, boolean connectionStatus, String text1, byte initByte, String application,
      String text2);

  public native int logoff();

  public native int logon(String text1, String text2, String text3, boolean flag1, int flag2);

  public native int getExchange(long index, byte[] record);

  public static native int purge(String first, String second);

  public native int countExchanges(int[] count);

  // Declared to return an array: a refusal must read as null, not as a
  // reference made of 99.
  public native int[] countCommodities(int[] count);
}
