package korvane.bench.ffm;

import static java.lang.foreign.ValueLayout.ADDRESS;
import static java.lang.foreign.ValueLayout.JAVA_BYTE;
import static java.lang.foreign.ValueLayout.JAVA_INT;

import java.lang.foreign.Arena;
import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.SymbolLookup;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.atomic.LongAdder;

/**
 * The Foreign Function and Memory API as a peer of the bridge (JDK 22 and
 * later), on the same stand-in library: a downcall handle to qrGetExchange
 * into a reused off-heap segment plus the copy into a byte[], and an upcall
 * stub as the callback of the stand-in's event threads. Runs in a JVM of its
 * own; writes one line per row, with its round medians, for the main bench.
 *
 * <p>Usage: FfmBench <stand-in library> <output file> [--smoke]
 */
public final class FfmBench {
  private FfmBench() {}

  private static final LongAdder RECEIVED = new LongAdder();
  private static long checksum;

  /** The upcall: the same work per event as the other relay rows. */
  static void onEvent(MemorySegment record) {
    checksum += record.reinterpret(27).get(JAVA_BYTE, 4);  // racy on purpose, as JNA's
    RECEIVED.increment();
  }

  interface Sample {
    double take() throws Throwable;
  }

  private static String rounds(int rounds, int samples, Sample sample) throws Throwable {
    StringBuilder medians = new StringBuilder();
    for (int r = 0; r < rounds; r++) {
      sample.take();  // warm-up
      double[] s = new double[samples];
      for (int i = 0; i < samples; i++) {
        s[i] = sample.take();
      }
      Arrays.sort(s);
      medians.append(r == 0 ? "" : ",").append(String.format(Locale.ROOT, "%.3f", s[samples / 2]));
    }
    return medians.toString();
  }

  public static void main(String[] args) throws Throwable {
    Path library = Path.of(args[0]);
    Path out = Path.of(args[1]);
    boolean smoke = args.length > 2 && args[2].equals("--smoke");
    int rounds = smoke ? 1 : Math.max(3, Integer.getInteger("bench.rounds", 3));
    int samples = smoke ? 3 : 7;
    int calls = smoke ? 1_000 : 1_000_000;
    int events = smoke ? 20_000 : 2_000_000;

    Arena arena = Arena.global();
    Linker linker = Linker.nativeLinker();
    SymbolLookup lookup = SymbolLookup.libraryLookup(library, arena);
    MethodHandle getExchange = linker.downcallHandle(lookup.find("qrGetExchange").orElseThrow(),
        FunctionDescriptor.of(JAVA_INT, JAVA_INT, ADDRESS));
    MethodHandle register = linker.downcallHandle(
        lookup.find("qrRegisterFillCallback").orElseThrow(),
        FunctionDescriptor.of(JAVA_INT, JAVA_INT, ADDRESS));
    MethodHandle fireStream = linker.downcallHandle(lookup.find("simFireStream").orElseThrow(),
        FunctionDescriptor.of(JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT));
    MethodHandle waitIdle = linker.downcallHandle(lookup.find("simWaitIdle").orElseThrow(),
        FunctionDescriptor.ofVoid());

    MemorySegment record = arena.allocate(33);
    byte[] exchange = new byte[33];
    String downcall = rounds(rounds, samples, () -> {
      long start = System.nanoTime();
      for (int i = 0; i < calls; i++) {
        int code = (int) getExchange.invokeExact(1, record);
        if (code != 0) {
          throw new IllegalStateException("qrGetExchange returned " + code);
        }
        MemorySegment.copy(record, JAVA_BYTE, 0, exchange, 0, 33);
      }
      return (System.nanoTime() - start) / (double) calls;
    });

    MemorySegment stub = linker.upcallStub(MethodHandles.lookup().findStatic(FfmBench.class,
        "onEvent", MethodType.methodType(void.class, MemorySegment.class)),
        FunctionDescriptor.ofVoid(ADDRESS), arena);
    if ((int) register.invokeExact(9, stub) != 0) {
      throw new IllegalStateException("registration failed");
    }
    String relay = rounds(rounds, samples, () -> {
      long target = RECEIVED.sum() + events;
      long start = System.nanoTime();
      if ((int) fireStream.invokeExact(9, 27, 4, events / 4) != 0) {
        throw new IllegalStateException("simFireStream failed");
      }
      waitIdle.invokeExact();
      double rate = events / ((System.nanoTime() - start) / 1e9) / 1e6;
      if (RECEIVED.sum() < target) {
        throw new IllegalStateException("FFM lost events");
      }
      return rate;
    });

    Files.writeString(out, "downcall|FFM qrGetExchange: downcall handle + copy (33 out)|ns/call|"
        + downcall + "\nrelay|FFM upcall stub, 4 producer threads|M events/s|" + relay + "\n");
    System.out.println("FFM rows written to " + out + " (checksum " + checksum + ")");
  }
}
