// Which processor a Windows library file is built for, read from its PE
// header: a 64-bit bridge runs a 32-bit library in a 32-bit library host.
// Anything that is not a well-formed PE header (an ELF file, a short or
// damaged file) is kUnknown, and the library is left to the loader's own
// rules and errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace hostlink {

enum class ImageMachine { kUnknown, kI386, kAmd64 };

inline constexpr uint32_t kPeOffsetAt = 0x3C;  // where the MZ header keeps the PE header's offset
inline constexpr uint32_t kPeOffsetLimit = 64 * 1024;  // beyond: not a header a linker writes

// bytes: the file's first bytes (at least kPeOffsetAt + 4 of them to know).
// *peAt receives the PE header's offset, which must then hold "PE\0\0" and
// the machine (MachineAt).
inline bool PeHeaderOffset(const unsigned char* bytes, size_t length, uint32_t* peAt) {
  if (length < kPeOffsetAt + 4 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  uint32_t at;
  std::memcpy(&at, bytes + kPeOffsetAt, 4);
  if (at < kPeOffsetAt + 4 || at > kPeOffsetLimit) return false;
  *peAt = at;
  return true;
}

// bytes: the 6 bytes at the PE header's offset.
inline ImageMachine MachineAt(const unsigned char* bytes, size_t length) {
  if (length < 6 || std::memcmp(bytes, "PE\0\0", 4) != 0) return ImageMachine::kUnknown;
  const unsigned machine = bytes[4] | (bytes[5] << 8);
  if (machine == 0x014C) return ImageMachine::kI386;
  if (machine == 0x8664) return ImageMachine::kAmd64;
  return ImageMachine::kUnknown;
}

inline ImageMachine ReadImageMachine(const std::string& fileName) {
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (file == nullptr) return ImageMachine::kUnknown;
  unsigned char head[kPeOffsetAt + 4];
  unsigned char pe[6];
  uint32_t at = 0;
  ImageMachine machine = ImageMachine::kUnknown;
  if (std::fread(head, 1, sizeof head, file) == sizeof head &&
      PeHeaderOffset(head, sizeof head, &at) &&
      std::fseek(file, static_cast<long>(at), SEEK_SET) == 0)
    machine = MachineAt(pe, std::fread(pe, 1, sizeof pe, file));
  std::fclose(file);
  return machine;
}

}  // namespace hostlink
