// The library host: the trading library in a process of its own, started by
// the bridge with the channel to it as its only inherited handle (Linux:
// descriptor 3; Windows: the pipe handles named on its command line).
#include <cstdio>

#include "hostlink/host.h"
#include "platform/host_link.h"

int main(int argc, char** argv) {
  const int socket = platform::HostSocket(argc, argv);
  if (socket < 0) {
    // Started by hand (Windows: no pipe handles named): nothing to do.
    std::fprintf(stderr, "javawrapper-host: no bridge to serve\n");
    return 2;
  }
  return hostlink::RunHost(socket);
}
