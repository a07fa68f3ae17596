#include "tests/support/RegistryReading.h"

#include "filter/RequestTrace.h"

namespace refwarden::testing {

LONG ForEachValue(const char* key, const std::function<void(const StoredValue&)>& visit) {
  HKEY handle = nullptr;
  const LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle);
  if (opened != ERROR_SUCCESS) return opened;
  const LONG result = refwarden::ForEachValue(handle, visit);
  RegCloseKey(handle);
  return result;
}

std::vector<StoredValue> ReadValues(const char* key) {
  std::vector<StoredValue> values;
  ForEachValue(key, [&values](const StoredValue& value) { values.push_back(value); });
  return values;
}

bool IsTraced(std::string_view path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const std::string name(path);
  BYTE data[8] = {};
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  const LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type, data, &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_SZ &&
         std::string_view(reinterpret_cast<const char*>(data), size) == kTraceData;
}

bool KeyExists(const char* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

}  // namespace refwarden::testing
