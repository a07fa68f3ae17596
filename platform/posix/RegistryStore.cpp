// Placeholder until the SQLite store lands: every call fails.
#include "platform/Platform.h"

LONG RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD) {
  if (phkResult) *phkResult = nullptr;
  return ERROR_ACCESS_DENIED;
}
LONG RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_INVALID_HANDLE; }
LONG RegCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }
LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY phkResult) {
  if (phkResult) *phkResult = nullptr;
  return ERROR_FILE_NOT_FOUND;
}
LONG RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, BYTE*, LPDWORD) { return ERROR_INVALID_HANDLE; }
LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, BYTE*, LPDWORD) { return ERROR_INVALID_HANDLE; }
