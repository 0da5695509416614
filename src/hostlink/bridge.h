// The bridge's side of the library host: whether the trading library runs in
// a host process of its own (JAVAWRAPPER_HOST=auto|always|never), starting
// that host, loading and freeing the library in it, and the host's end.
//
// A host that dies (killed, crashed, exited) ends every call in flight with
// HostLost (99 through the funnel), delivers what its event ring holds,
// queues one forced-logout event and leaves the bridge as if no library were
// loaded; the next initialise starts a new host.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace hostlink {

// A call that the host could not answer: it died, or it broke the protocol.
class HostLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the library at fileName is to be loaded in a host process.
bool Wanted(const std::string& fileName);

// Loads fileName in the host, starting one when none runs: 0, or 53 with the
// missing entry's name in *detail, or 55 with the reason in *detail.
int32_t Load(const std::string& fileName, std::string* detail);
// Frees the library in the host (nothing when the host is gone).
void Unload();
// The loader's handle for a library that lives in the host.
void* HostHandle();

// The bridge leaving the process: the host is told to end (its socket
// closes) and the bridge's reader thread joined.
void Shutdown();

// The host process itself: never forward, whatever the environment says.
void MarkInHost();

// For tests: the running host's process id (or -1), and how many hosts ended.
int HostPid();
uint32_t HostsEnded();
// For tests: calls posted to the running host and not yet answered.
int CallsInFlight();

}  // namespace hostlink
