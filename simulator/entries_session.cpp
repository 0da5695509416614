// Registration, session, connection, settings and logon entries.
#include "simulator/exports.h"
#include "simulator/market.h"
#include "simulator/sim.h"

using namespace sim;

namespace {
constexpr int32_t kLogonStatusId = 3;
constexpr int32_t kDownloadCompleteId = 7;
constexpr size_t kLogonStatusBytes = 343;
constexpr size_t kBuildVersionBytes = 26;
constexpr size_t kLogonRecordBytes = 770;
}  // namespace

#define SIM_REGISTRATION(entry, ProcType, kind)                                               \
  int32_t QR_CALL entry(int32_t id, ProcType proc) {                                          \
    return Call(#entry, {Int(id)},                                                            \
                [&] { return Register(id, ProcKind::kind, reinterpret_cast<void*>(proc)); }); \
  }

#define SIM_SIMPLE(entry, params, ...)  \
  int32_t QR_CALL entry params {        \
    return Call(#entry, {__VA_ARGS__}); \
  }

extern "C" {

SIM_REGISTRATION(qrRegisterCallback, QRSignalProc, kSignal)
SIM_REGISTRATION(qrRegisterLinkStateCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterMsgCallback, QRMessageProc, kMessage)
SIM_REGISTRATION(qrRegisterOrderCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterFillCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterPriceCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterBlankPriceCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterGenericPriceCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterDOMCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterContractCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterCommodityCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterExchangeCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterStatusCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterExchangeRateCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterConStatusCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterOrderCancelFailureCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterOrderSentFailureCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterOrderQueuedFailureCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterAtBestCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterTickerCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterSubscriberDepthCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterAmendFailureCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterSettlementCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterStrategyCreateSuccess, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterStrategyCreateFailure, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterOrderBookReset, QRSignalProc, kSignal)
SIM_REGISTRATION(qrRegisterTraderAddedCallback, QRRecordProc, kRecord)
SIM_REGISTRATION(qrRegisterOrderTypeUpdateCallback, QRRecordProc, kRecord)

// A new session forgets the registrations of the last one.
int32_t QR_CALL qrInitialise(int32_t environment, const char* version, const char* text1,
                             const char* application, const char* text2, int32_t initByte) {
  return Call(
      "qrInitialise",
      {Int(environment), Text(version), Text(text1), Text(application), Text(text2), Int(initByte)},
      [&] {
        ClearRegistrations();
        market::NewSession(text1);
        return 0;
      });
}

// The line goes to the simulator's log as a real library's goes to its file.
int32_t QR_CALL qrLogString(const char* text) {
  return Call("qrLogString", {Text(text)}, [&] {
    WriteLog(text);
    return 0;
  });
}

int32_t QR_CALL qrGetAPIBuildVersion(void* version) {
  return Call("qrGetAPIBuildVersion", {Out(version)}, [&] {
    FillOutput("qrGetAPIBuildVersion", version, kBuildVersionBytes);
    return 0;
  });
}

SIM_SIMPLE(qrReady, ())
SIM_SIMPLE(qrPurge, (const char* first, const char* second), Text(first), Text(second))
SIM_SIMPLE(qrDisconnect, ())
SIM_SIMPLE(qrSetHostAddress, (const char* host, const char* port), Text(host), Text(port))
SIM_SIMPLE(qrSetPriceAddress, (const char* host, const char* port), Text(host), Text(port))
SIM_SIMPLE(qrEnable, (int32_t flags), Int(flags))
SIM_SIMPLE(qrDisable, (int32_t flags), Int(flags))
SIM_SIMPLE(qrOMIEnabled, (int32_t flag), Int(flag))
SIM_SIMPLE(qrNotifyAllMessages, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetHostReconnect, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetPriceReconnect, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetPriceAgeCounter, (int32_t value), Int(value))
SIM_SIMPLE(qrSetEncryptionCode, (int32_t code), Int(code))
SIM_SIMPLE(qrSetHandShakePeriod, (int32_t first, int32_t second), Int(first), Int(second))
SIM_SIMPLE(qrSetHostHandShake, (int32_t first, int32_t second), Int(first), Int(second))
SIM_SIMPLE(qrSetPriceHandShake, (int32_t first, int32_t second), Int(first), Int(second))
SIM_SIMPLE(qrSetInternetUser, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetClientPath, (const char* path), Text(path))

const char* QR_CALL qrGetErrorMessage(int32_t code) {
  Call("qrGetErrorMessage", {Int(code)});
  return ErrorText(code);
}

SIM_SIMPLE(qrDumpLastError, ())
SIM_SIMPLE(qrLumenvaleEnabled, ())
SIM_SIMPLE(qrSetOrderCancelFailureDelay, (int32_t delay), Int(delay))
SIM_SIMPLE(qrSetOrderSentFailureDelay, (int32_t delay), Int(delay))
SIM_SIMPLE(qrSetOrderQueuedFailureDelay, (int32_t delay), Int(delay))
SIM_SIMPLE(qrRavelinEnabled, ())
SIM_SIMPLE(qrSetSSL, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetPDDSSL, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetPDDSSLCertificateName, (const char* name), Text(name))
SIM_SIMPLE(qrSetPDDSSLClientAuthName, (const char* name), Text(name))
SIM_SIMPLE(qrSetSSLCertificateName, (const char* name), Text(name))
SIM_SIMPLE(qrSetSSLClientAuthName, (const char* name), Text(name))
SIM_SIMPLE(qrSetMDSToken, (const char* token), Text(token))
SIM_SIMPLE(qrSetRavelin, (int32_t flag), Int(flag))
SIM_SIMPLE(qrSetMemoryWarning, (int32_t level), Int(level))

// Log-on answers on a thread of its own, as the real library does: first the
// logon status, then "data download complete".
int32_t QR_CALL qrLogOn(const void* logon) {
  return Call("qrLogOn", {Record(logon, kLogonRecordBytes)}, [] {
    market::StartSession();
    StartThread([] {
      if (Stopping()) return;
      Deliver(kLogonStatusId, nullptr, 0);
      if (Stopping()) return;
      Deliver(kDownloadCompleteId, nullptr, 0);
    });
    return 0;
  });
}

// Log-off stops and joins every thread that could still call back.
int32_t QR_CALL qrLogOff() {
  return Call("qrLogOff", {}, [] {
    StopThreads();
    return 0;
  });
}

int32_t QR_CALL qrGetLogonStatus(void* status) {
  return Call("qrGetLogonStatus", {Out(status)}, [&] {
    if (market::On()) return market::GetLogonStatus(status);
    FillOutput("qrGetLogonStatus", status, kLogonStatusBytes);
    return 0;
  });
}

SIM_SIMPLE(qrDOMEnabled, ())
SIM_SIMPLE(qrPostTradeAmendEnabled, ())

int32_t QR_CALL qrEnabledFunctionality(int32_t* first, int32_t* second) {
  return Call("qrEnabledFunctionality", {Out(first), Out(second)}, [&] {
    FillCount("qrEnabledFunctionality", first, 0x7);
    if (second != nullptr) *second = 0x3;
    return 0;
  });
}

SIM_SIMPLE(qrLockUpdates, ())
SIM_SIMPLE(qrUnlockUpdates, ())

}  // extern "C"
