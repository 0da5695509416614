// Which host a library needs, read from its file's PE header: the machine
// of a well-formed header, nothing from a short or damaged one, and the
// bridge's choice of mode from it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostlink/bridge.h"
#include "hostlink/pe_image.h"
#include "natives_support.h"
#include "platform/platform.h"

using hostlink::ImageMachine;
using hostlink::ReadImageMachine;

namespace {

// A file of bytes: "MZ", the PE header's offset at 0x3C, and at that offset
// the signature and the machine.
std::vector<unsigned char> Image(uint32_t peAt, uint16_t machine, const char* signature = "PE") {
  std::vector<unsigned char> bytes(peAt + 64, 0x5A);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  for (int i = 0; i < 4; ++i) bytes[0x3C + i] = static_cast<unsigned char>(peAt >> (8 * i));
  if (peAt + 6 <= bytes.size()) {
    bytes[peAt] = static_cast<unsigned char>(signature[0]);
    bytes[peAt + 1] = static_cast<unsigned char>(signature[1]);
    bytes[peAt + 2] = 0;
    bytes[peAt + 3] = 0;
    bytes[peAt + 4] = static_cast<unsigned char>(machine & 0xFF);
    bytes[peAt + 5] = static_cast<unsigned char>(machine >> 8);
  }
  return bytes;
}

std::string Written(const char* name, const std::vector<unsigned char>& bytes) {
  const std::string path = testing::TempDir() + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr) << path;
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path;
}

// JAVAWRAPPER_HOST for one test, then back as it was.
class ModeFor {
 public:
  explicit ModeFor(const char* mode) {
    const char* was = std::getenv("JAVAWRAPPER_HOST");
    had_ = was != nullptr;
    if (had_) was_ = was;
    testing_support::SetEnvironment("JAVAWRAPPER_HOST", mode);
  }
  ~ModeFor() { testing_support::SetEnvironment("JAVAWRAPPER_HOST", had_ ? was_ : ""); }

 private:
  bool had_ = false;
  std::string was_;
};

}  // namespace

TEST(HostImage, ReadsEachMachineWhereverTheHeaderLies) {
  EXPECT_EQ(ReadImageMachine(Written("jw-i386.dll", Image(0x80, 0x014C))), ImageMachine::kI386);
  EXPECT_EQ(ReadImageMachine(Written("jw-amd64.dll", Image(0x118, 0x8664))), ImageMachine::kAmd64);
  // A machine of neither kind (ARM64) is not guessed at.
  EXPECT_EQ(ReadImageMachine(Written("jw-arm64.dll", Image(0xC8, 0xAA64))), ImageMachine::kUnknown);
}

TEST(HostImage, AShortOrDamagedHeaderIsUnknown) {
  std::vector<unsigned char> shortFile = Image(0x80, 0x014C);
  shortFile.resize(0x3E);  // ends inside the PE header's offset
  EXPECT_EQ(ReadImageMachine(Written("jw-short.dll", shortFile)), ImageMachine::kUnknown);
  std::vector<unsigned char> noMz = Image(0x80, 0x014C);
  noMz[1] = 'X';
  EXPECT_EQ(ReadImageMachine(Written("jw-nomz.dll", noMz)), ImageMachine::kUnknown);
  // The offset inside the MZ header itself, and one past any real header.
  EXPECT_EQ(ReadImageMachine(Written("jw-low.dll", Image(0x10, 0x014C))), ImageMachine::kUnknown);
  std::vector<unsigned char> far = Image(0x80, 0x014C);
  far[0x3C + 2] = 0x40;  // 0x400080
  EXPECT_EQ(ReadImageMachine(Written("jw-far.dll", far)), ImageMachine::kUnknown);
  std::vector<unsigned char> cut = Image(0x80, 0x8664);
  cut.resize(0x84);  // the signature, but not the machine
  EXPECT_EQ(ReadImageMachine(Written("jw-cut.dll", cut)), ImageMachine::kUnknown);
  EXPECT_EQ(ReadImageMachine(Written("jw-nope.dll", Image(0x80, 0x8664, "NE"))),
            ImageMachine::kUnknown);
  EXPECT_EQ(ReadImageMachine(testing::TempDir() + "jw-no-such-file.dll"), ImageMachine::kUnknown);
}

// A Windows build's own program is a PE image of its bitness; an ELF one is
// no PE image at all (a Linux library stays in-process under auto).
TEST(HostImage, TheBridgesOwnFileIsItsOwnBitnessOrNoPeImage) {
  const bool windows = platform::IsDirectoryEnd('\\');
  const ImageMachine own = sizeof(void*) == 8 ? ImageMachine::kAmd64 : ImageMachine::kI386;
  EXPECT_EQ(ReadImageMachine(platform::ModuleFileName()), windows ? own : ImageMachine::kUnknown);
}

// auto hosts only a library of the other bitness, always every library,
// never none.
TEST(HostImage, TheModeAndTheLibrarysBitnessChooseTheHost) {
  const bool wide = sizeof(void*) == 8;
  const std::string other = Written("jw-other.dll", Image(0x90, wide ? 0x014C : 0x8664));
  const std::string same = Written("jw-same.dll", Image(0xA0, wide ? 0x8664 : 0x014C));
  {
    ModeFor mode("auto");
    EXPECT_TRUE(hostlink::Wanted(other));
    EXPECT_FALSE(hostlink::Wanted(same));
  }
  {
    ModeFor mode("always");
    EXPECT_TRUE(hostlink::Wanted(other));
    EXPECT_TRUE(hostlink::Wanted(same));
  }
  {
    ModeFor mode("never");
    EXPECT_FALSE(hostlink::Wanted(other));
    EXPECT_FALSE(hostlink::Wanted(same));
  }
}
