package korvane.api.delphi;

/**
 * The front-end's gateway to the trading library, through the JavaWrapper
 * native library.
 *
 * <p>Every native returns a result code (0 for success; see {@link
 * #getErrorMessage(int)}) and never throws; records travel as raw bytes in the
 * arrays given. Events arrive through {@link #messageReceived(int, int)} on
 * the one thread that runs {@link #processCallbacks(byte[])}.
 *
 * <p>The native library is {@code JavaWrapper} on the library path, or the
 * file named by the system property {@code javawrapper.library}.
 */
public class ClientAPI {
  static {
    String file = System.getProperty("javawrapper.library");
    if (file != null && !file.isEmpty()) {
      System.load(file);
    } else {
      System.loadLibrary("JavaWrapper");
    }
  }

  /**
   * Called on the thread inside {@link #processCallbacks(byte[])} for every
   * event; the first {@code length} bytes of that call's buffer hold the
   * record, valid only until this method returns.
   */
  public void messageReceived(int id, int length) {}

  // Result codes and events.
  public native String getErrorMessage(int code);
  public native void processCallbacks(byte[] buffer);

  // Session.
  public native int initialise(String libraryDirectory, String clientPath, boolean demo,
      boolean test, boolean connectionStatus, String initText1, byte initByte,
      String applicationText, String initText2);
  public native int openConnections(String[] hostAddresses, String[] priceAddresses);
  public native int logon(String text1, String text2, String text3, boolean flag1, boolean flag2);
  public native int purge(String first, String second);
  public native int logoff();
  public native int closeConnections();
  public native int APIBuildVersion(byte[] version);
  public native int lockUpdates();
  public native int unlockUpdates();

  // Settings.
  public native int setPriceAgeCounter(int value);
  public native int setEncryptionCode(byte code);
  public native int setDebugFlags(int flags);
  public native int LogString(String text);
  public native int setOMIEnabled(boolean enabled);
  public native int getEnabledFunctionality(int[] values);
  public native int setHostHandShakePeriods(int first, int second);
  public native int setPriceHandShakePeriods(int first, int second);
  public native int setInternetUser(boolean internetUser);
  public native int setOrderCancelFailureDelay(int delay);
  public native int setOrderSentFailureDelay(int delay);
  public native int setOrderQueuedFailureDelay(int delay);
  public native int isRavelin(boolean[] answer);
  public native int setSSLEnabled(boolean enabled);
  public native int setPDDSSLEnabled(boolean enabled);
  public native int setSSLCertName(String name);
  public native int setPDDSSLCertName(String name);
  public native int setSSLClientAuthName(String name);
  public native int setPDDSSLClientAuthName(String name);
  public native int setMDSToken(String token);
  public native int setRavelinEnabled(boolean enabled);
  public native int setMemoryWarning(int level);

  // Reference data: counts.
  public native int countAccounts(int[] count);
  public native int countExchanges(int[] count);
  public native int countCommodities(int[] count);
  public native int countOrderTypes(int[] count);
  public native int countOrders(int[] count);
  public native int countFills(int[] count);
  public native int countContracts(int[] count);
  public native int countReportTypes(int[] count);
  public native int countMessages(int[] count);

  // Reference data: fetches by index.
  public native int getAccount(int index, byte[] record);
  public native int getExchange(int index, byte[] record);
  public native int getCommodity(int index, byte[] record);
  public native int getOrderType(int index, byte[] record);
  public native int getOrder(int index, byte[] record);
  public native int getFill(int index, byte[] record);
  public native int getContract(int index, byte[] record);
  public native int getReportType(int index, byte[] record);
  public native int getMessage(int index, byte[] record);

