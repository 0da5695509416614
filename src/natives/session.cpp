// Session natives: initialise, openConnections, logon, purge, logoff,
// closeConnections, APIBuildVersion, lockUpdates, unlockUpdates.
#include <string>

#include "natives/frame.h"
#include "natives/onload.h"
#include "platform/platform.h"
#include "relay/entry_points.h"
#include "relay/queue.h"

namespace natives {
namespace {

constexpr const char* kApiVersion = "v2.8.3";
constexpr size_t kLogonTextCapacity = 255;
constexpr size_t kBuildVersionBytes = 26;

struct LogonRecord {
  FixedText<kLogonTextCapacity> text1;
  FixedText<kLogonTextCapacity> text2;
  FixedText<kLogonTextCapacity> text3;
  char flag1;
  char flag2;
};
// Character arrays only, so there is no padding between the fields.
static_assert(sizeof(LogonRecord) == 770, "the logon record is 770 bytes");

// Blank: nothing left once bytes 0x00 to 0x20 are removed from both ends.
bool IsBlank(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) > 0x20) return false;
  return true;
}

// The directory of the bridge's own module file, with its trailing separator.
std::string ModuleDirectory() {
  const std::string file = platform::ModuleFileName();
  size_t end = file.size();
  while (end > 0 && !platform::IsDirectoryEnd(file[end - 1])) --end;
  return file.substr(0, end);
}

// Passes each host:port entry from the last element down to element 0.
template <typename SetAddress>
void PassAddresses(JNIEnv* env, jobjectArray entries, SetAddress setAddress) {
  for (jsize i = StringArrayLength(env, entries) - 1; i >= 0; --i) {
    const auto [host, port] = GetHostAndPort(StringElement(env, entries, i));
    CheckResult(setAddress(host.c_str(), port.c_str()));
  }
}

}  // namespace
}  // namespace natives

using namespace natives;

CLIENT_API(initialise)
(JNIEnv* env, jobject, jstring jLibraryDir, jstring jClientPath, jboolean demo, jboolean test,
 jboolean connectionStatus, jstring jText1, jbyte initByte, jstring jApplication, jstring jText2) {
  // The trace (when asked for) opens first, so the call itself is in it.
  const char* const where = __func__;
  const std::string traceProblem = trace::Start(env);
  TraceSignatureMismatches();
  return Edge(where, where, [&] {
    relay::CreateQueue();  // before anything can fail
    // Read in the order Java declares them, as the trace names them.
    std::string libraryDir = JNIString(env, jLibraryDir);
    std::string clientPath = JNIString(env, jClientPath);
    trace::Numbers(demo, test, connectionStatus);
    std::string text1;
    {
      // The library's own texts (a licence key, perhaps): length only.
      trace::Secret credentials(trace::Secret::kCredentials);
      text1 = JNIString(env, jText1);
    }
    trace::Numbers(initByte);
    if (IsBlank(clientPath)) clientPath = ModuleDirectory();
    if (IsBlank(libraryDir)) libraryDir = ModuleDirectory();
    const int32_t letter = demo ? 'D' : (test ? 'T' : 'C');
    {
      // A trace that could not start is said once whether or not the load
      // succeeds: after it, so the trading library's log has it too.
      struct SayTraceProblem {
        const std::string& text;
        const char* where;
        ~SayTraceProblem() {
          if (!text.empty()) binding::ErrorFunnel(text, where);
        }
      } sayTraceProblem{traceProblem, where};
      binding::LoadAPI(libraryDir + (demo ? "DEMOAPI.DLL" : "QUORAPI.DLL"));
    }

    binding::LibraryUse qr = binding::CheckAPILoaded();
    qr->qrSetClientPath(clientPath.c_str());
    trace::Secret credentials(trace::Secret::kCredentials);
    const std::string application = JNIString(env, jApplication);
    const std::string text2 = JNIString(env, jText2);
    CheckResult(qr->qrInitialise(letter, kApiVersion, text1.c_str(), application.c_str(),
                                 text2.c_str(), ZeroExtended(initByte)));
    qr->qrSetHostHandShake(0, 0);
    qr->qrSetPriceHandShake(0, 0);
    relay::RegisterCallbacks(*qr, connectionStatus);
    return 0;
  });
}

