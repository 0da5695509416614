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
import java.util.List;
import java.util.Locale;
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

  /** The front-end side of the relay: counts events, optionally timing them. */
  static final class Sink extends ClientAPI {
    final byte[] buffer = new byte[514];
    volatile long received;
    long[] latencies;
    int latencyCount;

    @Override
    public void messageReceived(int id, int length) {
      if (latencies != null && latencyCount < latencies.length) {
        long sent = 0;
        for (int i = 7; i >= 0; i--) {
          sent = (sent << 8) | (buffer[8 + i] & 0xFF);
        }
        latencies[latencyCount++] = System.nanoTime() - sent;
      }
      received++;
    }
  }

  record Row(String group, String name, String unit, double median, double min, double max,
      String note) {}

  private final List<Row> rows = new ArrayList<>();
  private final boolean smoke;
  private final int runs;

  private Bench(boolean smoke) {
    this.smoke = smoke;
    this.runs = smoke ? 3 : 7;
  }

  private Row add(String group, String name, String unit, double[] samples, String note) {
    double[] s = samples.clone();
    Arrays.sort(s);
    Row row = new Row(group, name, unit, s[s.length / 2], s[0], s[s.length - 1], note);
    rows.add(row);
    System.out.printf(Locale.ROOT, "%-10s %-44s %12.1f %-9s (min %.1f, max %.1f) %s%n", group,
        name, row.median(), unit, row.min(), row.max(), note);
    return row;
  }

  /** Nanoseconds per call of body, which makes calls calls. */
  private Row downcall(String name, int calls, Runnable body) {
    for (int w = 0; w < 3; w++) {
      body.run();
    }
    double[] samples = new double[runs];
    for (int r = 0; r < runs; r++) {
      long start = System.nanoTime();
      body.run();
      samples[r] = (System.nanoTime() - start) / (double) calls;
    }
    return add("downcall", name, "ns/call", samples, "");
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

  private static long residentKiB() throws IOException {
    for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
      if (line.startsWith("VmRSS:")) {
        return Long.parseLong(line.replaceAll("[^0-9]", ""));
      }
    }
    return -1;
  }

  public static void main(String[] args) throws Exception {
    String bin = args[0];
    Path out = Paths.get(args[1]);
    Bench bench = new Bench(args.length > 2 && args[2].equals("--smoke"));
    bench.run(bin, out);
  }

  private void run(String bin, Path out) throws Exception {
    System.load(bin + "libbenchfloor.so");
    Control control = Native.load(bin + "QUORAPI.DLL", Control.class);
    control.simMarket(0);
    control.simJournalEnable(0);
    Jna.bind(bin + "QUORAPI.DLL");
    Sink sink = new Sink();
    check(sink.initialise(bin, "", false, false, true, "", (byte) 0, "", ""), "initialise");

    int calls = smoke ? 1_000 : 1_000_000;
    byte[] exchange = new byte[33];
    byte[] prices = new byte[2412];
    byte[] order = new byte[957];
    double floorCopy = downcall("floor: empty JNI native", calls, () -> {
      for (int i = 0; i < calls; i++) {
        Floor.empty();
      }
    }).median();
    floorCopy = downcall("floor: 33-byte copy native", calls, () -> {
      for (int i = 0; i < calls; i++) {
        Floor.copy33(exchange);
      }
    }).median();
    if (!Floor.bind(bin + "QUORAPI.DLL")) {
      throw new IllegalStateException("the floor cannot find qrGetExchange");
    }
    double floorSimulator = downcall("floor: simulator qrGetExchange + copy, no frame", calls,
        () -> {
          for (int i = 0; i < calls; i++) {
            Floor.simulatorExchange(exchange);
          }
        }).median();
    double bridgeExchange = downcall("bridge getExchange (33 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        sink.getExchange(1, exchange);
      }
    }).median();
    double jnaExchange = downcall("JNA qrGetExchange (33 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        Jna.qrGetExchange(1, exchange);
      }
    }).median();
    downcall("bridge getContractPrices (3 in, 2412 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        sink.getContractPrices("NORDX", "CRUDE", "DEC26", prices);
      }
    });
    downcall("JNA qrGetPriceForContract (3 in, 2412 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        Jna.qrGetPriceForContract("NORDX", "CRUDE", "DEC26", prices);
      }
    });
    downcall("bridge addOrder (957 in)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        sink.addOrder(order);
      }
    });
    downcall("JNA qrAddOrder (957 in)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        Jna.qrAddOrder(order, Pointer.NULL);
      }
    });
    downcall("bridge subscribe (3 fixed fields)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        sink.subscribe("NORDX", "CRUDE", "DEC26");
      }
    });
    downcall("JNA qrSubscribePrice (3 strings)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        Jna.qrSubscribePrice("NORDX", "CRUDE", "DEC26");
      }
    });
    rows.add(new Row("note", "FFM (JDK 22+)", "", 0, 0, 0,
        "not measured by this harness yet"));

    // Event relay: events per second into messageReceived.
    Thread pump = new Thread(() -> sink.processCallbacks(sink.buffer), "pump");
    pump.setDaemon(true);
    pump.start();
    int events = smoke ? 20_000 : 4_000_000;
    double[] oneThread = new double[runs];
    double[] fourThreads = new double[runs];
    for (int r = 0; r < runs; r++) {
      oneThread[r] = relay(control, sink, 1, events);
      fourThreads[r] = relay(control, sink, 4, events);
    }
    add("relay", "bridge, 1 producer thread", "events/s", oneThread, "in order, one Java thread");
    double bridgeFour = add("relay", "bridge, 4 producer threads", "events/s", fourThreads,
        "in order, one Java thread").median();
    Floor floor = new Floor();
    double[] floorSamples = new double[runs];
    floor.relay(new byte[514], events / 10);  // warm-up
    for (int r = 0; r < runs; r++) {
      long start = System.nanoTime();
      floor.relay(new byte[514], events);
      floorSamples[r] = events / ((System.nanoTime() - start) / 1e9);
    }
    double floorRelay = add("relay", "floor: SetByteArrayRegion + CallVoidMethodA", "events/s",
        floorSamples, "one Java thread").median();

    // Latency at a fixed rate, the producer sleeping between events.
    int paced = smoke ? 2_000 : 200_000;
    sink.latencies = new long[paced];
    sink.latencyCount = 0;
    long before = sink.received;
    check(control.simFirePaced(5, 27, 20_000, paced), "simFirePaced");
    await(sink, before + paced);
    long[] lat = Arrays.copyOf(sink.latencies, sink.latencyCount);
    sink.latencies = null;
    Arrays.sort(lat);
    double p50 = lat[lat.length / 2] / 1000.0;
    double p99 = lat[(int) (lat.length * 0.99)] / 1000.0;
    double p999 = lat[(int) (lat.length * 0.999)] / 1000.0;
    rows.add(new Row("latency", "producer to messageReceived at 20,000/s", "us", p50, p99, p999,
        "median p50; min column p99; max column p99.9"));
    System.out.printf(Locale.ROOT, "latency    p50 %.1f us, p99 %.1f us, p99.9 %.1f us%n", p50, p99,
        p999);

    // Memory: resident size over ten million events after warm-up.
    int memoryEvents = smoke ? 50_000 : 10_000_000;
    relay(control, sink, 4, memoryEvents / 10);
    System.gc();
    long rssBefore = residentKiB();
    relay(control, sink, 4, memoryEvents);
    System.gc();
    long rssAfter = residentKiB();
    rows.add(new Row("memory", "resident size growth over " + memoryEvents + " events", "KiB",
        rssAfter - rssBefore, rssBefore, rssAfter, "min column before, max column after"));
    System.out.printf(Locale.ROOT, "memory     %d KiB -> %d KiB%n", rssBefore, rssAfter);

    check(sink.logoff(), "logoff");
    pump.join(10_000);

    // JNA's callback path: the same simulator threads call Java directly.
    check(sink.initialise(bin, "", false, false, true, "", (byte) 0, "", ""), "initialise");
    final long[] jnaReceived = {0};
    final byte[] jnaBuffer = new byte[27];
    Jna.RecordCallback callback = record -> {
      record.read(0, jnaBuffer, 0, 27);
      synchronized (jnaReceived) {
        jnaReceived[0]++;
      }
    };
    Jna.keepAttached(callback);
    check(Jna.qrRegisterOrderCallback(5, callback), "JNA registration");
    double[] jnaSamples = new double[runs];
    for (int r = 0; r < runs; r++) {
      long start = System.nanoTime();
      long target;
      synchronized (jnaReceived) {
        target = jnaReceived[0] + events;
      }
      check(control.simFireStream(5, 27, 4, events / 4), "simFireStream");
      control.simWaitIdle();
      synchronized (jnaReceived) {
        if (jnaReceived[0] < target) {
          throw new IllegalStateException("JNA lost events");
        }
      }
      jnaSamples[r] = events / ((System.nanoTime() - start) / 1e9);
    }
    double jnaRelay = add("relay", "JNA callback, 4 producer threads", "events/s", jnaSamples,
        "on the producers' threads, unordered").median();
    check(sink.logoff(), "logoff");

    // The targets, as ratios measured in this run.
    List<String> targets = new ArrayList<>();
    targets.add(target("getExchange within 1.25x of the bare 33-byte copy",
        bridgeExchange <= 1.25 * floorCopy, bridgeExchange / floorCopy, "x"));
    targets.add(target("(for reading) getExchange against the same simulator entry with no frame",
        bridgeExchange <= 1.25 * floorSimulator, bridgeExchange / floorSimulator, "x"));
    targets.add(target("getExchange at least 3x faster than JNA", jnaExchange >= 3 * bridgeExchange,
        jnaExchange / bridgeExchange, "x"));
    targets.add(target("relay (4 threads) at least half the one-call-per-event floor",
        bridgeFour >= 0.5 * floorRelay, bridgeFour / floorRelay, "of floor"));
    targets.add(target("relay (4 threads) at least the JNA callback path", bridgeFour >= jnaRelay,
        bridgeFour / jnaRelay, "of JNA"));
    targets.add(target("p99 latency under 50 us at 20,000 events/s", p99 < 50, p99, "us"));
    targets.add(target("resident growth under 1 MiB over the memory run",
        rssAfter - rssBefore < 1024, rssAfter - rssBefore, "KiB"));
    write(out, targets);
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
    md.append("| group | measurement | median | min | max | unit | note |\n");
    md.append("|---|---|---:|---:|---:|---|---|\n");
    StringBuilder json = new StringBuilder("{\n  \"rows\": [\n");
    for (int i = 0; i < rows.size(); i++) {
      Row r = rows.get(i);
      md.append(String.format(Locale.ROOT, "| %s | %s | %.1f | %.1f | %.1f | %s | %s |%n",
          r.group(), r.name(), r.median(), r.min(), r.max(), r.unit(), r.note()));
      json.append(String.format(Locale.ROOT,
          "    {\"group\": \"%s\", \"name\": \"%s\", \"unit\": \"%s\", \"median\": %.3f, "
              + "\"min\": %.3f, \"max\": %.3f, \"note\": \"%s\"}%s%n",
          r.group(), r.name(), r.unit(), r.median(), r.min(), r.max(), r.note(),
          i + 1 < rows.size() ? "," : ""));
    }
    md.append("\nTargets:\n\n");
    json.append("  ],\n  \"targets\": [\n");
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
