package javawrapper;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import korvane.api.delphi.ClientAPI;

/**
 * A front-end of the tests' own: records every event it receives on its pump
 * thread, and lets a test act from inside messageReceived.
 */
public class Bridge extends ClientAPI {
  public static final String BIN = System.getProperty("javawrapper.bin");

  /** One delivered event with a copy of its record. */
  public static final class Event {
    public final int id;
    public final byte[] record;

    Event(int id, byte[] record) {
      this.id = id;
      this.record = record;
    }

    public int length() { return record.length; }
  }

  private final byte[] buffer;
  private final List<Event> events = new ArrayList<>();
  private volatile BiConsumer<Bridge, Event> handler = (b, e) -> {};
  private Thread pump;

  public Bridge() { this(514); }

  public Bridge(int bufferSize) { buffer = new byte[bufferSize]; }

  @Override
  public void messageReceived(int id, int length) {
    Event event = new Event(id, Arrays.copyOf(buffer, length));
    synchronized (events) {
      events.add(event);
      events.notifyAll();
    }
    handler.accept(this, event);
  }

  public void onEvent(BiConsumer<Bridge, Event> handler) { this.handler = handler; }

  public int initialise(boolean demo, boolean test, boolean connectionStatus) {
    return initialise(BIN, "", demo, test, connectionStatus, "init-1", (byte) 7, "app", "init-2");
  }

  public int initialise() { return initialise(false, false, true); }

  /** Runs processCallbacks on a thread of its own. */
  public void startPump() {
    pump = new Thread(() -> processCallbacks(buffer), "pump");
    pump.setDaemon(true);
    pump.start();
  }

  /** True when the pump returned within the time. */
  public boolean pumpReturned(long millis) throws InterruptedException {
    pump.join(millis);
    return !pump.isAlive();
  }

  /** CPU time the pump thread has used, in milliseconds. */
  public long pumpCpuMillis() {
    return java.lang.management.ManagementFactory.getThreadMXBean().getThreadCpuTime(pump.getId())
        / 1_000_000;
  }

  public List<Event> events() {
    synchronized (events) {
      return new ArrayList<>(events);
    }
  }

  /** Every event within the time, or a failure naming how many came. */
  public List<Event> expectEvents(int count, long millis) throws InterruptedException {
    List<Event> got = awaitEvents(count, millis);
    if (got.size() < count) {
      throw new AssertionError(got.size() + " of " + count + " events arrived within " + millis
          + " ms");
    }
    return got;
  }

  /** The pump returns within the time, or a failure naming the wait. */
  public void expectPumpReturns(long millis) throws InterruptedException {
    if (!pumpReturned(millis)) {
      throw new AssertionError("processCallbacks did not return within " + millis + " ms");
    }
  }

  /** Waits until at least count events arrived; returns them all. */
  public List<Event> awaitEvents(int count, long millis) throws InterruptedException {
    long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
    synchronized (events) {
      while (events.size() < count) {
        long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
        if (left <= 0) {
          break;
        }
        events.wait(left);
      }
      return new ArrayList<>(events);
    }
  }
}
