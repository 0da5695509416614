// The version resource of the shipped DLL, read back the way Windows'
// Explorer and installers read it, against the project version.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string BesideThisProgram(const char* file) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  return dir.substr(0, dir.find_last_of("\\/:") + 1) + file;
}

TEST(VersionResource, TheDllCarriesTheProjectVersion) {
  const std::string dll = BesideThisProgram("JavaWrapper.dll");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource in " << dll;
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(numbers, JW_VERSION);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);

  for (const char* name : {"FileVersion", "ProductVersion", "ProductName", "FileDescription"}) {
    char* text = nullptr;
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    ASSERT_TRUE(VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length))
        << name;
    if (std::string(name).find("Version") != std::string::npos) {
      EXPECT_STREQ(text, JW_VERSION);
    }
    if (std::string(name) == "ProductName") {
      EXPECT_STREQ(text, "JavaWrapper");
    }
  }
}

}  // namespace
