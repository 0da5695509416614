package korvane.bench;

import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.LongAdder;
import korvane.api.delphi.ClientAPI;

/**
 * The bridge measured against what a front-end would use instead: JNA direct
 * mapping and callbacks, and benchmark-only JNI floors, on the same simulator
 * in one run. Prints one table and writes it as Markdown and JSON.
 *
 * <p>Usage: Bench <bin dir> <output dir> [--smoke]
 */
public final class Bench {
  /** The simulator's control surface (bench only: JNA, no -Xcheck:jni here). */
  public interface Control extends Library {
    void simMarket(int on);

    void simJournalEnable(int on);

    int simFireStream(int id, int len, int threads, int count);

    int simFirePaced(int id, int len, int rate, int count);

    void simWaitIdle();
  }

  /**
   * The front-end side of the relay. Every handler the relay rows compare
   * (this one, the floor's and JNA's) does the same work per event: it reads
   * the record's sequence number and counts the event.
   */
  static class Sink extends ClientAPI {
    final byte[] buffer = new byte[514];
    volatile long received;
    long checksum;

    @Override
    public void messageReceived(int id, int length) {
      checksum += buffer[4];
      received++;
    }
  }

  /** The latency runs' front-end: the producer's clock is in bytes 8-15. */
  static final class TimingSink extends Sink {
    long[] latencies = new long[0];
    int count;

    @Override
    public void messageReceived(int id, int length) {
      long sent = 0;
      for (int i = 7; i >= 0; i--) {
        sent = (sent << 8) | (buffer[8 + i] & 0xFF);
      }
      if (count < latencies.length) {
        latencies[count++] = System.nanoTime() - sent;
      }
      received++;
    }
  }

  /** One figure of the table, measured again in every round. */
  interface Sample {
    double take() throws Exception;
  }

  /** A row: its round medians, and the median of those with their spread. */
  static final class Measure {
    final String group;
    final String name;
    final String unit;
    final String note;
    final Sample sample;
    final int perRound;
    final List<Double> rounds = new ArrayList<>();

    Measure(String group, String name, String unit, String note, Sample sample, int perRound) {
      this.group = group;
      this.name = name;
      this.unit = unit;
      this.note = note;
      this.sample = sample;
      this.perRound = perRound;
    }

    double median() {
      return Bench.median(rounds);
    }

    String roundList(String separator, String format) {
      StringBuilder list = new StringBuilder();
      for (double v : rounds) {
        list.append(list.length() == 0 ? "" : separator).append(String.format(Locale.ROOT, format, v));
      }
      return list.toString();
    }

    /** (max - min) / median of the round medians, in percent. */
    double spread() {
      double m = median();
      return m == 0 ? 0 : 100 * (Collections.max(rounds) - Collections.min(rounds)) / m;
    }
  }

  static double median(List<Double> values) {
    List<Double> v = new ArrayList<>(values);
    Collections.sort(v);
    int n = v.size();
    return n % 2 == 1 ? v.get(n / 2) : (v.get(n / 2 - 1) + v.get(n / 2)) / 2;
  }

  private final List<Measure> measures = new ArrayList<>();
  private final boolean smoke;
  private final int samples;
  private final int rounds;
  /** Rows whose round medians differ by more than this are flagged. */
  static final double SPREAD_LIMIT = 10.0;

  private Bench(boolean smoke, int rounds) {
    this.smoke = smoke;
    this.samples = smoke ? 3 : 7;
    this.rounds = rounds;
  }

  /** One round: every row warmed up, sampled, and its median kept. */
  private void round() throws Exception {
    for (Measure m : measures) {
      m.sample.take();  // warm-up
      double[] s = new double[m.perRound];
      for (int i = 0; i < s.length; i++) {
        s[i] = m.sample.take();
      }
      Arrays.sort(s);
      m.rounds.add(s[s.length / 2]);
      System.out.printf(Locale.ROOT, "  %-50s %14.1f %s%n", m.name, s[s.length / 2], m.unit);
    }
  }

