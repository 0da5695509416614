package korvane.bench;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * make bench: runs Bench's rows in several JVMs and Latency's rows in several
 * JVMs per pump wait mode, then judges every row across the JVMs (a row moves
 * between JVMs by more than between the rounds inside one). Prints one table
 * and the targets, and writes them as Markdown and JSON.
 *
 * <p>Usage: Report <bin dir> <output dir> [--smoke]; -Dbench.jvms=N (default 3)
 */
public final class Report {
  static final String[] MODES = {"block", "backoff", "spin"};
  /** The mode the latency targets are judged in: no CPU when idle, a core while busy. */
  static final String LATENCY_MODE = "backoff";

  public static void main(String[] args) throws Exception {
    String bin = args[0];
    Path out = Paths.get(args[1]).toAbsolutePath();
    boolean smoke = Arrays.asList(args).contains("--smoke");
    int jvms = smoke ? 1 : Math.max(2, Integer.getInteger("bench.jvms", 3));
    Map<String, Bench.Measure> rows = new LinkedHashMap<>();
    // The JVMs take turns: bench rows, then each mode's latency, per round.
    List<List<String>> files = new ArrayList<>();
    for (int j = 1; j <= jvms; j++) {
      System.out.printf(Locale.ROOT, "JVM round %d of %d%n", j, jvms);
      Path dir = out.resolve("jvm" + j);
      child(null, "korvane.bench.Bench", bin, dir.toString(), smoke);
      List<String> round = new ArrayList<>(Files.readAllLines(dir.resolve("rows.txt")));
      for (String mode : MODES) {
        Path file = out.resolve("jvm" + j).resolve("latency-" + mode + ".txt");
        child(mode, "korvane.bench.Latency", bin, file.toString(), smoke);
        round.addAll(Files.readAllLines(file));
      }
      files.add(round);
    }
    for (List<String> lines : files) {
      Map<String, Bench.Measure> one = parse(lines, "");
      for (Bench.Measure m : one.values()) {
        Bench.Measure merged = rows.computeIfAbsent(m.group + "|" + m.name,
            k -> new Bench.Measure(m.group, m.name, m.unit,
                (m.note.isEmpty() ? "" : m.note + "; ") + "one figure a JVM", null, 1));
        merged.rounds.add(m.median());
        if (m.rounds.size() > 1) {  // a spread inside the JVM only where it had rounds
          merged.within = Double.isNaN(merged.within) ? m.spread() : Math.max(merged.within,
              m.spread());
        }
      }
    }
    // One JVM each, run by make bench just before: their spread is inside that JVM.
    for (String extra : new String[] {"ffm.txt", "traced-all.txt", "traced-ring.txt"}) {
      Path file = out.resolve(extra);
      if (Files.exists(file)) {
        rows.putAll(parse(Files.readAllLines(file),
            extra.startsWith("ffm") ? "own JVM, JDK 22+" : "own JVM, JAVAWRAPPER_TRACE set"));
      }
    }
    Path guardFile = out.resolve("guard.txt");
    if (Files.exists(guardFile)) {
      String[] words = Files.readString(guardFile).trim().split(" ");
      Bench.Measure guard = new Bench.Measure("downcall",
          "the loaded guard alone: enter and leave (C++)", "ns", "median of 7, one run", null, 1);
      guard.rounds.add(Double.parseDouble(words[1]));
      rows.put("guard", guard);
    }
    write(out, new ArrayList<>(rows.values()), targets(rows), jvms);
  }

  /** Runs a main class in a JVM of its own, with this JVM's library settings. */
  private static void child(String mode, String main, String bin, String out, boolean smoke)
      throws IOException, InterruptedException {
    List<String> command = new ArrayList<>(Arrays.asList(
        ProcessHandle.current().info().command().orElse("java"),
        "-Djavawrapper.library=" + System.getProperty("javawrapper.library"),
        "-Djava.library.path=" + System.getProperty("java.library.path"),
        "-Dbench.rounds=" + Integer.getInteger("bench.rounds", 3),
        "-cp", System.getProperty("java.class.path"), main, bin, out));
    if (smoke) {
      command.add("--smoke");
    }
    ProcessBuilder builder = new ProcessBuilder(command).inheritIO();
    if (mode != null) {
      builder.environment().put("JAVAWRAPPER_PUMP_WAIT", mode);
    }
    int status = builder.start().waitFor();
    if (status != 0) {
      throw new IllegalStateException(main + " exited with " + status);
    }
  }

