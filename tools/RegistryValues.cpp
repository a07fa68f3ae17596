#include "tools/RegistryValues.h"

#include <vector>

#include "tools/replay/TerminalText.h"

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

LONG ForEachSubkey(HKEY key, const std::function<void(const std::string&)>& visit) {
  std::vector<char> name(256);  // the longest key name and its NUL
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    const LONG result =
        RegEnumKeyExA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) return result;
    visit(std::string(name.data(), nameLength));
  }
}

std::string RegistryText(std::string_view bytes) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t at = bytes.find("\\x"); at != std::string_view::npos;
       at = bytes.find("\\x", at + 1)) {
    // A backslash never ends a UTF-8 sequence, so cutting there splits none.
    out += NameText(bytes.substr(start, at - start));
    out += "\\x5c";
    start = at + 1;
  }
  out += NameText(bytes.substr(start));
  return out;
}

std::string KeyText(std::string_view path) { return NameText(path); }

}  // namespace refwarden