CLIENT_API(openConnections)(JNIEnv* env, jobject, jobjectArray hosts, jobjectArray prices) {
  return Native(__func__, [&](const Entries& qr) {
    PassAddresses(env, hosts, qr.qrSetHostAddress);
    PassAddresses(env, prices, qr.qrSetPriceAddress);
    CheckResult(qr.qrReady());
    return 0;
  });
}

CLIENT_API(logon)
(JNIEnv* env, jobject, jstring s1, jstring s2, jstring s3, jboolean b1, jboolean b2) {
  trace::Secret secret;  // the three logon texts appear as their length only
  return Native(__func__, [&](const Entries& qr) {
    qr.qrNotifyAllMessages('Y');
    LogonRecord record;
    record.text1.Assign(JNIString(env, s1));
    record.text2.Assign(JNIString(env, s2));
    record.text3.Assign(JNIString(env, s3));
    trace::Numbers(b1, b2);
    record.flag1 = static_cast<char>(Flag(b1));
    record.flag2 = static_cast<char>(Flag(b2));
    CheckResult(qr.qrLogOn(&record));
    return 0;
  });
}

CLIENT_API(purge)(JNIEnv* env, jobject, jstring jFirst, jstring jSecond) {
  return Native(__func__, [&](const Entries& qr) {
    const std::string first = JNIString(env, jFirst);
    const std::string second = JNIString(env, jSecond);
    CheckResult(qr.qrPurge(first.c_str(), second.c_str()));
    return 0;
  });
}

// Stops the pump and unloads the library whatever the log-off answers, and
// returns the log-off's own code unchecked.
CLIENT_API(logoff)(JNIEnv*, jobject) {
  const char* const where = __func__;
  const jint code = Edge(where, where, [&] {
    // The session being logged off is the one current now: an initialise on
    // another thread that starts a new one meanwhile must not inherit the
    // closing mark, and the mark goes whatever happens below.
    struct ClosingMark {
      relay::Session session = relay::CurrentSession();
      ~ClosingMark() { relay::EndClosing(session); }
    } mark;
    int32_t code;
    {
      binding::LibraryUse qr = binding::LibraryUse::TryAcquire();
      if (!qr || !qr->qrLogOff) return 0;  // nothing loaded: nothing to do
      // From here producers never wait for room: the library may join its
      // callback threads inside qrLogOff.
      relay::BeginClosing(mark.session);
      code = qr->qrLogOff();
      if (code == binding::kWrapperError) qr->qrDumpLastError();
    }
    relay::RequestStop();
    binding::UnloadAPI();
    return code;
  });
  trace::Stop();  // the log-off is the trace's last call
  return code;
}

CLIENT_API(closeConnections)(JNIEnv*, jobject) {
  return Native(__func__, [&](const Entries& qr) {
    CheckResult(qr.qrDisconnect());
    return 0;
  });
}

CLIENT_API(APIBuildVersion)(JNIEnv* env, jobject, jbyteArray version) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, version, "version", kBuildVersionBytes);
    unsigned char buffer[kBuildVersionBytes] = {};
    CheckResult(qr.qrGetAPIBuildVersion(buffer));
    CopyOut(env, version, "version", buffer, sizeof buffer);
    return 0;
  });
}

// The update locks answer 0 or 11 as the library gives them; with no library
// loaded they return 52 rather than call through an empty slot.
CLIENT_API(lockUpdates)(JNIEnv*, jobject) {
  return Native(__func__, [&](const Entries& qr) { return CheckResult(qr.qrLockUpdates()); });
}

CLIENT_API(unlockUpdates)(JNIEnv*, jobject) {
  return Native(__func__, [&](const Entries& qr) { return CheckResult(qr.qrUnlockUpdates()); });
}
