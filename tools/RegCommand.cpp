// refwarden reg query: list a registry key's values in the layout of the
// Windows command of the same name.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "strings/AsciiText.h"
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

// A root key as reg writes it, short and long.
struct RootKey {
  std::string_view shortName;
  std::string_view longName;
  HKEY handle;
};

// The roots a key name may start with: on Windows those of the real
// registry, as reg accepts them; elsewhere the store holds HKCU alone.
const std::vector<RootKey>& RootKeys() {
  static const std::vector<RootKey> roots = {
      {"HKCU", kRootName, HKEY_CURRENT_USER},
#ifdef _WIN32
      {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
      {"HKU", "HKEY_USERS", HKEY_USERS},
      {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
      {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
#endif
  };
  return roots;
}

// Splits "HKCU\a\b" or "HKEY_CURRENT_USER\a\b" into its root and subkey;
// nullptr for a root this platform does not hold.
const RootKey* SplitKey(const std::string& key, std::string& subkey) {
  for (const RootKey& root : RootKeys()) {
    for (std::string_view name : {root.shortName, root.longName}) {
      if (key.size() < name.size() || !EqualsIgnoringAsciiCase(key.substr(0, name.size()), name))
        continue;
      if (key.size() == name.size()) {
        subkey.clear();
        return &root;
      }
      if (key[name.size()] == '\\') {
        subkey = key.substr(name.size() + 1);
        return &root;
      }
    }
  }
  return nullptr;
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
  const RootKey* root = SplitKey(key, subkey);
  if (root == nullptr) {
#ifdef _WIN32
    std::cerr << "ERROR: Invalid key name: it must start with HKLM, HKCU, HKU, HKCR or HKCC.\n";
#else
    std::cerr << "ERROR: Invalid key name: only HKCU (HKEY_CURRENT_USER) keys are held here.\n";
#endif
    return kKeyNotFound;
  }
  HKEY handle = nullptr;
  if (LONG r = RegOpenKeyExA(root->handle, subkey.c_str(), 0, KEY_READ, &handle))
    return ReportFailure(r);
  std::cout << '\n' << root->longName << (subkey.empty() ? "" : "\\") << subkey << '\n';
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
#ifdef _WIN32
  query
      ->add_option("key", *key,
                   "The key, under HKLM, HKCU, HKU, HKCR or HKCC (or their long names), e.g.\n"
                   "'HKU\\S-1-5-82-...\\software\\tarnwel\\debug' for a pool's trace")
      ->required();
  query->footer(
      "Exit status: 0 listed; 1 the key does not exist, or its root is none of the\n"
      "above; 2 access is denied; 4 it cannot be read for another reason (the message\n"
      "says which).");
#else
  query->add_option("key", *key, "The key, under HKCU")->required();
  query->footer(
      "Exit status: 0 listed; 1 the key does not exist (nor does the store: nothing\n"
      "is created), or is not under HKCU; 2 access is denied; 3 the store is not a\n"
      "registry store (a folder, device, FIFO or another file); 4 the store cannot be\n"
      "read for another reason (the message says which).");
#endif
  query->callback([key, &options] { options.exitCode = Query(*key); });
}

}  // namespace refwarden
