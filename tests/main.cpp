#include <gtest/gtest.h>

#include <cstdio>

#include "platform/platform.h"

namespace {
// No test may ever block on a modal box (under Wine there is nobody to press OK).
void PrintSink(const char* text) {
  std::fprintf(stderr, "[error box] %s\n", text);
}
}  // namespace

int main(int argc, char** argv) {
  platform::SetMessageSink(&PrintSink);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
