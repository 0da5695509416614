package korvane.bench;

import com.sun.jna.Native;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.Locale;
import korvane.api.delphi.ClientAPI;

/**
 * One JVM's latency rows for the pump wait mode its environment names
 * (JAVAWRAPPER_PUMP_WAIT): a producer that sleeps between events fires at
 * 1,000 and at 20,000 events/s; each row is producer-to-messageReceived
 * latency at p50, p99 and p99.9, and the pump thread's CPU time per second
 * of the run. Report runs one of these JVMs per mode and round.
 *
 * <p>Usage: Latency <bin dir> <rows file> [--smoke]
 */
public final class Latency {
  /**
   * Latencies in nanoseconds, counted HdrHistogram-style: exact below 128 ns,
   * then 64 buckets per power of two (within 1.6%). Recording is an array
   * increment, so nothing is allocated while measuring.
   */
  static final class Histogram {
    final long[] counts = new long[128 + 56 * 64];
    long total;

    void record(long ns) {
      long v = Math.max(0, ns);
      int msb = 63 - Long.numberOfLeadingZeros(v | 1);
      int index = msb < 7 ? (int) v : 128 + (msb - 7) * 64 + (int) ((v >>> (msb - 6)) & 63);
      counts[index]++;
      total++;
    }

    /** The middle of the bucket where the fraction q of the counts is reached, in us. */
    double percentile(double q) {
      long target = Math.max(1, (long) Math.ceil(q * total));
      long seen = 0;
      for (int i = 0; i < counts.length; i++) {
        seen += counts[i];
        if (seen >= target) {
          if (i < 128) {
            return i / 1000.0;
          }
          int msb = 7 + (i - 128) / 64;
          long low = (64L + (i - 128) % 64) << (msb - 6);
          return (low + (1L << (msb - 6)) / 2.0) / 1000.0;
        }
      }
      return Double.NaN;
    }

    void clear() {
      Arrays.fill(counts, 0);
      total = 0;
    }
  }

  /** The front-end: the producer's monotonic clock is in bytes 8-15. */
  static final class TimingSink extends Bench.Sink {
    final Histogram histogram = new Histogram();
    volatile boolean recording;

    @Override
    public void messageReceived(int id, int length) {
      long sent = 0;
      for (int i = 7; i >= 0; i--) {
        sent = (sent << 8) | (buffer[8 + i] & 0xFF);
      }
      if (recording) {
        histogram.record(System.nanoTime() - sent);
      }
      received++;
    }
  }

  public static void main(String[] args) throws Exception {
    String bin = args[0];
    Path out = Paths.get(args[1]);
    boolean smoke = Arrays.asList(args).contains("--smoke");
    String mode = System.getenv().getOrDefault("JAVAWRAPPER_PUMP_WAIT", "block");
    String lib = bin + "standin/";
    Bench.Control control = Native.load(lib + "QUORAPI.DLL", Bench.Control.class);
    control.simMarket(0);
    control.simJournalEnable(0);
    TimingSink sink = new TimingSink();
    Bench.check(sink.initialise(lib, "", false, false, true, "", (byte) 0, "", ""), "initialise");
    Thread pump = new Thread(() -> sink.processCallbacks(sink.buffer), "pump");
    pump.setDaemon(true);
    pump.start();
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();

    paced(control, sink, 20_000, smoke ? 500 : 20_000);  // warm-up: JIT and the queue's blocks
    StringBuilder rows = new StringBuilder();
    for (int rate : new int[] {1_000, 20_000}) {
      int events = smoke ? 1_000 : rate == 1_000 ? 15_000 : 100_000;
      sink.histogram.clear();
      sink.recording = true;
      long cpu = threads.getThreadCpuTime(pump.getId());
      double seconds = paced(control, sink, rate, events);
      double cpuMsPerS = (threads.getThreadCpuTime(pump.getId()) - cpu) / 1e6 / seconds;
      sink.recording = false;
      String at = String.format(Locale.ROOT, "%s, %,d/s", mode, rate);
      String note = events + " paced events";
      String[] names = {"p50", "p99", "p99.9"};
      double[] qs = {0.50, 0.99, 0.999};
      for (int k = 0; k < 3; k++) {
        double v = sink.histogram.percentile(qs[k]);
        rows.append(row("latency", at + ", " + names[k], "us", note, v));
        System.out.printf(Locale.ROOT, "  %-40s %10.1f us%n", at + ", " + names[k], v);
      }
      rows.append(row("latency", at + ", pump CPU", "ms/s", note, cpuMsPerS));
      System.out.printf(Locale.ROOT, "  %-40s %10.1f ms/s%n", at + ", pump CPU", cpuMsPerS);
    }
    Thread.sleep(200);
    long cpu = threads.getThreadCpuTime(pump.getId());
    Thread.sleep(1000);
    double idleMs = (threads.getThreadCpuTime(pump.getId()) - cpu) / 1e6;
    rows.append(row("latency", mode + ", idle pump CPU over 1 s", "ms", "no events", idleMs));
    Bench.check(sink.logoff(), "logoff");
    pump.join(10_000);
    Files.createDirectories(out.toAbsolutePath().getParent());
    Files.writeString(out, rows.toString(), StandardCharsets.UTF_8);
  }

  /** Fires events at rate from a producer that sleeps between them; returns the seconds taken. */
  private static double paced(Bench.Control control, Bench.Sink sink, int rate, int events)
      throws InterruptedException {
    long before = sink.received;
    long start = System.nanoTime();
    Bench.check(control.simFirePaced(5, 27, rate, events), "simFirePaced");
    Bench.await(sink, before + events);
    double seconds = (System.nanoTime() - start) / 1e9;
    control.simWaitIdle();
    return seconds;
  }

  private static String row(String group, String name, String unit, String note, double value) {
    return String.format(Locale.ROOT, "%s|%s|%s|%s|%.4f%n", group, name, unit, note, value);
  }
}
