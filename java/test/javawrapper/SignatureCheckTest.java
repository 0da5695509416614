package javawrapper;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * A front-end with its own ClientAPI: the bridge names every native declared
 * with other types, expected and found, on standard error and in the trace;
 * each of those answers 99 and calls nothing, and the rest run as before; a
 * failed load names the file it tried.
 */
class SignatureCheckTest {
  @Test
  void mismatchedNativesAreReportedAndRefusedAndAFailedLoadIsNamed() throws Exception {
    Path dir = Files.createTempDirectory("javawrapper-frontend");
    try {
      Path trace = dir.resolve("trace.json");
      String missing = dir.resolve("no-such-dir") + "/";
      List<String> command = new ArrayList<>(List.of(System.getProperty("javawrapper.java"),
          "-Xcheck:jni"));
      command.addAll(FreshJvmTest.jvmFlags());
      command.addAll(List.of("-Djavawrapper.library=" + Bridge.BIN + "libJavaWrapper.so",
          "-Djavawrapper.bin=" + Bridge.BIN, "-cp", Bridge.BIN + "frontend_mismatch.jar",
          "javawrapper.FrontEndMain", missing, Bridge.BIN));
      ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
      builder.environment().put("JAVAWRAPPER_TRACE", trace.toString());
      Process p = builder.start();
      if (!p.waitFor(60, TimeUnit.SECONDS)) {
        p.destroyForcibly();
        throw new AssertionError("the front-end's JVM did not exit within a minute");
      }
      String out = FreshJvmTest.echo(
          new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
      assertEquals(0, p.exitValue(), out);
      String api = "native korvane.api.delphi.ClientAPI.";
      List<String> mismatches = List.of(
          api + "logon does not match the bridge: expected "
              + "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ZZ)I, found "
              + "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ZI)I",
          api + "getExchange does not match the bridge: expected (I[B)I, found (J[B)I",
          api + "purge does not match the bridge: expected "
              + "(Ljava/lang/String;Ljava/lang/String;)I, found "
              + "static (Ljava/lang/String;Ljava/lang/String;)I",
          api + "countCommodities does not match the bridge: expected ([I)I, found ([I)[I");
      String cannotLoad = "Cannot load " + missing + "QUORAPI.DLL: " + missing
          + "QUORAPI.DLL: cannot open shared object file: No such file or directory";
      for (String line : mismatches) {
        assertEquals(1, count(out, "JavaWrapper: " + line + "\n"), line + " once in\n" + out);
      }
      // Each mismatched native refuses its call: 99 under its own name, the
      // mismatch named, and its entry never called; a matching one still runs.
      String where = " Where Java_korvane_api_delphi_ClientAPI_";
      String[] natives = {"logon", "getExchange", "purge", "countCommodities"};
      for (int i = 0; i < natives.length; i++) {
        // One declared to return an array gets null (a reference made of 99
        // threw at the caller), the rest 99.
        String result = natives[i].equals("countCommodities") ? "null" : "99";
        assertTrue(out.contains(natives[i] + "=" + result + "\n"), natives[i] + " in\n" + out);
        String refusal = "JavaWrapper: Wrapper API Error" + mismatches.get(i) + where + natives[i];
        assertEquals(1, count(out, refusal + "\n"), refusal + " once in\n" + out);
      }
      for (String line : List.of("loaded=0", "countExchanges=0", "qrLogOn called=false",
          "qrGetExchange called=false", "qrPurge called=false", "qrCountExchanges called=true")) {
        assertTrue(out.contains(line + "\n"), line + " in\n" + out);
      }
      assertEquals(4, count(out, "JavaWrapper: " + api), out); // said once each at load
      assertEquals(1, count(out, "JavaWrapper: " + cannotLoad + "\n"), out);
      // The matching natives work as they always did.
      for (String line : List.of("message55=Cannot load library", "initialise=55", "logoff=0")) {
        assertTrue(out.contains(line + "\n"), line + " in\n" + out);
      }
      String text = Files.readString(trace);
      for (String line : mismatches) {
        assertTrue(text.contains("\"message\":\"" + line + "\""), line + " in the trace\n" + text);
      }
      assertTrue(text.contains("\"message\":\"" + cannotLoad + "\""), text);
    } finally {
      FreshJvmTest.deleteTree(dir);
    }
  }

  private static int count(String text, String part) {
    int n = 0;
    for (int at = text.indexOf(part); at >= 0; at = text.indexOf(part, at + 1)) {
      n++;
    }
    return n;
  }
}
