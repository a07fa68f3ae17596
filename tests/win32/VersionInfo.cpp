// The filter's version resource as Windows reads it (GetFileVersionInfo,
// VerQueryValue): the project's version, the language 0x0804 with code page
// 936, and its names. Also for the other bitness's DLL when the package build
// names it, as 64-bit Windows Explorer reads a 32-bit file.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "RefwardenVersion.h"
#include "tests/win32/WindowsPaths.h"

namespace refwarden {
namespace {

std::string Quad(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
         std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

// The facts of `file`'s version resource, one "name=value" each, in the
// order the expectation below lists them; an "error=..." line when it has none.
std::vector<std::string> VersionFacts(const std::string& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return {"error=no version resource (" + std::to_string(GetLastError()) + ")"};
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(file.c_str(), 0, size, info.data()))
    return {"error=GetFileVersionInfo failed (" + std::to_string(GetLastError()) + ")"};

  std::vector<std::string> facts;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr || fixed->dwSignature != 0xFEEF04BD) {
    return {"error=no fixed file information"};
  }
  facts.push_back("FileVersion=" + Quad(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
  facts.push_back("ProductVersion=" + Quad(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
  facts.push_back("FileType=" + std::to_string(fixed->dwFileType));

  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* translations = nullptr;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translations), &length)) {
    length = 0;
  }
  for (UINT i = 0; i < length / sizeof(Translation); ++i) {
    char block[9];
    std::snprintf(block, sizeof block, "%04X%04X", translations[i].language,
                  translations[i].codePage);
    facts.push_back(std::string("Translation=") + block);
    for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                             "OriginalFilename", "ProductName", "ProductVersion"}) {
      const std::string query = std::string("\\StringFileInfo\\") + block + "\\" + name;
      char* value = nullptr;
      UINT chars = 0;
      if (VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) &&
          value != nullptr) {
        facts.push_back(std::string(block) + "\\" + name + "=" + value);
      }
    }
  }
  return facts;
}

TEST(VersionInfoTest, ResourceAsWindowsReadsIt) {
  const std::vector<std::string> expected = {
      "FileVersion=" REFWARDEN_VERSION_QUAD,
      "ProductVersion=" REFWARDEN_VERSION_QUAD,
      "FileType=2",  // VFT_DLL
      "Translation=080403A8",
      "080403A8\\CompanyName=Refwarden",
      "080403A8\\FileDescription=Refwarden hot-link protection filter",
      "080403A8\\FileVersion=" REFWARDEN_VERSION_QUAD,
      "080403A8\\InternalName=refwarden",
      "080403A8\\OriginalFilename=refwarden.dll",
      "080403A8\\ProductName=Refwarden",
      "080403A8\\ProductVersion=" REFWARDEN_VERSION_QUAD,
  };
  std::vector<std::string> files = {testing::ProgramFolder() + "\\refwarden.dll"};
  if (!testing::OtherBitnessFilter().empty()) files.push_back(testing::OtherBitnessFilter());
  for (const std::string& file : files) {
    EXPECT_EQ(VersionFacts(file), expected) << "file " << file;
  }
}

}  // namespace
}  // namespace refwarden
