package javawrapper;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Run by TraceTest in a fresh JVM with JAVAWRAPPER_TRACE set.
 *
 * <p>{@code session <expect.json> <secret>...}: two sessions; the first with
 * secrets, numbers, a failing native, a known interval and events from several
 * library threads, described in expect.json for check_trace.py; the second a
 * short one that must get a file of its own. {@code burst}: calls without end,
 * until the test kills the JVM. {@code exit}: 2,000 calls, then an exit without
 * logoff. {@code short <expect.json>}: a pump buffer of 100 bytes, so the
 * logon status (event 3) is dropped and event 7 arrives, and a handler that
 * throws for event 9. {@code sweep <expect.json> <ClientAPI.java>}: every native the bridge
 * traces, once each, with arguments that differ by position; check_trace.py
 * reads their names and parameters from ClientAPI's own declarations.
 * {@code handlerLogsOff <id>}: the handler of event id logs off (and, for
 * 9, initialises again) while the event is being delivered.
 */
public final class TraceMain {
  private TraceMain() {}

  public static void main(String[] args) throws Exception {
    Simulator sim = Simulator.load("QUORAPI.DLL");
    Bridge bridge = new Bridge();
    byte[] record = new byte[33];
    if (args[0].equals("exit")) {
      System.out.println("initialise=" + bridge.initialise());
      for (int i = 0; i < 2000; ++i) {
        bridge.getExchange(i % 7, record);
      }
      System.exit(0);
    }
    if (args[0].equals("short")) {
      Bridge small = new Bridge(100);
      small.onEvent((b, e) -> {
        if (e.id == 9) {
          throw new IllegalStateException("handler-FAULT-9");
        }
      });
      System.out.println("initialise=" + small.initialise());
      small.startPump();
      System.out.println("logon=" + small.logon("u", "p", "t", true, false));
      small.expectEvents(1, 30_000);  // event 7; event 3 never arrives
      System.out.println("fire=" + sim.fire(9, new byte[82]));
      small.expectEvents(2, 30_000);
      System.out.println("events=" + small.events().stream().map(e -> e.id).toList());
      System.out.println("logoff=" + small.logoff());
      System.out.println("pumpReturned=" + small.pumpReturned(10_000));
      Files.write(Path.of(args[1]),
          ("{\"calls\":{\"initialise\":1,\"logon\":1,\"logoff\":1},\"events\":{\"7\":1},"
              + "\"dropped\":{\"3\":\"buffer holds 100 bytes\"},"
              + "\"threw\":{\"9\":\"IllegalStateException: handler-FAULT-9\"},"
              + "\"errors\":[\"record of event 3 (it must hold 514)\",\"handler-FAULT-9\"],"
              + "\"thread_names\":[\"main\"]}")
              .getBytes(StandardCharsets.UTF_8));
      return;
    }
    if (args[0].equals("handlerLogsOff")) {
      // The handler of event <id> logs off; for 9 it then initialises again.
      final int id = Integer.parseInt(args[1]);
      bridge.onEvent((b, e) -> {
        if (e.id == id) {
          System.out.println("logoffInHandler=" + b.logoff());
          if (id == 9) {
            System.out.println("initialiseInHandler=" + b.initialise());
          }
        }
      });
      System.out.println("initialise=" + bridge.initialise());
      bridge.startPump();
      System.out.println("fire=" + sim.fire(id, new byte[id == 6 ? 0 : 82]));
      bridge.expectPumpReturns(30_000);
      System.out.println("events=" + bridge.events().stream().map(e -> e.id).toList());
      System.out.println("logoff=" + bridge.logoff());
      return;
    }
    if (args[0].equals("shortLived")) {
      // Per session, a thread makes one call and ends just before logoff:
      // its rows must still carry its name. The files are <trace>.json,
      // then <trace>-2.json and on.
      String base = System.getenv("JAVAWRAPPER_TRACE").replace(".json", "");
      int unnamed = 0;
      for (int i = 1; i <= 20; ++i) {
        System.out.println("initialise=" + bridge.initialise());
        Thread.sleep(15);  // a pass of the writer first, so the call comes after it
        String name = "short-lived-" + i;
        Thread t = new Thread(() -> bridge.getExchange(5, new byte[33]), name);
        t.start();
        t.join();
        Thread.sleep(2);  // its end seen by the bridge
        System.out.println("logoff=" + bridge.logoff());
        String text = Files.readString(Path.of(i == 1 ? base + ".json" : base + "-" + i + ".json"));
        unnamed += text.contains("\"args\":{\"name\":\"" + name + "\"}") ? 0 : 1;
      }
      System.out.println("unnamed=" + unnamed);
      return;
    }
    if (args[0].equals("sweep")) {
      sweep(bridge, Path.of(args[1]), args[2]);
      return;
    }
    if (args[0].equals("burst")) {
      System.out.println("initialise=" + bridge.initialise());
      for (long i = 0;; ++i) {
        bridge.getExchange((int) (i % 7), record);
        if (i == 50_000) {
          System.out.println("bursting");
        }
      }
    }
    System.out.println("initialise=" + bridge.initialise());
    bridge.startPump();
    System.out.println("setMDSToken=" + bridge.setMDSToken(args[5]));
    System.out.println("logon=" + bridge.logon(args[2], args[3], args[4], true, false));
    long before = System.nanoTime();
    System.out.println("getExchange=" + bridge.getExchange(4, record));
    Thread.sleep(30);
    sim.forceResult("qrPurge", 7);
    System.out.println("purge=" + bridge.purge("p-one", "p-two"));
    long whole = (System.nanoTime() - before) / 1000;
    sim.fireStream(5, 27, 3, 500);
    sim.waitIdle();
    // The logon raised events of its own: the stream's are counted by id, so
    // the logoff never comes while some of the stream are still queued.
    long deadline = System.nanoTime() + 30_000_000_000L;
    for (long streamed; (streamed = bridge.events().stream().filter(e -> e.id == 5).count())
         < 1500;) {
      if (System.nanoTime() > deadline) {
        throw new AssertionError(streamed + " of 1500 stream events arrived within 30 s");
      }
      Thread.sleep(5);
    }
    System.out.println("logoff=" + bridge.logoff());
    System.out.println("pumpReturned=" + bridge.pumpReturned(10_000));
    Files.write(Path.of(args[1]),
        ("{\"secrets\":[\"" + args[2] + "\",\"" + args[3] + "\",\"" + args[4] + "\",\"" + args[5]
            + "\"],\"calls\":{\"initialise\":1,\"setMDSToken\":1,"
            + "\"logon\":1,\"getExchange\":1,\"purge\":1,\"logoff\":1},\"args\":{"
            + "\"getExchange\":{\"result\":0,\"index\":4,\"record\":33},"
            + "\"purge\":{\"result\":7,\"first\":\"p-one\",\"second\":\"p-two\"}},"
            + "\"events\":{\"5\":1500},\"gap\":[\"getExchange\",\"purge\",30000," + whole + "],"
            + "\"thread_names\":[\"main\",\"pump\"]}")
            .getBytes(StandardCharsets.UTF_8));
    // A reconnect: the same variable, a file of its own.
    System.out.println("initialise2=" + bridge.initialise());
    System.out.println("getExchange2=" + bridge.getExchange(6, record));
    System.out.println("logoff2=" + bridge.logoff());
  }

