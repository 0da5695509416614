package javawrapper;

import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Every native of the data families, as a table: the trading library entry it
 * calls, what it returns when that entry answers a passing 11, whether the
 * entry's code is checked, and the records that cross (by parameter index:
 * positive sizes are written to Java, negative ones read from Java).
 */
final class NativeTable {
  enum Mode {
    CHECKED, // 7 and 99 come back; 99 makes the library dump its last error
    IGNORED, // the native answers 0 whatever the entry says
    UNCHANGED // the entry's code comes back as it is, unchecked
  }

  static final class Row {
    final String method;
    final String entry;
    final int onEleven;
    final Mode mode;
    final Map<Integer, Integer> records = new LinkedHashMap<>();
    /** What each argument of the entry receives, in the entry's order (see to()). */
    final List<String> route = new ArrayList<>();

    Row(String method, String entry, int onEleven, Mode mode) {
      this.method = method;
      this.entry = entry;
      this.onEleven = onEleven;
      this.mode = mode;
    }

    Row out(int param, int size) {
      records.put(param, size);
      return this;
    }

    Row in(int param, int size) {
      records.put(param, -size);
      return this;
    }

    /**
     * The entry's arguments, in order, by the Java argument each one comes
     * from: "iN" an int as given, "bN" a byte zero-extended, "yN" a boolean as
     * "Y" (89) or "N" (78), "cN" the first byte of a string, "sN" a string's
     * bytes, "sN:W" the same cut to a fixed field of W bytes, "rN" an input
     * record (its size from in()), "LN" an array's length, "o" an output
     * buffer, "null" a null pointer, "-" not checked.
     */
    Row to(String... arguments) {
      route.addAll(List.of(arguments));
      return this;
    }

    @Override
    public String toString() {
      return method;
    }
  }

  /** The size the native reads or writes for getReport: the array's own length. */
  static final int ARRAY_LENGTH = Integer.MAX_VALUE;

  static final List<Row> ROWS;

  private static Row checked(String method, String entry) {
    return new Row(method, entry, 0, Mode.CHECKED);
  }

  private static Row passesEleven(String method, String entry) {
    return new Row(method, entry, 11, Mode.CHECKED);
  }

  private static Row ignored(String method, String entry) {
    return new Row(method, entry, 0, Mode.IGNORED);
  }

