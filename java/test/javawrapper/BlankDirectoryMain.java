package javawrapper;

import korvane.api.delphi.ClientAPI;

/** Run in a fresh JVM by DirectoryTest: a session with blank directories. */
public final class BlankDirectoryMain {
  private BlankDirectoryMain() {}

  public static void main(String[] args) {
    String dir = args[0];
    ClientAPI api = new ClientAPI();
    System.out.println(
        "initialise=" + api.initialise(" ", "", false, false, false, "", (byte) 0, "", ""));
    // The simulator in that directory is the one the bridge loaded.
    Simulator sim = Simulator.loadPath(dir + "QUORAPI.DLL");
    int call = sim.find("qrSetClientPath");
    System.out.println("clientPath=" + (call < 0 ? "<none>" : sim.textArg(call, 0)));
    System.out.println("logoff=" + api.logoff());
  }
}
