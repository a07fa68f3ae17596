#include "tools/RegistryValues.h"

#include <vector>

namespace refwarden {

LONG ForEachValue(HKEY key, const std::function<void(const RegistryValue&)>& visit) {
  std::vector<char> name(16384);  // the longest value name and its NUL
  std::vector<BYTE> data(4096);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    LONG result =
        RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
    if (result == ERROR_MORE_DATA && dataSize > data.size()) {  // again, with room for the data
      data.resize(dataSize);
      nameLength = static_cast<DWORD>(name.size());
      result = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(),
                             &dataSize);
    }
    if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) return result;
    visit({std::string(name.data(), nameLength), type,
           std::string(reinterpret_cast<const char*>(data.data()), dataSize)});
  }
}

}  // namespace refwarden