  /** Rows "group|name|unit|[note|]round medians". */
  private static Map<String, Bench.Measure> parse(List<String> lines, String defaultNote) {
    Map<String, Bench.Measure> rows = new LinkedHashMap<>();
    for (String line : lines) {
      String[] f = line.split("\\|");
      String note = f.length == 5 ? f[3] : defaultNote;
      Bench.Measure m = new Bench.Measure(f[0], f[1], f[2], note, null, 1);
      for (String v : f[f.length - 1].split(",")) {
        m.rounds.add(Double.parseDouble(v));
      }
      rows.put(f[0] + "|" + f[1], m);
    }
    return rows;
  }

  private static List<String> targets(Map<String, Bench.Measure> rows) {
    List<String> targets = new ArrayList<>();
    String[][] pairs = {
        {"bridge getExchange (33 out)", "floor: getExchange's work, no frame (33 out)"},
        {"bridge addOrder (957 in)", "floor: addOrder's work, no frame (957 in)"},
        {"bridge subscribe (3 fixed fields)", "floor: subscribe's work, no frame (3 fixed fields)"}};
    for (String[] pair : pairs) {
      double ratio = ratio(rows, "ratio|" + pair[0] + " / its floor",
          median(rows, "downcall|" + pair[0]) / median(rows, "downcall|" + pair[1]));
      targets.add(target(pair[0] + " within 1.25x of its floor", ratio <= 1.25, ratio, "x"));
    }
    double exchange = median(rows, "downcall|bridge getExchange (33 out)");
    double jna = median(rows, "downcall|JNA qrGetExchange (33 out)");
    targets.add(target("getExchange at least 3x faster than JNA", jna >= 3 * exchange,
        jna / exchange, "x"));
    double four = median(rows, "relay|bridge, 4 producer threads");
    double one = median(rows, "relay|bridge, 1 producer thread");
    double floor = median(rows, "relay|floor: SetByteArrayRegion + CallVoidMethodA");
    double jnaRelay = median(rows, "relay|JNA callback, 4 producer threads");
    double fourOfFloor = ratio(rows, "ratio|bridge, 4 producer threads / the floor", four / floor);
    targets.add(target("relay, 4 producers, at least 0.75 of the floor", fourOfFloor >= 0.75,
        fourOfFloor, "of floor"));
    targets.add(target("relay, 4 producers, at least 1.5x JNA callbacks", four >= 1.5 * jnaRelay,
        four / jnaRelay, "x JNA"));
    double oneOfFloor = ratio(rows, "ratio|bridge, 1 producer thread / the floor", one / floor);
    targets.add(target("relay, 1 producer, at least 0.75 of the floor", oneOfFloor >= 0.75,
        oneOfFloor, "of floor"));
    String at = "latency|" + LATENCY_MODE + ", 20,000/s, ";
    double p99 = median(rows, at + "p99");
    double p999 = median(rows, at + "p99.9");
    targets.add(target("latency p99 under 20 us at 20,000 events/s (" + LATENCY_MODE + ")",
        p99 < 20, p99, "us"));
    targets.add(target("latency p99.9 under 100 us at 20,000 events/s (" + LATENCY_MODE + ")",
        p999 < 100, p999, "us"));
    for (String mode : MODES) {
      if (!mode.equals(LATENCY_MODE)) {  // the same lines for the other modes, for comparison
        double p = median(rows, "latency|" + mode + ", 20,000/s, p99");
        double pp = median(rows, "latency|" + mode + ", 20,000/s, p99.9");
        targets.add(target("latency p99 under 20 us at 20,000 events/s (" + mode + ", not a target)",
            p < 20, p, "us"));
        targets.add(target("latency p99.9 under 100 us at 20,000 events/s (" + mode
            + ", not a target)", pp < 100, pp, "us"));
      }
    }
    // Tracing cheap enough to leave on, in each mode measured.
    // The traced JVM samples its rows in turn with the same floors, so the
    // two paired ratios give traced over untraced with the drift taken out.
    for (Bench.Measure m : rows.values()) {
      if (!m.name.contains(", traced (") || m.group.equals("ratio")) {
        continue;
      }
      if (m.group.equals("relay")) {
        double share = ratio(rows, "ratio|" + m.name + " / the floor", Double.NaN)
            / ratio(rows, "ratio|bridge, 4 producer threads / the floor", Double.NaN);
        share = Double.isNaN(share) ? m.median() / four : share;
        targets.add(target(m.name + " at least 0.5 of untraced", share >= 0.5, share,
            "of untraced"));
      } else {
        double ratio = ratio(rows, "ratio|" + m.name + " / its floor", Double.NaN)
            / ratio(rows, "ratio|bridge getExchange (33 out) / its floor", Double.NaN);
        ratio = Double.isNaN(ratio) ? m.median() / exchange : ratio;
        targets.add(target(m.name + " within 2x of untraced", ratio <= 2, ratio, "x"));
      }
    }
    double heap = rows.values().stream().filter(m -> m.group.equals("memory"))
        .mapToDouble(m -> Collections.max(m.rounds)).findFirst().orElse(Double.NaN);
    targets.add(target("C heap growth under 1 MiB over the memory run, in every JVM",
        heap < 1024, heap, "KiB at most"));
    double idle = Collections.max(rows.get("idle|pump CPU time over 1 s with no events").rounds);
    targets.add(target("idle pump under 5 ms of CPU over 1 s, in every JVM (default mode)",
        idle < 5, idle, "ms at most"));
    return targets;
  }

