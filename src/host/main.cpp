// The library host: the trading library in a process of its own, started by
// the bridge with the channel to it as its only inherited handle (Linux:
// descriptor 3; Windows: the pipe handles named on its command line).
#include "hostlink/host.h"
#include "platform/host_link.h"

int main(int argc, char** argv) {
  const int socket = platform::HostSocket(argc, argv);
  if (socket < 0) return 2;
  return hostlink::RunHost(socket);
}
