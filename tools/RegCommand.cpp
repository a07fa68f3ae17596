// refwarden reg query: list a registry key's values in the layout of the
// Windows command of the same name.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

#include "platform/Platform.h"
#include "tools/Commands.h"
#include "tools/RegistryValues.h"

namespace refwarden {

namespace {

constexpr std::string_view kRootName = "HKEY_CURRENT_USER";

// Splits "HKCU\a\b" or "HKEY_CURRENT_USER\a\b" into its subkey; false for
// any other root.
bool SubkeyOfCurrentUser(const std::string& key, std::string& subkey) {
  for (std::string_view root : {std::string_view("HKCU"), kRootName}) {
    if (key.size() >= root.size() && CLI::detail::to_lower(key.substr(0, root.size())) ==
                                         CLI::detail::to_lower(std::string(root))) {
      if (key.size() == root.size()) {
        subkey.clear();
        return true;
      }
      if (key[root.size()] == '\\') {
        subkey = key.substr(root.size() + 1);
        return true;
      }
    }
  }
  return false;
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case 2:
      return "REG_EXPAND_SZ";
    case 3:
      return "REG_BINARY";
    case 4:
      return "REG_DWORD";
    case 7:
      return "REG_MULTI_SZ";
    case 11:
      return "REG_QWORD";
    default:
      return "REG_NONE";
  }
}

std::string DataText(DWORD type, const std::string& data) {
  if (type == REG_SZ || type == 2) return data.substr(0, data.find('\0'));
  static const char* hex = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : data) {
    text += hex[byte >> 4];
    text += hex[byte & 15];
  }
  return text;
}

int Query(const std::string& key) {
  std::string subkey;
  if (!SubkeyOfCurrentUser(key, subkey)) {
    std::cerr << "ERROR: Invalid key name: only HKCU (HKEY_CURRENT_USER) keys are held here.\n";
    return 1;
  }
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    std::cerr << "ERROR: The system was unable to find the specified registry key or value.\n";
    return 1;
  }
  std::cout << '\n' << kRootName << (subkey.empty() ? "" : "\\") << subkey << '\n';
  const LONG result = ForEachValue(handle, [](const RegistryValue& value) {
    std::cout << "    " << (value.name.empty() ? "(Default)" : value.name) << "    "
              << TypeName(value.type) << "    " << DataText(value.type, value.data) << '\n';
  });
  RegCloseKey(handle);
  std::cout << '\n';
  if (result != ERROR_SUCCESS) {
    std::cerr << "ERROR: reading the key's values failed (error " << result << ").\n";
    return 1;
  }
  return 0;
}

}  // namespace

void AddRegCommand(CLI::App& app, ToolOptions& options) {
  CLI::App* reg = app.add_subcommand("reg", "Read the registry the filter traces into");
  reg->require_subcommand(1);
  auto key = std::make_shared<std::string>();
  CLI::App* query =
      reg->add_subcommand("query", "List a key's values, e.g. 'HKCU\\software\\tarnwel\\debug'");
  query->add_option("key", *key, "The key, under HKCU")->required();
  query->callback([key, &options] { options.exitCode = Query(*key); });
}

}  // namespace refwarden
