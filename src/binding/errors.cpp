#include "binding/errors.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "binding/loader.h"
#include "binding/report.h"
#include "trace/trace.h"

namespace binding {
namespace {

const char* const kOwnTexts[] = {
    "Library not loaded",           // 52
    "Cannot find function in API",  // 53
    "Library already loaded",       // 54
    "Cannot load library",          // 55
};

constexpr size_t kFunnelCapacity = 250;  // bytes of text; the buffer adds the null

}  // namespace

EQUOR::EQUOR(int32_t code) : Code(code), message_("QUOR API Error: " + std::to_string(code)) {}

int32_t CheckResult(int32_t code) {
  if (code == kSuccess || code == kNo) return code;
  if (code == kWrapperError) {
    if (LibraryUse use = LibraryUse::TryAcquire(); use && use->qrDumpLastError)
      use->qrDumpLastError();
  }
  throw EQUOR(code);
}

int32_t ErrorFunnel(std::string_view message, std::string_view where) {
  // Built in a fixed buffer: the funnel must work when memory is exhausted.
  char buffer[kFunnelCapacity + 1];
  size_t length = 0;
  auto append = [&](std::string_view part) {
    size_t n = std::min(part.size(), kFunnelCapacity - length);
    std::memcpy(buffer + length, part.data(), n);
    length += n;
  };
  append("Wrapper API Error");
  append(message);
  append(" Where ");
  append(where);
  buffer[length] = '\0';
  if (trace::On()) trace::Funnel(where, message);
  // The library's log is a forwarded call when the library runs in a host
  // of its own, and fails once that host has gone: the line still reaches
  // standard error and the log file below.
  try {
    if (LibraryUse use = LibraryUse::TryAcquire(); use && use->qrLogString)
      use->qrLogString(buffer);
  } catch (...) {
  }
  Report({"Wrapper API Error", message, " Where ", where});  // uncut: no 250-byte limit here
  return kWrapperError;
}

int32_t FunnelCurrentException(std::string_view where) noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      return ErrorFunnel(e.what(), where);
    } catch (...) {
      return ErrorFunnel("Unknown exception", where);
    }
  } catch (...) {
    // The funnel itself failed; the result is still 99.
    return kWrapperError;
  }
}

std::string GetErrorText(int32_t code) {
  if (code >= kLibraryNotLoaded && code <= kCannotLoadLibrary)
    return kOwnTexts[code - kLibraryNotLoaded];
  if (LibraryUse use = LibraryUse::TryAcquire(); use && use->qrGetErrorMessage) {
    // The text belongs to the trading library: copy it while it is loaded.
    const char* text = use->qrGetErrorMessage(code);
    return text != nullptr ? std::string(text) : std::string();
  }
  return "Dynamic API Error - qrGetErrorMessage not Assigned";
}

}  // namespace binding
