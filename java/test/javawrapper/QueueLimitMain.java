package javawrapper;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Run in a fresh JVM by PumpTest with a small JAVAWRAPPER_QUEUE_MAX_MB: a
 * handler stuck in its first event while two library threads fire flat out.
 * Prints what was delivered and the queue's log lines, then ends normally.
 */
public final class QueueLimitMain {
  private QueueLimitMain() {}

  public static void main(String[] args) throws Exception {
    int perThread = Integer.parseInt(args[0]);
    Simulator sim = Simulator.load("QUORAPI.DLL");
    sim.reset();
    AtomicInteger seen = new AtomicInteger();
    CountDownLatch release = new CountDownLatch(1);
    Bridge bridge = new Bridge() {
      @Override
      public void messageReceived(int id, int length) {
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
    int last = -1;
    long deadline = System.currentTimeMillis() + 60_000;
    while (seen.get() != last && System.currentTimeMillis() < deadline) {
      last = seen.get();
      Thread.sleep(500);  // until the kept events stop arriving
    }
    int lines = 0;
    for (int i = sim.find("qrLogString"); i >= 0; i = sim.find("qrLogString", i + 1)) {
      lines += sim.textArg(i, 0).contains("Where TCallback.Create") ? 1 : 0;
    }
    System.out.println("delivered=" + seen.get() + " limitLines=" + lines);
    System.out.println("logoff=" + bridge.logoff() + " returned=" + bridge.pumpReturned(10_000));
  }
}
