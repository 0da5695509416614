// The bridge's own lines, where a team looks for them.
//
// The trading library's log is kept by the library (a simulator keeps it in
// memory), and a 99 says nothing on its own: every funnel line and every
// warning the bridge gives at load also goes to standard error, to the file
// JAVAWRAPPER_LOG names (appended; under javaw.exe nothing reads standard
// error), and on Windows to the debugger's output (OutputDebugString).
#pragma once

#include <initializer_list>
#include <string_view>

namespace binding {

// Writes "JavaWrapper: <line>" to each sink, at most 1023 bytes of it (the
// line is the parts joined; the funnel's own 250-byte cut is the trading
// library's, not this). Builds the line in a fixed buffer and never throws:
// the funnel calls it when memory is exhausted. A log file that cannot be
// opened is skipped (the other sinks still get the line).
void Report(std::initializer_list<std::string_view> parts) noexcept;
inline void Report(std::string_view line) noexcept {
  Report({line});
}

}  // namespace binding
