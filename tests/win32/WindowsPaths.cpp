#include "tests/win32/WindowsPaths.h"

#include <windows.h>

namespace refwarden::testing {

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
}

std::string OtherBitnessFilter() {
#ifdef REFWARDEN_OTHER_FILTER
  return REFWARDEN_OTHER_FILTER;
#else
  return "";
#endif
}

}  // namespace refwarden::testing
