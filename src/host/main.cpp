// javawrapper-host: the trading library in a process of its own, started by
// the bridge with its socket end as descriptor 3.
#include "hostlink/host.h"
#include "platform/host_link.h"

int main() {
  platform::EndWithParent();
  platform::CloseDescriptorsAbove(3);
  return hostlink::RunHost(3);
}