  private Measure measure(String group, String name, String unit, String note, Sample sample) {
    Measure m = new Measure(group, name, unit, note, sample, samples);
    measures.add(m);
    return m;
  }

  /** Nanoseconds per call of body, which makes calls calls. */
  private Measure downcall(String name, int calls, Runnable body) {
    return measure("downcall", name, "ns/call", "", () -> {
      long start = System.nanoTime();
      body.run();
      return (System.nanoTime() - start) / (double) calls;
    });
  }

  private static void await(Sink sink, long total) throws InterruptedException {
    long deadline = System.currentTimeMillis() + 300_000;
    while (sink.received < total && System.currentTimeMillis() < deadline) {
      Thread.sleep(1);
    }
    if (sink.received < total) {
      throw new IllegalStateException("events lost: " + sink.received + " of " + total);
    }
  }

  public static void main(String[] args) throws Exception {
    String bin = args[0];
    Path out = Paths.get(args[1]);
    boolean smoke = Arrays.asList(args).contains("--smoke");
    int rounds = Integer.getInteger("bench.rounds", 3);
    Bench bench = new Bench(smoke, smoke ? 1 : Math.max(3, rounds));
    if (Arrays.asList(args).contains("--traced")) {
      bench.runTraced(bin, out);
    } else {
      bench.run(bin, out);
    }
  }

