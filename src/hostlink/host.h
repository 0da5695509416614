// The library host process's work: serves its bridge over socket until the
// bridge goes, then ends the process.
#pragma once

namespace hostlink {
int RunHost(int socket);
}  // namespace hostlink
