package korvane.demo;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import korvane.api.delphi.ClientAPI;

/**
 * A console front-end that runs one trading session against the
 * demonstration market: log on, look around, watch prices, trade, and log
 * off. It shows how a front-end drives the bridge: one thread pumps events,
 * every native answers with a result code, records are decoded by the
 * front-end itself.
 *
 * <p>Options: --seconds N (how long to watch prices), --seed N (repeatable
 * prices), --quiet (only the summary).
 */
public final class TradingDemo {
  static final String[] CRUDE = {"NORDX", "CRUDE", "DEC26"};
  static final String[] WHEAT = {"ATLAS", "WHEAT", "DEC26"};
  static final String ACCOUNT = "DEMO1";
  static final Map<Integer, String> EVENT_NAMES = Map.of(3, "logon status", 7,
      "data download complete", 8, "price", 21, "depth", 5, "order change", 9, "fill", 15,
      "cancel failure", 4, "user message");

  /** What a run did, for the summary and for tests. */
  public static final class Summary {
    public final Map<Integer, Integer> eventsByKind = new TreeMap<>();
    public int nativeCalls;
    public final List<String> failures = new ArrayList<>();
    public boolean marketOrderFilled;
    public int filledQuantity;
    public int positionNet;
    public String averagePrice = "";
    public double profitAndLoss;
    public boolean limitOrderCancelled;

    public boolean ok() {
      return failures.isEmpty() && marketOrderFilled && limitOrderCancelled
          && positionNet == filledQuantity;
    }
  }

  private record Event(int id, byte[] record) {}

  /** The front-end's ClientAPI: copies each event out of the pump's buffer. */
  private static final class FrontEnd extends ClientAPI {
    final byte[] buffer = new byte[514];
    final BlockingQueue<Event> events = new LinkedBlockingQueue<>();

    @Override
    public void messageReceived(int id, int length) {
      events.add(new Event(id, java.util.Arrays.copyOf(buffer, length)));
    }
  }

  private final int seconds;
  private final long seed;
  private final boolean quiet;
  private final PrintStream out;
  private final boolean live;
  private final FrontEnd api = new FrontEnd();
  private final Summary summary = new Summary();
  private final Map<String, String> orderStatus = new TreeMap<>();

  public TradingDemo(int seconds, long seed, boolean quiet, PrintStream out) {
    this.seconds = seconds;
    this.seed = seed;
    this.quiet = quiet;
    this.out = out;
    this.live = !quiet && System.console() != null && out == System.out;
  }

  public static void main(String[] args) throws Exception {
    int seconds = 5;
    long seed = 42;
    boolean quiet = false;
    for (int i = 0; i < args.length; i++) {
      switch (args[i]) {
        case "--seconds" -> seconds = Integer.parseInt(args[++i]);
        case "--seed" -> seed = Long.parseLong(args[++i]);
        case "--quiet" -> quiet = true;
        default -> {
          System.err.println("usage: TradingDemo [--seconds N] [--seed N] [--quiet]");
          System.exit(2);
        }
      }
    }
    Summary summary = new TradingDemo(seconds, seed, quiet, System.out).run();
    System.exit(summary.ok() ? 0 : 1);
  }

  private void say(String format, Object... args) {
    if (!quiet) {
      out.printf(Locale.ROOT, format + "%n", args);
    }
  }

  /** Counts the call; a code other than 0 is a failed step, with its text. */
  private int call(String what, int code) {
    summary.nativeCalls++;
    if (code != 0) {
      summary.failures.add(what + " returned " + code + ": " + api.getErrorMessage(code));
    }
    return code;
  }

  /** Handles events until one matches, or the time is up. */
  private boolean await(Predicate<Event> wanted, long millis) throws InterruptedException {
    long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
    while (true) {
      long left = deadline - System.nanoTime();
      Event e = left > 0 ? api.events.poll(left, TimeUnit.NANOSECONDS) : null;
      if (e == null) {
        return false;
      }
      handle(e);
      if (wanted.test(e)) {
        return true;
      }
    }
  }

  private void handle(Event e) {
    summary.eventsByKind.merge(e.id(), 1, Integer::sum);
    switch (e.id()) {
      case 5 -> {
        String id = Records.text(e.record(), 0, 21);
        String status = String.valueOf((char) e.record()[21]);
        orderStatus.put(id, status);
        say("  order %s: %s, %d filled", id, statusName(status), Records.integer(e.record(), 22));
      }
      case 9 -> {
        int quantity = Records.integer(e.record(), 42);
        say("  fill  %s: %d at %s (order %s)", Records.text(e.record(), 0, 21), quantity,
            Records.text(e.record(), 46, 21), Records.text(e.record(), 21, 21));
      }
      case 15 -> say("  cancel refused for %s", Records.text(e.record(), 0, 21));
      default -> {
        // prices are shown by the price table; the rest only counted
      }
    }
  }