  // Reference data: keyed.
  public native int getAccountByName(String name, byte[] record);
  public native int getExchangeByName(String exchange, byte[] record);
  public native int getCommodityByName(String exchange, String commodity, byte[] record);
  public native int getContractByName(String exchange, String commodity, String contract,
      byte[] record);
  public native int countOrderHistory(int order, int[] count);
  public native int getOrderHistory(int order, int position, byte[] record);
  public native int getReportSize(String reportType, int[] size);
  public native int getReport(String reportType, byte[] report);
  public native int getExchangeRate(String currency, byte[] record);
  public native int acknowledgeUsrMsg(String messageId);

  // Market data.
  public native int subscribe(String exchange, String commodity, String contract);
  public native int subscribeToMarket(String exchange, String commodity, String contract);
  public native int unsubscribe(String exchange, String commodity, String contract);
  public native int unsubscribeToMarket(String exchange, String commodity, String contract);
  public native int getContractPrices(String exchange, String commodity, String contract,
      byte[] record);
  public native int getGenericPrice(String exchange, String commodity, String contract,
      int first, int second, byte[] record);
  public native int countContractAtBest(String exchange, String commodity, String contract,
      int[] count);
  public native int getContractAtBest(String exchange, String commodity, String contract,
      int index, byte[] record);
  public native int getContractAtBestPrices(String exchange, String commodity, String contract,
      byte[] record);
  public native int countContractSubscriberDepth(String exchange, String commodity,
      String contract, int[] count);
  public native int getContractSubscriberDepth(String exchange, String commodity,
      String contract, int index, byte[] record);
  public native int subscribeToBroadcasts(String source);
  public native int unSubscribeFromBroadcasts(String source);

  // Order entry.
  public native int getOrderById(String orderId, byte[] record, int n);
  public native int getOrderIndex(String orderId, int[] index);
  public native int getFillById(String fillId, byte[] record);
  public native int addOrder(byte[] order);
  public native int addProtectionOrder(byte[] order, byte[] protection);
  public native int addBatchOrder(int n, byte[] orders, byte[] resultsA, byte[] resultB);
  public native int addAggOrder(byte[] order);
  public native int addCustReqOrder(byte[] request);
  public native int reparentOrder(String first, String second);
  public native int addCrossingOrder(byte[] first, byte[] second, byte[] details,
      byte[] results, byte code);
  public native int addBlockOrder(byte[] first, byte[] second, byte[] details, byte[] results);
  public native int addBasisOrder(byte[] first, byte[] second, byte[] basisDetails,
      byte[] results);
  public native int addAAOrder(byte[] first, byte[] second, String s1, String s2,
      byte[] results);
  public native int amendOrder(String orderId, byte[] amend);
  public native int checkOrder(String orderId, boolean checked);
  public native int queryOrder(String orderId);
  public native int cancelAll(String s);
  public native int cancelBuys(String s1, String s2, String s3, String s4);
  public native int cancelSells(String s1, String s2, String s3, String s4);
  public native int cancelOrders(String s1, String s2, String s3, String s4);
  public native int cancelOrder(String orderId);
  public native int nextOrderSequence(int[] sequence);

  // Positions and risk.
  public native int pLBurnRate(String s1, String s2, String s3, String s4, double[] value);
  public native int openPositionExposure(String s1, String s2, String s3, String s4,
      double[] value);
  public native int buyingPowerRemaining(String s1, String s2, String s3, String s4,
      double[] value);
  public native int buyingPowerUsed(String s1, String s2, String s3, String s4, double[] value);
  public native int averagePrice(String s1, String s2, String s3, String s4, double[] value);
  public native int marginForTrade(String s1, String s2, String s3, String s4, String s5, int n,
      String s6, double[] value);
  public native int getOptionPremium(String s1, String s2, String s3, String ch, String s4, int n,
      double[] value);
  public native int openPosition(String s1, String s2, String s3, String s4, byte[] record);
  public native int contractPosition(String s1, String s2, String s3, String s4, byte[] record);
  public native int getConsolidatedPosition(String s1, String s2, String s3, String s4, int n,
      byte[] block);

  // Strategy creation.
  public native int createStrategy(byte kind, int n, String s1, String s2, String[] legs);
}