  /**
   * The cost of tracing: getExchange and the 4-producer relay in a JVM whose
   * JAVAWRAPPER_TRACE is set, in the mode JAVAWRAPPER_TRACE_MODE names,
   * written to traced-<mode>.txt for the main run's table.
   */
  private void runTraced(String bin, Path out) throws Exception {
    String mode = "ring".equals(System.getenv("JAVAWRAPPER_TRACE_MODE")) ? "ring" : "all";
    String lib = bin + "standin/";
    Control control = Native.load(lib + "QUORAPI.DLL", Control.class);
    Sink sink = new Sink();
    check(sink.initialise(lib, "", false, false, true, "", (byte) 0, "", ""), "initialise");
    Thread pump = new Thread(() -> sink.processCallbacks(sink.buffer), "pump");
    pump.setDaemon(true);
    pump.start();
    int calls = smoke ? 1_000 : 1_000_000;
    int events = smoke ? 20_000 : 2_000_000;
    byte[] exchange = new byte[33];
    downcall("bridge getExchange (33 out), traced (" + mode + ")", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(sink.getExchange(1, exchange));
      }
    });
    measure("relay", "bridge, 4 producer threads, traced (" + mode + ")", "M events/s", "",
        () -> relay(control, sink, 4, events) / 1e6);
    for (int r = 0; r < rounds; r++) {
      round();
    }
    check(sink.logoff(), "logoff");
    pump.join(10_000);
    StringBuilder lines = new StringBuilder();
    for (Measure m : measures) {
      String list = m.roundList(",", "%.3f");
      lines.append(m.group).append('|').append(m.name).append('|').append(m.unit).append('|')
          .append(list).append('\n');
    }
    Files.createDirectories(out);
    Files.writeString(out.resolve("traced-" + mode + ".txt"), lines.toString());
    System.out.println("traced rows written to " + out.resolve("traced-" + mode + ".txt"));
  }

  private static void ok(int code) {
    if (code != 0) {
      throw new IllegalStateException("a timed call returned " + code);
    }
  }

  private void run(String bin, Path out) throws Exception {
    // Every row runs against the stand-in library, whose entries do almost
    // nothing: a row is the bridge (or JNA, or a floor) and a near-empty entry.
    String lib = bin + "standin/";
    System.load(bin + "libbenchfloor.so");
    Control control = Native.load(lib + "QUORAPI.DLL", Control.class);
    control.simMarket(0);
    control.simJournalEnable(0);
    Jna.bind(lib + "QUORAPI.DLL");
    if (!Floor.bind(lib + "QUORAPI.DLL")) {
      throw new IllegalStateException("the floor cannot find its entries");
    }
    Sink sink = new Sink();
    check(sink.initialise(lib, "", false, false, true, "", (byte) 0, "", ""), "initialise");

    // Every timed call's result is checked, in every row alike.
    int calls = smoke ? 1_000 : 1_000_000;
    byte[] exchange = new byte[33];
    byte[] order = new byte[957];
    Measure floorEmpty = downcall("floor: empty JNI native", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Floor.empty());
      }
    });
    Measure floorCopy = downcall("floor: 33-byte copy native", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Floor.copy33(exchange));
      }
    });
    // Each native beside its floor: the same JNI work and the same entry of
    // the stand-in library, with no frame around it.
    Measure floorExchange = downcall("floor: getExchange's work, no frame (33 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Floor.getExchange(1, exchange));
      }
    });
    Measure bridgeExchange = downcall("bridge getExchange (33 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(sink.getExchange(1, exchange));
      }
    });
    Measure jnaExchange = downcall("JNA qrGetExchange (33 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Jna.qrGetExchange(1, exchange));
      }
    });
    Measure floorOrder = downcall("floor: addOrder's work, no frame (957 in)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Floor.addOrder(order));
      }
    });
    Measure bridgeOrder = downcall("bridge addOrder (957 in)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(sink.addOrder(order));
      }
    });
    downcall("JNA qrAddOrder (957 in)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Jna.qrAddOrder(order, Pointer.NULL));
      }
    });
    Measure floorSubscribe = downcall("floor: subscribe's work, no frame (3 fixed fields)", calls,
        () -> {
          for (int i = 0; i < calls; i++) {
            ok(Floor.subscribe("NORDX", "CRUDE", "DEC26"));
          }
        });
    Measure bridgeSubscribe = downcall("bridge subscribe (3 fixed fields)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(sink.subscribe("NORDX", "CRUDE", "DEC26"));
      }
    });
    downcall("JNA qrSubscribePrice (3 strings)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Jna.qrSubscribePrice("NORDX", "CRUDE", "DEC26"));
      }
    });

    // Event relay: events per second into messageReceived, each row warmed
    // up in every round like the others.
    Thread pump = new Thread(() -> sink.processCallbacks(sink.buffer), "pump");
    pump.setDaemon(true);
    pump.start();
    int events = smoke ? 20_000 : 2_000_000;
    Measure relayOne = measure("relay", "bridge, 1 producer thread", "M events/s",
        "in order, one Java thread", () -> relay(control, sink, 1, events) / 1e6);
    Measure relayFour = measure("relay", "bridge, 4 producer threads", "M events/s",
        "in order, one Java thread", () -> relay(control, sink, 4, events) / 1e6);
    Floor floor = new Floor();
    Measure relayFloor = measure("relay", "floor: SetByteArrayRegion + CallVoidMethodA",
        "M events/s", "one Java thread, no producers", () -> {
          long start = System.nanoTime();
          floor.relay(floor.buffer, events);
          return events / ((System.nanoTime() - start) / 1e9) / 1e6;
        });
    // JNA's callback path: the same simulator threads call Java directly.
    LongAdder jnaReceived = new LongAdder();
    long[] jnaChecksum = new long[1];
    Jna.RecordCallback callback = record -> {
      jnaChecksum[0] += record.getByte(4);  // racy on purpose: the same work, no lock
      jnaReceived.increment();
    };
    Jna.keepAttached(callback);
    // Registered for the fill id, so the bridge keeps the order id and the
    // rows can take turns.
    check(Jna.qrRegisterFillCallback(9, callback), "JNA registration");
    Measure relayJna = measure("relay", "JNA callback, 4 producer threads", "M events/s",
        "on the producers' threads, unordered", () -> {
          long target = jnaReceived.sum() + events;
          long start = System.nanoTime();
          check(control.simFireStream(9, 27, 4, events / 4), "simFireStream");
          control.simWaitIdle();
          double rate = events / ((System.nanoTime() - start) / 1e9) / 1e6;
          if (jnaReceived.sum() < target) {
            throw new IllegalStateException("JNA lost events");
          }
          return rate;
        });

    // Latency at a fixed rate, the producer sleeping between events: one
    // paced run per round on a pump of its own; each percentile is the
    // median over the rounds.
    TimingSink timing = new TimingSink();
    int paced = smoke ? 2_000 : 100_000;
    List<double[]> latencyRounds = new ArrayList<>();

    for (int r = 0; r < rounds; r++) {
      System.out.printf(Locale.ROOT, "round %d of %d%n", r + 1, rounds);
      round();
      check(sink.logoff(), "logoff");
      pump.join(10_000);
      latencyRounds.add(latency(control, timing, lib, paced));
      check(sink.initialise(lib, "", false, false, true, "", (byte) 0, "", ""), "initialise");
      check(Jna.qrRegisterFillCallback(9, callback), "JNA registration");
      pump = new Thread(() -> sink.processCallbacks(sink.buffer), "pump");
      pump.setDaemon(true);
      pump.start();
    }
    String[] percentiles = {"p50", "p99", "p99.9"};
    double[] latencies = new double[3];
    for (int k = 0; k < 3; k++) {
      Measure m = new Measure("latency", "producer to messageReceived at 20,000/s, " + percentiles[k],
          "us", paced + " paced events a round", null, 1);
      for (double[] l : latencyRounds) {
        m.rounds.add(l[k]);
      }
      measures.add(m);
      latencies[k] = m.median();
    }

    // Memory: the C heap's live bytes (the bridge's queue included) before
    // and after ten million events at full speed, after a warm-up run.
    int memoryEvents = smoke ? 50_000 : 10_000_000;
    relay(control, sink, 4, memoryEvents / 10);
    long heapBefore = Floor.heapBytes();
    relay(control, sink, 4, memoryEvents);
    long heapGrowth = Floor.heapBytes() - heapBefore;
    Measure memory = new Measure("memory", "C heap growth over " + memoryEvents + " events",
        "KiB", "live bytes from the allocator, one run", null, 1);
    memory.rounds.add(heapGrowth / 1024.0);
    measures.add(memory);

    // Idle: the pump's own CPU time over a second with nothing to deliver.
    Thread.sleep(200);
    var threads = java.lang.management.ManagementFactory.getThreadMXBean();
    long cpuBefore = threads.getThreadCpuTime(pump.getId());
    Thread.sleep(1000);
    double idleMs = (threads.getThreadCpuTime(pump.getId()) - cpuBefore) / 1e6;
    Measure idle = new Measure("idle", "pump CPU time over 1 s with no events", "ms",
        "one run", null, 1);
    idle.rounds.add(idleMs);
    measures.add(idle);
    check(sink.logoff(), "logoff");
    pump.join(10_000);

    // The guard alone, from the C++ microbenchmark run just before this JVM.
    Path guardFile = out.resolve("guard.txt");
    if (Files.exists(guardFile)) {
      String[] words = Files.readString(guardFile).trim().split(" ");
      Measure guard = new Measure("downcall", "the loaded guard alone: enter and leave (C++)",
          "ns", "median of 7, one run", null, 1);
      guard.rounds.add(Double.parseDouble(words[1]));
      measures.add(guard);
    }

    // The FFM peer's rows and the traced rows, each from a JVM of its own
    // run just before this one.
    List<Measure> traced = new ArrayList<>();
    for (String extra : new String[] {"ffm.txt", "traced-all.txt", "traced-ring.txt"}) {
      Path extraFile = out.resolve(extra);
      if (!Files.exists(extraFile)) {
        continue;
      }
      for (String line : Files.readAllLines(extraFile)) {
        String[] f = line.split("\\|");
        Measure m = new Measure(f[0], f[1], f[2],
            extra.startsWith("ffm") ? "own JVM, JDK 22+" : "own JVM, JAVAWRAPPER_TRACE set", null,
            1);
        for (String v : f[3].split(",")) {
          m.rounds.add(Double.parseDouble(v));
        }
        measures.add(m);
        if (extra.startsWith("traced")) {
          traced.add(m);
        }
      }
    }

    // The targets, as ratios of the medians in this run.
    List<String> targets = new ArrayList<>();
    for (Measure[] pair : new Measure[][] {{bridgeExchange, floorExchange},
        {bridgeOrder, floorOrder}, {bridgeSubscribe, floorSubscribe}}) {
      double ratio = pair[0].median() / pair[1].median();
      targets.add(target(pair[0].name + " within 1.25x of its floor", ratio <= 1.25, ratio, "x"));
    }
    double exchange1 = bridgeExchange.median();
    targets.add(target("getExchange at least 3x faster than JNA",
        jnaExchange.median() >= 3 * exchange1, jnaExchange.median() / exchange1, "x"));
    double four = relayFour.median();
    double one = relayOne.median();
    double floorRate = relayFloor.median();
    targets.add(target("relay, 4 producers, at least 0.75 of the floor",
        four >= 0.75 * floorRate, four / floorRate, "of floor"));
    targets.add(target("relay, 4 producers, at least 1.5x JNA callbacks",
        four >= 1.5 * relayJna.median(), four / relayJna.median(), "x JNA"));
    targets.add(target("relay, 1 producer, at least 0.75 of the floor",
        one >= 0.75 * floorRate, one / floorRate, "of floor"));
    targets.add(target("latency p99 under 20 us at 20,000 events/s", latencies[1] < 20,
        latencies[1], "us"));
    targets.add(target("latency p99.9 under 100 us at 20,000 events/s", latencies[2] < 100,
        latencies[2], "us"));
    targets.add(target("C heap growth under 1 MiB over the memory run", heapGrowth < (1 << 20),
        heapGrowth / 1024.0, "KiB"));
    targets.add(target("idle pump under 5 ms of CPU over 1 s", idleMs < 5, idleMs, "ms"));
    // Tracing cheap enough to leave on, in each mode measured.
    for (Measure m : traced) {
      if (m.group.equals("relay")) {
        double share = m.median() / four;
        targets.add(target(m.name + " at least 0.5 of untraced", share >= 0.5, share,
            "of untraced"));
      } else {
        double ratio = m.median() / exchange1;
        targets.add(target(m.name + " within 2x of untraced", ratio <= 2, ratio, "x"));
      }
    }
    System.out.printf(Locale.ROOT, "(floor: empty JNI native %.1f ns, 33-byte copy %.1f ns)%n",
        floorEmpty.median(), floorCopy.median());
    write(out, targets);
  }

  /** One paced run on a session of its own; returns p50, p99 and p99.9 in microseconds. */
  private static double[] latency(Control control, TimingSink timing, String bin, int paced)
      throws Exception {
    check(timing.initialise(bin, "", false, false, true, "", (byte) 0, "", ""), "initialise");
    Thread pump = new Thread(() -> timing.processCallbacks(timing.buffer), "timing pump");
    pump.setDaemon(true);
    pump.start();
    timing.latencies = new long[paced];
    timing.count = 0;
    long before = timing.received;
    check(control.simFirePaced(5, 27, 20_000, paced), "simFirePaced");
    await(timing, before + paced);
    long[] lat = Arrays.copyOf(timing.latencies, timing.count);
    check(timing.logoff(), "logoff");
    pump.join(10_000);
    Arrays.sort(lat);
    return new double[] {lat[lat.length / 2] / 1000.0, lat[(int) (lat.length * 0.99)] / 1000.0,
        lat[(int) (lat.length * 0.999)] / 1000.0};
  }

  private static double relay(Control control, Sink sink, int threads, int events)
      throws InterruptedException {
    long before = sink.received;
    long start = System.nanoTime();
    check(control.simFireStream(5, 27, threads, events / threads), "simFireStream");
    await(sink, before + (events / threads) * (long) threads);
    double rate = events / ((System.nanoTime() - start) / 1e9);
    control.simWaitIdle();
    return rate;
  }

  private static String target(String what, boolean met, double value, String unit) {
    String line = String.format(Locale.ROOT, "%s %s (%.2f %s)", met ? "MET   " : "MISSED", what,
        value, unit);
    System.out.println("target     " + line);
    return line;
  }

  private static void check(int code, String what) {
    if (code != 0) {
      throw new IllegalStateException(what + " returned " + code);
    }
  }

  private void write(Path out, List<String> targets) throws IOException {
    Files.createDirectories(out);
    StringBuilder md = new StringBuilder();
    md.append(String.format(Locale.ROOT, "Median of %d round medians (%d samples a round after "
        + "a warm-up, rows interleaved); spread = (max - min) / median of the round medians.%n%n",
        rounds, samples));
    md.append("| group | measurement | median | unit | spread | round medians | note |\n");
    md.append("|---|---|---:|---|---:|---|---|\n");
    StringBuilder json = new StringBuilder("{\n  \"rounds\": " + rounds + ",\n  \"rows\": [\n");
    int unstable = 0;
    for (int i = 0; i < measures.size(); i++) {
      Measure m = measures.get(i);
      boolean flagged = m.rounds.size() > 1 && m.spread() > SPREAD_LIMIT;
      unstable += flagged ? 1 : 0;
      String list = m.roundList(", ", "%.1f");
      String spread = m.rounds.size() > 1
          ? String.format(Locale.ROOT, "%.1f%%%s", m.spread(), flagged ? " UNSTABLE" : "") : "-";
      md.append(String.format(Locale.ROOT, "| %s | %s | %.1f | %s | %s | %s | %s |%n", m.group,
          m.name, m.median(), m.unit, spread, list, m.note));
      json.append(String.format(Locale.ROOT,
          "    {\"group\": \"%s\", \"name\": \"%s\", \"unit\": \"%s\", \"median\": %.3f, "
              + "\"spread_pct\": %.2f, \"round_medians\": [%s], \"note\": \"%s\"}%s%n",
          m.group, m.name, m.unit, m.median(), m.rounds.size() > 1 ? m.spread() : 0.0, list,
          m.note, i + 1 < measures.size() ? "," : ""));
      System.out.printf(Locale.ROOT, "%-9s %-58s %14.1f %-9s spread %s%n", m.group, m.name,
          m.median(), m.unit, spread);
    }
    String verdict = unstable == 0
        ? "every row within " + SPREAD_LIMIT + "% spread: fit to publish"
        : unstable + " row(s) above " + SPREAD_LIMIT + "% spread: the machine was disturbed; "
            + "do not publish this table";
    md.append("\n").append(verdict).append("\n\nTargets:\n\n");
    System.out.println(verdict);
    json.append("  ],\n  \"verdict\": \"").append(verdict).append("\",\n  \"targets\": [\n");
    for (int i = 0; i < targets.size(); i++) {
      md.append("- ").append(targets.get(i)).append('\n');
      json.append("    \"").append(targets.get(i)).append('"')
          .append(i + 1 < targets.size() ? ",\n" : "\n");
    }
    json.append("  ]\n}\n");
    Files.writeString(out.resolve("results.md"), md.toString(), StandardCharsets.UTF_8);
    Files.writeString(out.resolve("results.json"), json.toString(), StandardCharsets.UTF_8);
    System.out.println("written: " + out.resolve("results.md") + ", " + out.resolve("results.json"));
  }
}