  private static String statusName(String status) {
    return switch (status) {
      case "Q" -> "queued";
      case "W" -> "working";
      case "P" -> "partly filled";
      case "F" -> "filled";
      case "C" -> "cancelled";
      default -> status;
    };
  }

  private boolean isOrder(Event e, String id, String status) {
    return e.id() == 5 && Records.text(e.record(), 0, 21).equals(id)
        && status.indexOf((char) e.record()[21]) >= 0;
  }

  /** The id of the most recent order with this client reference, or null. */
  private String orderWithReference(String reference) throws InterruptedException {
    for (int attempt = 0; attempt < 100; attempt++) {
      int[] count = new int[1];
      call("countOrders", api.countOrders(count));
      for (int i = count[0] - 1; i >= 0; i--) {
        byte[] order = new byte[1410];
        if (call("getOrder", api.getOrder(i, order)) == 0
            && Records.text(order, 137, 21).equals(reference)) {
          return Records.text(order, 0, 21);
        }
      }
      await(e -> false, 50);
    }
    return null;
  }

  private String[] prices(String[] key) {
    byte[] r = new byte[2412];
    call("getContractPrices", api.getContractPrices(key[0], key[1], key[2], r));
    return new String[] {Records.text(r, 73, 21), Records.text(r, 94, 21),
        Records.text(r, 115, 21), String.valueOf(Records.integer(r, 144))};
  }

  private String priceLine(String[] key) {
    String[] p = prices(key);
    return String.format(Locale.ROOT, "  %-6s %-7s %-6s  bid %9s  ask %9s  last %9s  volume %5s",
        key[0], key[1], key[2], p[0], p[1], p[2], p[3]);
  }

  public Summary run() throws Exception {
    say("Demonstration session (seed %d)", seed);
    if (call("initialise", api.initialise("", "", true, false, true, "seed=" + seed, (byte) 0,
        "TradingDemo", "")) != 0) {
      return summary;
    }
    Thread pump = new Thread(() -> api.processCallbacks(api.buffer), "event-pump");
    pump.setDaemon(true);
    pump.start();
    try {
      session();
    } finally {
      call("logoff", api.logoff());
      pump.join(10_000);
      if (pump.isAlive()) {
        summary.failures.add("the event pump did not stop after logoff");
      }
    }
    printSummary();
    return summary;
  }

