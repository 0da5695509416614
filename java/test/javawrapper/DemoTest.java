package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.Set;
import korvane.demo.TradingDemo;
import org.junit.jupiter.api.Test;

/** The demo's session, headless, against the demonstration market. */
class DemoTest {
  @Test
  void theDemoSessionTradesAndEndsCleanly() throws Exception {
    Simulator market = Simulator.load("DEMOAPI.DLL");
    market.reset();
    market.market(true);
    try {
      ByteArrayOutputStream text = new ByteArrayOutputStream();
      TradingDemo.Summary s =
          new TradingDemo(1, 7, false, new PrintStream(text, true, StandardCharsets.UTF_8)).run();
      String out = text.toString(StandardCharsets.UTF_8);
      assertTrue(s.ok(), out);
      assertTrue(s.failures.isEmpty(), out);
      assertTrue(s.marketOrderFilled, out);
      assertEquals(8, s.filledQuantity, out);
      assertEquals(s.filledQuantity, s.positionNet, out);
      assertTrue(s.eventsByKind.keySet().containsAll(Set.of(3, 7, 8, 21, 5, 9)), out);
      assertTrue(out.contains("Session complete."), out);
    } finally {
      market.market(false);
    }
  }
}
