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
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.atomic.LongAdder;
import korvane.api.delphi.ClientAPI;

/**
 * One JVM's rows: the bridge measured against what a front-end would use
 * instead (JNA direct mapping and callbacks, benchmark-only JNI floors), on
 * the same stand-in library, in rounds. Writes each row's round medians to
 * rows.txt in the output directory; Report runs several of these JVMs and
 * judges the rows across them.
 *
 * <p>Usage: Bench <bin dir> <output dir> [--smoke] [--traced]
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
    /** When merged across JVMs: the largest spread of the rounds inside one. */
    double within = Double.NaN;

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

  /**
   * Rows sampled in turn against a base row (a floor), and the ratio of each
   * to the base: each ratio is taken sample by sample, between figures
   * measured a moment apart, so a machine whose speed drifts between rows
   * (a shared virtual machine) moves both sides of it alike.
   */
  static final class Turns {
    final List<Measure> rows = new ArrayList<>();  // the base first
    final List<Measure> ratios = new ArrayList<>();  // one a row after the base
  }

  private final Map<Measure, Turns> turnsOf = new HashMap<>();

  /** Samples rows in turn with base, and adds the row "name / baseName" of each. */
  private void inTurn(String baseName, String unit, Measure base, Measure... rows) {
    Turns turns = new Turns();
    turns.rows.add(base);
    turnsOf.put(base, turns);
    for (Measure row : rows) {
      turns.rows.add(row);
      turnsOf.put(row, turns);
      Measure ratio = new Measure("ratio", row.name + " / " + baseName, unit,
          "sampled in turn with " + base.name, null, samples);
      turns.ratios.add(ratio);
      measures.add(ratio);
    }
  }

  /**
   * One round: every row warmed up, sampled, and its median kept; rows
   * sampled in turn are warmed up together and then take turns sample by
   * sample, and their ratios' medians are kept too.
   */
  private void round() throws Exception {
    Set<Measure> done = new HashSet<>();
    for (Measure m : measures) {
      if (m.sample == null || done.contains(m)) {
        continue;  // a ratio, or a row of turns already taken
      }
      Turns turns = turnsOf.get(m);
      List<Measure> rows = turns != null ? turns.rows : List.of(m);
      for (Measure row : rows) {
        row.sample.take();  // warm-up
      }
      double[][] s = new double[rows.size()][m.perRound];
      for (int i = 0; i < m.perRound; i++) {
        for (int k = 0; k < rows.size(); k++) {
          s[k][i] = rows.get(k).sample.take();
        }
      }
      for (int k = 0; k < rows.size(); k++) {
        Measure row = rows.get(k);
        if (turns != null && k > 0) {
          double[] ratio = new double[m.perRound];
          for (int i = 0; i < ratio.length; i++) {
            ratio[i] = s[k][i] / s[0][i];
          }
          keep(turns.ratios.get(k - 1), ratio);
        }
        keep(row, s[k]);
        done.add(row);
      }
    }
  }

  private static void keep(Measure m, double[] samples) {
    double[] s = samples.clone();
    Arrays.sort(s);
    m.rounds.add(s[s.length / 2]);
    System.out.printf(Locale.ROOT, "  %-50s %14.3f %s%n", m.name, s[s.length / 2], m.unit);
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

  static void await(Sink sink, long total) throws InterruptedException {
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
    System.load(bin + "libbenchfloor.so");
    Control control = Native.load(lib + "QUORAPI.DLL", Control.class);
    if (!Floor.bind(lib + "QUORAPI.DLL")) {
      throw new IllegalStateException("the floor cannot find its entries");
    }
    Sink sink = new Sink();
    check(sink.initialise(lib, "", false, false, true, "", (byte) 0, "", ""), "initialise");
    Thread pump = new Thread(() -> sink.processCallbacks(sink.buffer), "pump");
    pump.setDaemon(true);
    pump.start();
    int calls = smoke ? 1_000 : 1_000_000;
    int events = smoke ? 20_000 : 2_000_000;
    byte[] exchange = new byte[33];
    // The same floors as the untraced rows, in turn with the traced ones:
    // traced over untraced is then one paired ratio over the other.
    Measure floorExchange = downcall("floor: getExchange's work, no frame (33 out)", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(Floor.getExchange(1, exchange));
      }
    });
    Measure traced = downcall("bridge getExchange (33 out), traced (" + mode + ")", calls, () -> {
      for (int i = 0; i < calls; i++) {
        ok(sink.getExchange(1, exchange));
      }
    });
    Measure tracedRelay = measure("relay", "bridge, 4 producer threads, traced (" + mode + ")",
        "M events/s", "", () -> relay(control, sink, 4, events) / 1e6);
    Measure relayFloor = relayFloor("", events);
    inTurn("its floor", "x", floorExchange, traced);
    inTurn("the floor", "of floor", relayFloor, tracedRelay);
    for (int r = 0; r < rounds; r++) {
      round();
    }
    check(sink.logoff(), "logoff");
    pump.join(10_000);
    StringBuilder lines = new StringBuilder();
    for (Measure m : measures) {
      if (m.name.startsWith("floor")) {
        continue;  // the main JVMs' floor rows are the ones shown
      }
      String list = m.roundList(",", "%.3f");
      lines.append(m.group).append('|').append(m.name).append('|').append(m.unit).append('|')
          .append(list).append('\n');
    }
    Files.createDirectories(out);
    Files.writeString(out.resolve("traced-" + mode + ".txt"), lines.toString());
    System.out.println("traced rows written to " + out.resolve("traced-" + mode + ".txt"));
  }

  /** The relay's floor: one Java call per event on this thread, no producers. */
  private Measure relayFloor(String note, int events) {
    Floor floor = new Floor();
    return measure("relay", "floor: SetByteArrayRegion + CallVoidMethodA", "M events/s", note,
        () -> {
          long start = System.nanoTime();
          floor.relay(floor.buffer, events);
          return events / ((System.nanoTime() - start) / 1e9) / 1e6;
        });
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
    Measure relayFloor = relayFloor("one Java thread, no producers", events);
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
    // The targets against a floor are judged on these ratios.
    inTurn("its floor", "x", floorExchange, bridgeExchange);
    inTurn("its floor", "x", floorOrder, bridgeOrder);
    inTurn("its floor", "x", floorSubscribe, bridgeSubscribe);
    inTurn("the floor", "of floor", relayFloor, relayOne, relayFour);

    for (int r = 0; r < rounds; r++) {
      System.out.printf(Locale.ROOT, "round %d of %d%n", r + 1, rounds);
      round();
    }

    // Memory: the C heap's live bytes (the bridge's queue included) before
    // and after ten million events at full speed, after a warm-up run.
    int memoryEvents = smoke ? 50_000 : 10_000_000;
    relay(control, sink, 4, memoryEvents / 10);
    long heapBefore = Floor.heapBytes();
    relay(control, sink, 4, memoryEvents);
    long heapGrowth = Floor.heapBytes() - heapBefore;
    Measure memory = new Measure("memory", "C heap growth over " + memoryEvents + " events",
        "KiB", "live bytes from the allocator, one run a JVM", null, 1);
    memory.rounds.add(heapGrowth / 1024.0);
    measures.add(memory);

    // Idle: the pump's own CPU time over a second with nothing to deliver.
    Thread.sleep(200);
    var threads = java.lang.management.ManagementFactory.getThreadMXBean();
    long cpuBefore = threads.getThreadCpuTime(pump.getId());
    Thread.sleep(1000);
    double idleMs = (threads.getThreadCpuTime(pump.getId()) - cpuBefore) / 1e6;
    Measure idle = new Measure("idle", "pump CPU time over 1 s with no events", "ms",
        "default wait mode, one run a JVM", null, 1);
    idle.rounds.add(idleMs);
    measures.add(idle);
    check(sink.logoff(), "logoff");
    pump.join(10_000);

    writeRows(out.resolve("rows.txt"));
    System.out.printf(Locale.ROOT, "(floor: empty JNI native %.1f ns, 33-byte copy %.1f ns)%n",
        floorEmpty.median(), floorCopy.median());
  }

  static double relay(Control control, Sink sink, int threads, int events)
      throws InterruptedException {
    long before = sink.received;
    long start = System.nanoTime();
    check(control.simFireStream(5, 27, threads, events / threads), "simFireStream");
    await(sink, before + (events / threads) * (long) threads);
    double rate = events / ((System.nanoTime() - start) / 1e9);
    control.simWaitIdle();
    return rate;
  }

  static void check(int code, String what) {
    if (code != 0) {
      throw new IllegalStateException(what + " returned " + code);
    }
  }

  /** Every row as "group|name|unit|note|round medians", one line each. */
  private void writeRows(Path file) throws IOException {
    StringBuilder lines = new StringBuilder();
    for (Measure m : measures) {
      lines.append(rowLine(m));
    }
    Files.createDirectories(file.getParent());
    Files.writeString(file, lines.toString(), StandardCharsets.UTF_8);
  }

  static String rowLine(Measure m) {
    return m.group + '|' + m.name + '|' + m.unit + '|' + m.note + '|' + m.roundList(",", "%.4f")
        + '\n';
  }
}
