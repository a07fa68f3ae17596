// A registry store of the test's own: REFWARDEN_REGISTRY points into a fresh
// temporary folder for the fixture's lifetime.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "filter/RequestTrace.h"
#include "platform/Platform.h"

namespace refwarden::testing {

class TempStore {
 public:
  TempStore() {
    char pattern[] = "/tmp/refwarden-test-XXXXXX";
    folder_ = mkdtemp(pattern);
    path_ = folder_ + "/registry.sqlite";
    setenv("REFWARDEN_REGISTRY", path_.c_str(), 1);
  }
  ~TempStore() {
    unsetenv("REFWARDEN_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  std::string path_;
};

struct StoredValue {
  std::string name;
  DWORD type;
  std::string data;
  bool operator==(const StoredValue& o) const {
    return name == o.name && type == o.type && data == o.data;
  }
};

// Returns the values of HKCU\<key> in enumeration order; empty when the key
// is missing.
inline std::vector<StoredValue> ReadValues(const char* key) {
  std::vector<StoredValue> values;
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return values;
  std::vector<char> name(16384);
  std::vector<BYTE> data(65536);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueA(handle, index, name.data(), &nameLength, nullptr, &type, data.data(),
                      &dataSize) != ERROR_SUCCESS) {
      break;
    }
    values.push_back({std::string(name.data(), nameLength), type,
                      std::string(reinterpret_cast<char*>(data.data()), dataSize)});
  }
  RegCloseKey(handle);
  return values;
}


}  // namespace refwarden::testing
