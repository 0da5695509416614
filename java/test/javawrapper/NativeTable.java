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
    CHECKED,   // 7 and 99 come back; 99 makes the library dump its last error
    IGNORED,   // the native answers 0 whatever the entry says
    UNCHANGED  // the entry's code comes back as it is, unchecked
  }

  static final class Row {
    final String method;
    final String entry;
    final int onEleven;
    final Mode mode;
    final Map<Integer, Integer> records = new LinkedHashMap<>();

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
    r.add(checked("setPriceAgeCounter", "qrSetPriceAgeCounter"));
    r.add(ignored("setEncryptionCode", "qrSetEncryptionCode"));
    r.add(ignored("setDebugFlags", "qrEnable"));
    r.add(ignored("LogString", "qrLogString"));
    r.add(checked("setOMIEnabled", "qrOMIEnabled"));
    r.add(checked("getEnabledFunctionality", "qrEnabledFunctionality").out(0, 2));
    r.add(ignored("setHostHandShakePeriods", "qrSetHostHandShake"));
    r.add(ignored("setPriceHandShakePeriods", "qrSetPriceHandShake"));
    r.add(checked("setInternetUser", "qrSetInternetUser"));
    r.add(ignored("setOrderCancelFailureDelay", "qrSetOrderCancelFailureDelay"));
    r.add(ignored("setOrderSentFailureDelay", "qrSetOrderSentFailureDelay"));
    r.add(ignored("setOrderQueuedFailureDelay", "qrSetOrderQueuedFailureDelay"));
    r.add(checked("isRavelin", "qrRavelinEnabled").out(0, 1));
    r.add(checked("setSSLEnabled", "qrSetSSL"));
    r.add(checked("setPDDSSLEnabled", "qrSetPDDSSL"));
    r.add(checked("setSSLCertName", "qrSetSSLCertificateName"));
    r.add(checked("setPDDSSLCertName", "qrSetPDDSSLCertificateName"));
    r.add(checked("setSSLClientAuthName", "qrSetSSLClientAuthName"));
    r.add(checked("setPDDSSLClientAuthName", "qrSetPDDSSLClientAuthName"));
    r.add(checked("setMDSToken", "qrSetMDSToken"));
    r.add(checked("setRavelinEnabled", "qrSetRavelin"));
    r.add(new Row("setMemoryWarning", "qrSetMemoryWarning", 11, Mode.UNCHANGED));
    // Reference data.
    r.add(checked("countAccounts", "qrCountTraders").out(0, 1));
    r.add(checked("countExchanges", "qrCountExchanges").out(0, 1));
    r.add(checked("countCommodities", "qrCountCommodities").out(0, 1));
    r.add(checked("countOrderTypes", "qrCountOrderTypes").out(0, 1));
    r.add(checked("countOrders", "qrCountOrders").out(0, 1));
    r.add(checked("countFills", "qrCountFills").out(0, 1));
    r.add(checked("countContracts", "qrCountContracts").out(0, 1));
    r.add(checked("countReportTypes", "qrCountReportTypes").out(0, 1));
    r.add(checked("countMessages", "qrCountUsrMsgs").out(0, 1));
    r.add(checked("getAccount", "qrGetTrader").out(1, 48));
    r.add(passesEleven("getExchange", "qrGetExchange").out(1, 33));
    r.add(passesEleven("getCommodity", "qrGetCommodity").out(1, 74));
    r.add(checked("getOrderType", "qrGetOrderType").out(1, 37));
    r.add(passesEleven("getOrder", "qrGetOrder").out(1, 1410));
    r.add(passesEleven("getFill", "qrGetFill").out(1, 473));
    r.add(passesEleven("getContract", "qrGetExtendedContract").out(1, 1107));
    r.add(passesEleven("getReportType", "qrGetReportType").out(1, 21));
    r.add(passesEleven("getMessage", "qrGetUsrMsg").out(1, 514));
    r.add(passesEleven("getAccountByName", "qrGetTraderByName").out(1, 47));
    r.add(checked("getExchangeByName", "qrGetExchangeByName").out(1, 33));
    r.add(checked("getCommodityByName", "qrGetCommodityByName").out(2, 74));
    r.add(checked("getContractByName", "qrGetExtendedContractByName").out(3, 1107));
    r.add(checked("countOrderHistory", "qrCountOrderHistory").out(1, 1));
    r.add(checked("getOrderHistory", "qrGetOrderHistory").out(2, 1410));
    r.add(checked("getReportSize", "qrGetReportSize").out(1, 1));
    r.add(checked("getReport", "qrGetReport").out(1, ARRAY_LENGTH));
    r.add(checked("getExchangeRate", "qrGetExchangeRate").out(1, 21));
    r.add(checked("acknowledgeUsrMsg", "qrAcknowledgeUsrMsg"));
    // Market data.
    r.add(checked("subscribe", "qrSubscribePrice"));
    r.add(checked("subscribeToMarket", "qrSubscribeToMarket"));
    r.add(checked("unsubscribe", "qrUnsubscribePrice"));
    r.add(checked("unsubscribeToMarket", "qrUnsubscribeToMarket"));
    r.add(checked("getContractPrices", "qrGetPriceForContract").out(3, 2412));
    r.add(checked("getGenericPrice", "qrGetGenericPrice").out(5, 30));
    r.add(checked("countContractAtBest", "qrCountContractAtBest").out(3, 1));
    r.add(checked("getContractAtBest", "qrGetContractAtBest").out(4, 9));
    r.add(checked("getContractAtBestPrices", "qrGetContractAtBestPrices").out(3, 50));
    r.add(checked("countContractSubscriberDepth", "qrCountContractSubscriberDepth").out(3, 1));
    r.add(checked("getContractSubscriberDepth", "qrGetContractSubscriberDepth").out(4, 30));
    r.add(checked("subscribeToBroadcasts", "qrSubscribeBroadcast"));
    r.add(checked("unSubscribeFromBroadcasts", "qrUnsubscribeBroadcast"));
    // Order entry.
    r.add(checked("getOrderById", "qrGetOrderByID").out(1, 1410));
    r.add(checked("getOrderIndex", "qrGetOrderIndex").out(1, 1));
    r.add(checked("getFillById", "qrGetFillByID").out(1, 473));
    r.add(checked("addOrder", "qrAddOrder").in(0, 957));
    r.add(checked("addProtectionOrder", "qrAddProtectionOrder").in(0, 957).in(1, 149));
    r.add(checked("addBatchOrder", "qrAddBatchOrder").in(1, 9570).out(2, 110).out(3, 11));
    r.add(checked("addAggOrder", "qrAddAggregateOrder").in(0, 147));
    r.add(checked("addCustReqOrder", "qrAddCustRequest").in(0, 222));
    r.add(checked("reparentOrder", "qrReParent"));
    r.add(checked("addCrossingOrder", "qrAddCrossingOrder").in(0, 957).in(1, 957).in(2, 336)
        .out(3, 22));
    r.add(checked("addBlockOrder", "qrAddBlockOrder").in(0, 957).in(1, 957).in(2, 336).out(3, 22));
    r.add(checked("addBasisOrder", "qrAddBasisOrder").in(0, 957).in(1, 957).in(2, 64).out(3, 22));
    r.add(checked("addAAOrder", "qrAddAAOrder").in(0, 957).in(1, 957).out(4, 22));
    r.add(checked("amendOrder", "qrAmendOrder").in(1, 782));
    r.add(checked("checkOrder", "qrOrderChecked"));
    r.add(checked("queryOrder", "qrQueryOrderStatus"));
    r.add(checked("cancelAll", "qrCancelAll"));
    r.add(checked("cancelBuys", "qrCancelBuys"));
    r.add(checked("cancelSells", "qrCancelSells"));
    r.add(checked("cancelOrders", "qrCancelOrders"));
    r.add(checked("cancelOrder", "qrCancelOrder"));
    r.add(checked("nextOrderSequence", "qrNextOrderSequence").out(0, 1));
    // Positions and risk.
    r.add(checked("pLBurnRate", "qrPLBurnRate").out(4, 1));
    r.add(checked("openPositionExposure", "qrOpenPositionExposure").out(4, 1));
    r.add(checked("buyingPowerRemaining", "qrBuyingPowerRemaining").out(4, 1));
    r.add(checked("buyingPowerUsed", "qrBuyingPowerUsed").out(4, 1));
    r.add(checked("averagePrice", "qrGetAveragePrice").out(4, 1));
    r.add(checked("marginForTrade", "qrMarginForTrade").out(7, 1));
    r.add(checked("getOptionPremium", "qrGetOptionPremium").out(6, 1));
    r.add(checked("openPosition", "qrGetOpenPosition").out(4, 29));
    r.add(checked("contractPosition", "qrGetContractPosition").out(4, 29));
    r.add(checked("getConsolidatedPosition", "qrgetConsolidatedPosition").in(5, 4));
    // Strategy creation.
    r.add(checked("createStrategy", "qrCreateStrategy"));
    ROWS = Collections.unmodifiableList(r);
  }

  /** The natives the table leaves to the session and pump tests. */
  static final List<String> NOT_IN_TABLE = List.of("getErrorMessage", "processCallbacks",
      "initialise", "openConnections", "logon", "purge", "logoff", "closeConnections",
      "APIBuildVersion", "lockUpdates", "unlockUpdates");

  private NativeTable() {}
}
