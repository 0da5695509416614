package javawrapper;

import korvane.api.delphi.ClientAPI;

/**
 * Run in a fresh JVM by SignatureCheckTest against the front-end's own
 * ClientAPI: first with a missing library directory (args[0]), then with the
 * simulator's (args[1]), calling each mismatched native with values its own
 * declaration allows and asking the simulator which entries were called.
 */
public final class FrontEndMain {
  private FrontEndMain() {}

  public static void main(String[] args) {
    ClientAPI api = new ClientAPI();
    System.out.println("message55=" + api.getErrorMessage(55));
    System.out.println("initialise=" + api.initialise(args[0], "", false, false, true, "",
        (byte) 0, "", ""));
    System.out.println("logoff=" + api.logoff());
    System.out.println("loaded=" + api.initialise(args[1], "", false, false, true, "",
        (byte) 0, "", ""));
    Simulator sim = Simulator.load("QUORAPI.DLL");
    sim.clearJournal();
    System.out.println("logon=" + api.logon("user", "secret", "desk", true, 256));
    System.out.println("getExchange=" + api.getExchange(1L << 32, new byte[33]));
    System.out.println("purge=" + ClientAPI.purge("first", "second"));
    int[] count = {-1};
    System.out.println("countExchanges=" + api.countExchanges(count));
    System.out.println("countCommodities=" + api.countCommodities(count));
    for (String entry : new String[] {"qrLogOn", "qrGetExchange", "qrPurge",
        "qrCountExchanges"}) {
      System.out.println(entry + " called=" + (sim.find(entry) >= 0));
    }
    System.out.println("logoff=" + api.logoff());
  }
}
