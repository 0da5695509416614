package javawrapper;

import korvane.api.delphi.ClientAPI;

/** Run in a fresh JVM by SignatureCheckTest against the front-end's own ClientAPI. */
public final class FrontEndMain {
  private FrontEndMain() {}

  public static void main(String[] args) {
    ClientAPI api = new ClientAPI();
    System.out.println("message55=" + api.getErrorMessage(55));
    System.out.println("initialise=" + api.initialise(args[0], "", false, false, true, "",
        (byte) 0, "", ""));
    System.out.println("logoff=" + api.logoff());
  }
}
