// refwarden reg query: list a registry key's values in the layout of the
// Windows command of the same name.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

#include "platform/Platform.h"
#include "tools/Commands.h"
#include "tools/RegistryValues.h"
#include "tools/TraceCheck.h"

namespace refwarden {

namespace {

constexpr std::string_view kRootName = "HKEY_CURRENT_USER";

// Exit statuses of reg query.
constexpr int kListed = 0;
constexpr int kKeyNotFound = 1;  // also a key name outside HKCU, and a store that does not exist
constexpr int kAccessDenied = 2;
constexpr int kNotAStore = 3;
constexpr int kStoreFailed = 4;

// Reports a failure of the registry as the platform's reg does, with the
// store named where it is a file, and returns the exit status for it.
int ReportFailure(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      std::cerr << "ERROR: The system was unable to find the specified registry key or value.\n";
      return kKeyNotFound;
    case ERROR_INVALID_PARAMETER:
      std::cerr << "ERROR: Invalid key name.\n";
      return kKeyNotFound;
    case ERROR_ACCESS_DENIED:
      std::cerr << "ERROR: Access is denied.\n";
      break;
#ifndef _WIN32
    case ERROR_BADDB:
      std::cerr << "ERROR: " << TraceStoreName() << " is not a registry store.\n";
      return kNotAStore;
#endif
    default:
      std::cerr << "ERROR: " << ErrorText(code) << '\n';
      break;
  }
#ifndef _WIN32
  std::cerr << "The registry store is " << TraceStoreName() << ".\n";
#endif
  return code == ERROR_ACCESS_DENIED ? kAccessDenied : kStoreFailed;
}

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
    return kKeyNotFound;
  }
  HKEY handle = nullptr;
  if (LONG r = RegOpenKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ, &handle))
    return ReportFailure(r);
  std::cout << '\n' << kRootName << (subkey.empty() ? "" : "\\") << subkey << '\n';
  const LONG result = ForEachValue(handle, [](const RegistryValue& value) {
    std::cout << "    " << (value.name.empty() ? "(Default)" : value.name) << "    "
              << TypeName(value.type) << "    " << DataText(value.type, value.data) << '\n';
  });
  RegCloseKey(handle);
  std::cout << '\n';
  if (result != ERROR_SUCCESS) return ReportFailure(result);
  return kListed;
}

}  // namespace

void AddRegCommand(CLI::App& app, ToolOptions& options) {
  CLI::App* reg = app.add_subcommand("reg", "Read the registry the filter traces into");
  reg->require_subcommand(1);
  auto key = std::make_shared<std::string>();
  CLI::App* query =
      reg->add_subcommand("query", "List a key's values, e.g. 'HKCU\\software\\tarnwel\\debug'");
  query->add_option("key", *key, "The key, under HKCU")->required();
  query->footer(
      "Exit status: 0 listed; 1 the key does not exist (nor does the store: nothing\n"
      "is created), or is not under HKCU; 2 access is denied; 3 the store is not a\n"
      "registry store (a folder, device, FIFO or another file); 4 the store cannot be\n"
      "read for another reason (the message says which).");
  query->callback([key, &options] { options.exitCode = Query(*key); });
}

}  // namespace refwarden
