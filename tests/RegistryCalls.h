// The registry calls the store tests make again and again, with their
// outcome checked where a failure would leave the test nothing to look at.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/support/RegistryReading.h"

namespace refwarden::testing {

// The trace's data, with its NUL: what the filter writes.
inline const BYTE kOk[] = {'o', 'k', '\0'};

// Creates or opens HKCU\`path` with every right; fails the test when it cannot.
inline HKEY Create(const char* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  DWORD d = 0;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, &d),
            ERROR_SUCCESS)
      << path;
  if (disposition != nullptr) *disposition = d;
  return key;
}

// Opens the existing HKCU\`path`; fails the test when it cannot.
inline HKEY Open(const char* path, REGSAM sam = KEY_READ) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, sam, &key), ERROR_SUCCESS) << path;
  return key;
}

// Writes `data` as it stands (no NUL added) as the value `name` of `key`.
inline LONG Set(HKEY key, const std::string& name, const std::string& data, DWORD type = REG_SZ) {
  return RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size()));
}

// Every value of the key at `path`, in enumeration order; a key that cannot
// be read whole fails the test.
inline std::vector<StoredValue> ReadAll(const char* path) {
  std::vector<StoredValue> out;
  EXPECT_EQ(ForEachValue(path, [&out](const StoredValue& v) { out.push_back(v); }), ERROR_SUCCESS)
      << path;
  return out;
}

// The names of `values`, in their order.
inline std::vector<std::string> Names(const std::vector<StoredValue>& values) {
  std::vector<std::string> out;
  for (const StoredValue& v : values) out.push_back(v.name);
  return out;
}

}  // namespace refwarden::testing