  static {
    List<Row> r = new ArrayList<>();
    // Settings.
    r.add(checked("setPriceAgeCounter", "qrSetPriceAgeCounter").to("i0"));
    r.add(ignored("setEncryptionCode", "qrSetEncryptionCode").to("b0"));
    r.add(ignored("setDebugFlags", "qrEnable").to("i0"));
    r.add(ignored("LogString", "qrLogString").to("s0"));
    r.add(checked("setOMIEnabled", "qrOMIEnabled").to("y0"));
    r.add(checked("getEnabledFunctionality", "qrEnabledFunctionality").out(0, 2).to("o", "o"));
    r.add(ignored("setHostHandShakePeriods", "qrSetHostHandShake").to("i0", "i1"));
    r.add(ignored("setPriceHandShakePeriods", "qrSetPriceHandShake").to("i0", "i1"));
    r.add(checked("setInternetUser", "qrSetInternetUser").to("y0"));
    r.add(ignored("setOrderCancelFailureDelay", "qrSetOrderCancelFailureDelay").to("i0"));
    r.add(ignored("setOrderSentFailureDelay", "qrSetOrderSentFailureDelay").to("i0"));
    r.add(ignored("setOrderQueuedFailureDelay", "qrSetOrderQueuedFailureDelay").to("i0"));
    r.add(checked("isRavelin", "qrRavelinEnabled").out(0, 1).to());
    r.add(checked("setSSLEnabled", "qrSetSSL").to("y0"));
    r.add(checked("setPDDSSLEnabled", "qrSetPDDSSL").to("y0"));
    r.add(checked("setSSLCertName", "qrSetSSLCertificateName").to("s0"));
    r.add(checked("setPDDSSLCertName", "qrSetPDDSSLCertificateName").to("s0"));
    r.add(checked("setSSLClientAuthName", "qrSetSSLClientAuthName").to("s0"));
    r.add(checked("setPDDSSLClientAuthName", "qrSetPDDSSLClientAuthName").to("s0"));
    r.add(checked("setMDSToken", "qrSetMDSToken").to("s0"));
    r.add(checked("setRavelinEnabled", "qrSetRavelin").to("y0"));
    r.add(new Row("setMemoryWarning", "qrSetMemoryWarning", 11, Mode.UNCHANGED).to("i0"));
    // Reference data.
    r.add(checked("countAccounts", "qrCountTraders").out(0, 1).to("o"));
    r.add(checked("countExchanges", "qrCountExchanges").out(0, 1).to("o"));
    r.add(checked("countCommodities", "qrCountCommodities").out(0, 1).to("o"));
    r.add(checked("countOrderTypes", "qrCountOrderTypes").out(0, 1).to("o"));
    r.add(checked("countOrders", "qrCountOrders").out(0, 1).to("o"));
    r.add(checked("countFills", "qrCountFills").out(0, 1).to("o"));
    r.add(checked("countContracts", "qrCountContracts").out(0, 1).to("o"));
    r.add(checked("countReportTypes", "qrCountReportTypes").out(0, 1).to("o"));
    r.add(checked("countMessages", "qrCountUsrMsgs").out(0, 1).to("o"));
    r.add(checked("getAccount", "qrGetTrader").out(1, 48).to("i0", "o"));
    r.add(passesEleven("getExchange", "qrGetExchange").out(1, 33).to("i0", "o"));
    r.add(passesEleven("getCommodity", "qrGetCommodity").out(1, 74).to("i0", "o"));
    r.add(checked("getOrderType", "qrGetOrderType").out(1, 37).to("i0", "o"));
    r.add(passesEleven("getOrder", "qrGetOrder").out(1, 1410).to("i0", "o"));
    r.add(passesEleven("getFill", "qrGetFill").out(1, 473).to("i0", "o"));
    r.add(passesEleven("getContract", "qrGetExtendedContract").out(1, 1107).to("i0", "o"));
    r.add(passesEleven("getReportType", "qrGetReportType").out(1, 21).to("i0", "o"));
    r.add(passesEleven("getMessage", "qrGetUsrMsg").out(1, 514).to("i0", "o"));
    r.add(passesEleven("getAccountByName", "qrGetTraderByName").out(1, 47).to("s0", "o"));
    r.add(checked("getExchangeByName", "qrGetExchangeByName").out(1, 33).to("s0", "o"));
    r.add(checked("getCommodityByName", "qrGetCommodityByName").out(2, 74).to("s0", "s1", "o"));
    r.add(checked("getContractByName", "qrGetExtendedContractByName")
              .out(3, 1107)
              .to("s0", "s1", "s2", "o"));
    r.add(checked("countOrderHistory", "qrCountOrderHistory").out(1, 1).to("i0", "o"));
    r.add(checked("getOrderHistory", "qrGetOrderHistory").out(2, 1410).to("i0", "i1", "o"));
    r.add(checked("getReportSize", "qrGetReportSize").out(1, 1).to("s0", "o"));
    r.add(checked("getReport", "qrGetReport").out(1, ARRAY_LENGTH).to("s0", "L1", "o"));
    r.add(checked("getExchangeRate", "qrGetExchangeRate").out(1, 21).to("s0", "o"));
    r.add(checked("acknowledgeUsrMsg", "qrAcknowledgeUsrMsg").to("s0"));
    // Market data.
    r.add(checked("subscribe", "qrSubscribePrice").to("s0:10", "s1:10", "s2:50"));
    r.add(checked("subscribeToMarket", "qrSubscribeToMarket").to("s0:10", "s1:10", "s2:50"));
    r.add(checked("unsubscribe", "qrUnsubscribePrice").to("s0:10", "s1:10", "s2:50"));
    r.add(checked("unsubscribeToMarket", "qrUnsubscribeToMarket").to("s0:10", "s1:10", "s2:50"));
    r.add(checked("getContractPrices", "qrGetPriceForContract")
              .out(3, 2412)
              .to("s0", "s1", "s2", "o"));
    r.add(checked("getGenericPrice", "qrGetGenericPrice")
              .out(5, 30)
              .to("s0", "s1", "s2", "i3", "i4", "o"));
    r.add(checked("countContractAtBest", "qrCountContractAtBest")
              .out(3, 1)
              .to("s0", "s1", "s2", "o"));
    r.add(checked("getContractAtBest", "qrGetContractAtBest")
              .out(4, 9)
              .to("s0", "s1", "s2", "i3", "o"));
    r.add(checked("getContractAtBestPrices", "qrGetContractAtBestPrices")
              .out(3, 50)
              .to("s0", "s1", "s2", "o"));
    r.add(checked("countContractSubscriberDepth", "qrCountContractSubscriberDepth")
              .out(3, 1)
              .to("s0", "s1", "s2", "o"));
    r.add(checked("getContractSubscriberDepth", "qrGetContractSubscriberDepth")
              .out(4, 30)
              .to("s0", "s1", "s2", "i3", "o"));
    r.add(checked("subscribeToBroadcasts", "qrSubscribeBroadcast").to("s0:10"));
    r.add(checked("unSubscribeFromBroadcasts", "qrUnsubscribeBroadcast").to("s0:10"));
    // Order entry.
    r.add(checked("getOrderById", "qrGetOrderByID").out(1, 1410).to("s0", "o", "i2"));
    r.add(checked("getOrderIndex", "qrGetOrderIndex").out(1, 1).to("s0", "o"));
    r.add(checked("getFillById", "qrGetFillByID").out(1, 473).to("s0", "o"));
    r.add(checked("addOrder", "qrAddOrder").in(0, 957).to("r0", "null"));
    r.add(checked("addProtectionOrder", "qrAddProtectionOrder")
              .in(0, 957)
              .in(1, 149)
              .to("r0", "r1", "null"));
    r.add(checked("addBatchOrder", "qrAddBatchOrder")
              .in(1, 9570)
              .out(2, 110)
              .out(3, 11)
              .to("i0", "r1", "o", "o"));
    r.add(checked("addAggOrder", "qrAddAggregateOrder").in(0, 147).to("r0", "null"));
    r.add(checked("addCustReqOrder", "qrAddCustRequest").in(0, 222).to("r0", "null"));
    r.add(checked("reparentOrder", "qrReParent").to("s0", "s1"));
    r.add(checked("addCrossingOrder", "qrAddCrossingOrder")
              .in(0, 957)
              .in(1, 957)
              .in(2, 336)
              .out(3, 22)
              .to("r0", "r1", "r2", "o", "b4"));
    r.add(checked("addBlockOrder", "qrAddBlockOrder")
              .in(0, 957)
              .in(1, 957)
              .in(2, 336)
              .out(3, 22)
              .to("r0", "r1", "r2", "o"));
    r.add(checked("addBasisOrder", "qrAddBasisOrder")
              .in(0, 957)
              .in(1, 957)
              .in(2, 64)
              .out(3, 22)
              .to("r0", "r1", "r2", "o"));
    r.add(checked("addAAOrder", "qrAddAAOrder")
              .in(0, 957)
              .in(1, 957)
              .out(4, 22)
              .to("r0", "r1", "s2:10", "s3:10", "o"));
    r.add(checked("amendOrder", "qrAmendOrder").in(1, 782).to("s0", "r1"));
    r.add(checked("checkOrder", "qrOrderChecked").to("s0", "y1"));
    r.add(checked("queryOrder", "qrQueryOrderStatus").to("s0"));
    r.add(checked("cancelAll", "qrCancelAll").to("s0"));
    r.add(checked("cancelBuys", "qrCancelBuys").to("s0", "s1", "s2", "s3"));
    r.add(checked("cancelSells", "qrCancelSells").to("s0", "s1", "s2", "s3"));
    r.add(checked("cancelOrders", "qrCancelOrders").to("s0", "s1", "s2", "s3"));
    r.add(checked("cancelOrder", "qrCancelOrder").to("s0"));
    r.add(checked("nextOrderSequence", "qrNextOrderSequence").out(0, 1).to("o"));
    // Positions and risk.
    r.add(checked("pLBurnRate", "qrPLBurnRate").out(4, 1).to("s0", "s1", "s2", "s3", "o"));
    r.add(checked("openPositionExposure", "qrOpenPositionExposure")
              .out(4, 1)
              .to("s0", "s1", "s2", "s3", "o"));
    r.add(checked("buyingPowerRemaining", "qrBuyingPowerRemaining")
              .out(4, 1)
              .to("s0", "s1", "s2", "s3", "o"));
    r.add(
        checked("buyingPowerUsed", "qrBuyingPowerUsed").out(4, 1).to("s0", "s1", "s2", "s3", "o"));
    r.add(checked("averagePrice", "qrGetAveragePrice").out(4, 1).to("s0", "s1", "s2", "s3", "o"));
    r.add(checked("marginForTrade", "qrMarginForTrade")
              .out(7, 1)
              .to("s0", "s1", "s2", "s3", "i5", "s4", "s6", "o"));
    r.add(checked("getOptionPremium", "qrGetOptionPremium")
              .out(6, 1)
              .to("s0", "s1", "s2", "c3", "s4", "i5", "o"));
    r.add(checked("openPosition", "qrGetOpenPosition").out(4, 29).to("s0", "s1", "s2", "s3", "o"));
    r.add(checked("contractPosition", "qrGetContractPosition")
              .out(4, 29)
              .to("s0", "s1", "s2", "s3", "o"));
    r.add(checked("getConsolidatedPosition", "qrgetConsolidatedPosition")
              .in(5, 4)
              .to("s0", "s1", "s2", "s3", "i4", "r5"));
    // Strategy creation.
    r.add(checked("createStrategy", "qrCreateStrategy").to("b0", "i1", "s2", "s3", "-"));
    ROWS = Collections.unmodifiableList(r);
  }

  /** The natives the table leaves to the session and pump tests. */
  static final List<String> NOT_IN_TABLE =
      List.of("getErrorMessage", "processCallbacks", "initialise", "openConnections", "logon",
          "purge", "logoff", "closeConnections", "APIBuildVersion", "lockUpdates", "unlockUpdates");

  private NativeTable() {}
}
