// Result codes, EQUOR, the result-code check and the error funnel.
//
// Every outcome reaches Java as one integer. Inside the bridge an expected
// failure travels as EQUOR (a result code); anything else is unexpected and is
// logged once through the trading library's log by the error funnel, which
// turns it into 99.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace binding {

inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kNo = 11;  // the trading library's passing "no"
inline constexpr int32_t kLibraryNotLoaded = 52;
inline constexpr int32_t kFunctionNotFound = 53;
inline constexpr int32_t kLibraryAlreadyLoaded = 54;
inline constexpr int32_t kCannotLoadLibrary = 55;
inline constexpr int32_t kCallbackNotRegistered = 56;
inline constexpr int32_t kWrapperError = 99;

// Carries a result code; its message is "QUOR API Error: <code>".
class EQUOR : public std::exception {
 public:
  explicit EQUOR(int32_t code);
  const char* what() const noexcept override { return message_.c_str(); }

  const int32_t Code;

 private:
  std::string message_;
};

// Returns 0 and 11 unchanged; raises EQUOR for every other code, after asking
// the trading library to dump its last error when the code is 99.
int32_t CheckResult(int32_t code);

// Logs "Wrapper API Error<message> Where <where>" (at most 250 bytes) through
// the trading library's log when one is loaded, and always where a team
// looks (binding/report.h), and returns 99.
int32_t ErrorFunnel(std::string_view message, std::string_view where);

// The funnel for the exception being handled; call only inside a catch block.
int32_t FunnelCurrentException(std::string_view where) noexcept;

// The bridge's own texts for 52 to 55, else the trading library's text for
// the code, else a fallback naming the missing entry. 56 is not known here:
// only getErrorMessage knows it.
std::string GetErrorText(int32_t code);
inline constexpr const char* kCallbackNotRegisteredText = "Callback not registered";

// The capture at the edge of a native: EQUOR gives its code unlogged, any
// other exception goes through the funnel with the native's where-text.
template <typename Body>
int32_t Capture(std::string_view where, Body&& body) noexcept {
  try {
    return body();
  } catch (const EQUOR& e) {
    return e.Code;
  } catch (...) {
    return FunnelCurrentException(where);
  }
}

// The capture of the bridge's internal routines: both kinds of exception go
// through the funnel and the routine returns normally.
template <typename Body>
void CaptureAll(std::string_view where, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    FunnelCurrentException(where);
  }
}

}  // namespace binding
