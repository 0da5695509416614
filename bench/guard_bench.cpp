// Benchmark-only: what the loaded guard costs a native on a thread that
// never unloads, with nothing else around it. Prints one line the bench's
// table reads: "guard <nanoseconds per enter and leave>".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "binding/loader.h"

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 100000000L;
  // No library is loaded: the use is announced, found closed and ended, the
  // same stores and loads a native's guard makes on its fast path.
  long held = 0;
  std::vector<double> samples;
  for (int sample = 0; sample < 7; ++sample) {
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < rounds; ++i) {
      binding::LibraryUse use = binding::LibraryUse::TryAcquire();
      held += use ? 1 : 0;
    }
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(rounds);
    samples.push_back(ns);
  }
  std::sort(samples.begin(), samples.end());
  // held is always 0 (nothing is loaded); printing it keeps the loop alive.
  std::printf("guard %.2f\n", samples[samples.size() / 2] + static_cast<double>(held));
  return 0;
}
