// refwarden_versioninfo FILE: prints a file's version resource as Windows
// reads it (GetFileVersionInfo, VerQueryValue), one fact per line, for the
// test script to compare. Works on 32- and 64-bit files alike.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

void PrintString(void* info, const char* block, const char* name) {
  char query[128];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%s\\%s", block, name);
  char* value = nullptr;
  UINT length = 0;
  if (VerQueryValueA(info, query, reinterpret_cast<void**>(&value), &length) && value != nullptr) {
    std::printf("%s\\%s=%s\n", block, name, value);
  }
}

void PrintVersion(const char* label, DWORD high, DWORD low) {
  std::printf("%s=%u.%u.%u.%u\n", label, static_cast<unsigned>(HIWORD(high)),
              static_cast<unsigned>(LOWORD(high)), static_cast<unsigned>(HIWORD(low)),
              static_cast<unsigned>(LOWORD(low)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: refwarden_versioninfo FILE\n");
    return 2;
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
  if (size == 0) {
    std::fprintf(stderr, "%s: no version resource (error %u)\n", argv[1],
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(argv[1], 0, size, info.data())) {
    std::fprintf(stderr, "%s: GetFileVersionInfo failed (error %u)\n", argv[1],
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr || fixed->dwSignature != 0xFEEF04BD) {
    std::fprintf(stderr, "%s: no fixed file information\n", argv[1]);
    return 1;
  }
  PrintVersion("FileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  PrintVersion("ProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  std::printf("FileType=%u\n", static_cast<unsigned>(fixed->dwFileType));

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
    std::printf("Translation=%s\n", block);
    for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                             "OriginalFilename", "ProductName", "ProductVersion"}) {
      PrintString(info.data(), block, name);
    }
  }
  return 0;
}