  private void session() throws Exception {
    call("openConnections", api.openConnections(new String[] {"demo-host:9001"},
        new String[] {"demo-prices:9002"}));
    call("logon", api.logon(ACCOUNT, "demo", "", true, true));
    if (!await(e -> e.id() == 3, 10_000) || !await(e -> e.id() == 7, 10_000)) {
      summary.failures.add("no logon status and data download within 10 seconds");
      return;
    }
    say("Logged on as %s.", ACCOUNT);

    int[] count = new int[1];
    call("countExchanges", api.countExchanges(count));
    say("Exchanges (%d):", count[0]);
    for (int i = 0; i < count[0]; i++) {
      byte[] r = new byte[33];
      call("getExchange", api.getExchange(i, r));
      say("  %-6s %-4s %s", Records.text(r, 0, 11), Records.text(r, 11, 4), Records.text(r, 15, 18));
    }
    call("countContracts", api.countContracts(count));
    say("Contracts (%d):", count[0]);
    for (int i = 0; i < count[0]; i++) {
      byte[] r = new byte[1107];
      call("getContract", api.getContract(i, r));
      say("  %-6s %-7s %-10s %s expires %s", Records.text(r, 0, 11), Records.text(r, 11, 11),
          Records.text(r, 22, 51), r[73] == 'O' ? "option" : "future", Records.text(r, 74, 11));
    }

    call("subscribe", api.subscribe(CRUDE[0], CRUDE[1], CRUDE[2]));
    call("subscribe", api.subscribe(WHEAT[0], WHEAT[1], WHEAT[2]));
    watchPrices();

    // A limit order below the market rests; amended, it still rests.
    String bid = prices(CRUDE)[0];
    double restingPrice = Double.parseDouble(bid) - 0.50;
    say("Buying 5 %s %s at %.2f (below the market: it rests).", CRUDE[1], CRUDE[2], restingPrice);
    call("addOrder", api.addOrder(Records.newOrder(CRUDE, ACCOUNT, 'B', 'L', 5,
        String.format(Locale.ROOT, "%.2f", restingPrice), "DEMO-LIMIT")));
    String limitId = orderWithReference("DEMO-LIMIT");
    if (limitId == null || !await(e -> isOrder(e, limitId, "W"), 5_000)) {
      summary.failures.add("the limit order did not start working");
      return;
    }
    say("Amending %s to 6 at %.2f.", limitId, restingPrice + 0.10);
    call("amendOrder", api.amendOrder(limitId,
        Records.amend(6, String.format(Locale.ROOT, "%.2f", restingPrice + 0.10))));
    await(e -> isOrder(e, limitId, "W"), 5_000);

    // A market order fills against the book, in parts.
    say("Buying 8 %s %s at the market.", CRUDE[1], CRUDE[2]);
    call("addOrder", api.addOrder(Records.newOrder(CRUDE, ACCOUNT, 'B', 'M', 8, "", "DEMO-MKT")));
    String marketId = orderWithReference("DEMO-MKT");
    summary.marketOrderFilled = marketId != null && await(e -> isOrder(e, marketId, "F"), 10_000);
    if (!summary.marketOrderFilled) {
      summary.failures.add("the market order did not fill");
    }

    call("countFills", api.countFills(count));
    for (int i = 0; i < count[0]; i++) {
      byte[] fill = new byte[473];
      call("getFill", api.getFill(i, fill));
      summary.filledQuantity += (fill[115] == 'B' ? 1 : -1) * Records.integer(fill, 116);
    }
    byte[] position = new byte[29];
    call("openPosition", api.openPosition(ACCOUNT, CRUDE[0], CRUDE[1], CRUDE[2], position));
    summary.positionNet = Records.integer(position, 0);
    summary.averagePrice = Records.text(position, 4, 21);
    double[] value = new double[1];
    call("pLBurnRate", api.pLBurnRate(ACCOUNT, "", "", "", value));
    summary.profitAndLoss = value[0];
    call("buyingPowerRemaining", api.buyingPowerRemaining(ACCOUNT, "", "", "", value));
    say("Position in %s %s: %d at an average of %s; profit and loss %.2f; buying power left %.2f.",
        CRUDE[1], CRUDE[2], summary.positionNet, summary.averagePrice, summary.profitAndLoss,
        value[0]);

    say("Cancelling what is left: %s.", limitId);
    call("cancelOrder", api.cancelOrder(limitId));
    summary.limitOrderCancelled = await(e -> isOrder(e, limitId, "C"), 5_000);
    if (!summary.limitOrderCancelled) {
      summary.failures.add("the limit order was not cancelled");
    }
    call("unsubscribe", api.unsubscribe(CRUDE[0], CRUDE[1], CRUDE[2]));
    call("unsubscribe", api.unsubscribe(WHEAT[0], WHEAT[1], WHEAT[2]));
  }

  /** Prices for a few seconds: a live table on a terminal, plain lines otherwise. */
  private void watchPrices() throws InterruptedException {
    say("Prices for %d seconds:", seconds);
    long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
    boolean first = true;
    while (System.nanoTime() < end) {
      await(e -> false, live ? 250 : 1_000);
      if (quiet) {
        continue;
      }
      if (live && !first) {
        out.print("\033[2A");  // back over the two lines of the table
      }
      out.println(priceLine(CRUDE) + (live ? "\033[K" : ""));
      out.println(priceLine(WHEAT) + (live ? "\033[K" : ""));
      first = false;
    }
  }

  private void printSummary() {
    out.println("Summary:");
    for (Map.Entry<Integer, Integer> e : summary.eventsByKind.entrySet()) {
      out.printf(Locale.ROOT, "  %6d %s events%n", e.getValue(),
          EVENT_NAMES.getOrDefault(e.getKey(), "id " + e.getKey()));
    }
    out.printf(Locale.ROOT, "  %6d native calls%n", summary.nativeCalls);
    if (summary.failures.isEmpty()) {
      out.println("  every call returned 0");
    } else {
      for (String failure : summary.failures) {
        out.println("  FAILED: " + failure);
      }
    }
    out.println(summary.ok() ? "Session complete." : "Session FAILED.");
  }
}