  /**
   * Every traced native once: the data families with the sweep's arguments
   * (each scalar's value written for the check), the session's with values
   * of their own. getErrorMessage and processCallbacks are no calls.
   */
  private static void sweep(Bridge bridge, Path expect, String declarations) throws Exception {
    java.util.Map<String, Integer> calls = new java.util.TreeMap<>();
    StringBuilder values = new StringBuilder();
    System.out.println("initialise=" + bridge.initialise());
    for (NativeTable.Row row : NativeTable.ROWS) {
      java.lang.reflect.Method m = NativeSweepTest.method(row.method);
      Object[] a = NativeSweepTest.arguments(m, true);
      m.invoke(bridge, a);
      calls.merge(row.method, 1, Integer::sum);
      values.append(values.length() == 0 ? "" : ",").append('"').append(row.method).append("\":[");
      for (int i = 0; i < a.length; i++) {
        Object v = a[i] instanceof Number || a[i] instanceof Boolean ? a[i] : null;
        values.append(i == 0 ? "" : ",").append(v);
      }
      values.append(']');
    }
    bridge.openConnections(new String[] {"h-1:41", "h-2:42"}, new String[] {"p-3:43"});
    bridge.logon("u-4", "p-5", "t-6", false, true);
    values.append(",\"logon\":[null,null,null,false,true]");
    bridge.purge("f-7", "s-8");
    bridge.closeConnections();
    bridge.APIBuildVersion(new byte[26]);
    bridge.lockUpdates();
    bridge.unlockUpdates();
    for (String name : new String[] {"initialise", "openConnections", "logon", "purge",
             "closeConnections", "APIBuildVersion", "lockUpdates", "unlockUpdates", "logoff"}) {
      calls.merge(name, 1, Integer::sum);
    }
    System.out.println("logoff=" + bridge.logoff());
    StringBuilder counts = new StringBuilder();
    calls.forEach((name, n) -> counts.append(counts.length() == 0 ? "" : ",")
        .append('"').append(name).append("\":").append(n));
    Files.write(expect,
        ("{\"calls\":{" + counts + "},\"values\":{" + values + "},\"declarations\":\""
            + declarations + "\"}")
            .getBytes(StandardCharsets.UTF_8));
  }
}