  /**
   * A ratio to a floor: the median of the ratios taken sample by sample where
   * the run has that row (a drifting machine moves both sides of each alike),
   * else the ratio of the two rows' medians.
   */
  private static double ratio(Map<String, Bench.Measure> rows, String key, double ofMedians) {
    Bench.Measure m = rows.get(key);
    return m != null ? m.median() : ofMedians;
  }

  private static double median(Map<String, Bench.Measure> rows, String key) {
    Bench.Measure m = rows.get(key);
    if (m == null) {
      throw new IllegalStateException("no row " + key);
    }
    return m.median();
  }

  private static String target(String what, boolean met, double value, String unit) {
    String line = String.format(Locale.ROOT, "%s %s (%.2f %s)", met ? "MET   " : "MISSED", what,
        value, unit);
    System.out.println("target     " + line);
    return line;
  }

  private static void write(Path out, List<Bench.Measure> measures, List<String> targets, int jvms)
      throws IOException {
    Files.createDirectories(out);
    StringBuilder md = new StringBuilder();
    md.append(String.format(Locale.ROOT, "Each row ran in %d JVMs (several rounds a JVM for the "
        + "Bench rows, one paced run a JVM and mode for latency). Median = median of the JVMs' "
        + "figures; across JVMs = (max - min) / median of them; within a JVM = the largest such "
        + "spread of one JVM's round medians.%n%n", jvms));
    md.append("| group | measurement | median | unit | across JVMs | within a JVM | JVM figures |"
        + " note |\n");
    md.append("|---|---|---:|---|---:|---:|---|---|\n");
    StringBuilder json = new StringBuilder("{\n  \"jvms\": " + jvms + ",\n  \"rows\": [\n");
    int unstable = 0;
    for (int i = 0; i < measures.size(); i++) {
      Bench.Measure m = measures.get(i);
      boolean flagged = m.rounds.size() > 1 && m.spread() > Bench.SPREAD_LIMIT;
      unstable += flagged ? 1 : 0;
      String figure = m.group.equals("ratio") ? "%.2f" : "%.1f";  // a ratio near its target
      String list = m.roundList(", ", figure);
      String spread = m.rounds.size() > 1
          ? String.format(Locale.ROOT, "%.1f%%%s", m.spread(), flagged ? " UNSTABLE" : "") : "-";
      String within = Double.isNaN(m.within) ? "-" : String.format(Locale.ROOT, "%.1f%%", m.within);
      md.append(String.format(Locale.ROOT, "| %s | %s | " + figure + " | %s | %s | %s | %s | %s |%n",
          m.group, m.name, m.median(), m.unit, spread, within, list, m.note));
      json.append(String.format(Locale.ROOT,
          "    {\"group\": \"%s\", \"name\": \"%s\", \"unit\": \"%s\", \"median\": %.3f, "
              + "\"spread_pct\": %.2f, \"within_jvm_pct\": %s, \"figures\": [%s], "
              + "\"note\": \"%s\"}%s%n",
          m.group, m.name, m.unit, m.median(), m.rounds.size() > 1 ? m.spread() : 0.0,
          Double.isNaN(m.within) ? "null" : String.format(Locale.ROOT, "%.2f", m.within), list,
          m.note, i + 1 < measures.size() ? "," : ""));
      System.out.printf(Locale.ROOT, "%-9s %-58s %12.1f %-10s across %-16s within %s%n", m.group,
          m.name, m.median(), m.unit, spread, within);
    }
    String verdict = unstable == 0
        ? "every row within " + Bench.SPREAD_LIMIT + "% spread: fit to publish"
        : unstable + " row(s) above " + Bench.SPREAD_LIMIT + "% spread: the machine was "
            + "disturbed or the row moves between JVMs; do not publish this table";
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
