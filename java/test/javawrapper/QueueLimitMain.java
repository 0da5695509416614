package javawrapper;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Run in a fresh JVM by PumpTest with a small JAVAWRAPPER_QUEUE_MAX_MB: a
 * handler stuck in its first event while two library threads fire flat out.
 * Prints what was delivered and the queue's log lines, then ends normally.
 */
public final class QueueLimitMain {
  private QueueLimitMain() {}

  private static final int MARKER = 7;  // a signal event, after the stream's

  public static void main(String[] args) throws Exception {
    int perThread = Integer.parseInt(args[0]);
    Simulator sim = Simulator.load("QUORAPI.DLL");
    sim.reset();
    AtomicInteger seen = new AtomicInteger();
    AtomicBoolean marked = new AtomicBoolean();
    CountDownLatch release = new CountDownLatch(1);
    Bridge bridge = new Bridge() {
      @Override
      public void messageReceived(int id, int length) {
        if (id == MARKER) {
          marked.set(true);
          return;
        }
        if (seen.incrementAndGet() == 1) {
          try {
            release.await(60, TimeUnit.SECONDS);
          } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
          }
        }
      }
    };
    System.out.println("initialise=" + bridge.initialise());
    bridge.startPump();
    System.out.println("fireStream=" + sim.fireStream(5, 27, 2, perThread));
    sim.waitIdle();  // the producers were not held for a pump that does not move
    release.countDown();
    // Once the pump has taken one more event the queue is below its limit,
    // and an event fired then queues behind every kept event: when it
    // arrives, all of them have. (Waiting for the count to stop moving for a
    // while fails on a busy machine, where the pump may not move for that
    // while.)
    long deadline = System.nanoTime() + 60_000_000_000L;
    while (seen.get() < 2 && System.nanoTime() - deadline < 0) {
      Thread.sleep(10);
    }
    System.out.println("marker=" + sim.fire(MARKER, new byte[0]));
    while (!marked.get() && System.nanoTime() - deadline < 0) {
      Thread.sleep(10);
    }
    int lines = 0;
    for (int i = sim.find("qrLogString"); i >= 0; i = sim.find("qrLogString", i + 1)) {
      lines += sim.textArg(i, 0).contains("Where TCallback.Create") ? 1 : 0;
    }
    System.out.println("delivered=" + seen.get() + " limitLines=" + lines);
    System.out.println("logoff=" + bridge.logoff() + " returned=" + bridge.pumpReturned(10_000));
  }
}
