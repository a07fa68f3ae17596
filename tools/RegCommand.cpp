// refwarden reg query and reg delete: list a registry key's values and
// subkeys, and remove them, in the layout and words of the Windows command of
// the same name. Whatever a name or value holds is printed escaped
// (RegistryText): the trace's value names are paths any client chooses.
#include <CLI/CLI.hpp>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "strings/AsciiText.h"
#include "tools/Commands.h"
#include "tools/ExitStatus.h"
#include "tools/RegistryValues.h"
#include "tools/TraceCheck.h"

namespace refwarden {

namespace {

constexpr std::string_view kRootName = "HKEY_CURRENT_USER";

// Reports a failure of the registry as the platform's reg does, with the
// store named where it is a file, and returns the exit status for it.
int ReportFailure(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      std::cerr << "ERROR: The system was unable to find the specified registry key or value.\n";
      return kExitNoSuchKey;
    case ERROR_INVALID_PARAMETER:
      std::cerr << "ERROR: Invalid key name.\n";
      return kExitNoSuchKey;
    case ERROR_ACCESS_DENIED:
      std::cerr << "ERROR: Access is denied.\n";
      break;
#ifndef _WIN32
    case ERROR_BADDB:
      std::cerr << "ERROR: " << TraceStoreName() << " is not a registry store.\n";
      return kExitNotAStore;
#endif
    default:
      std::cerr << "ERROR: " << ErrorText(code) << '\n';
      break;
  }
#ifndef _WIN32
  std::cerr << "The registry store is " << TraceStoreName() << ".\n";
#endif
  return code == ERROR_ACCESS_DENIED ? kExitAccessDenied : kExitFailed;
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
  if (type == REG_SZ || type == 2) return RegistryText(data.substr(0, data.find('\0')));
  static const char* hex = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : data) {
    text += hex[byte >> 4];
    text += hex[byte & 15];
  }
  return text;
}

void PrintValue(const RegistryValue& value) {
  std::cout << "    " << (value.name.empty() ? "(Default)" : RegistryText(value.name)) << "    "
            << TypeName(value.type) << "    " << DataText(value.type, value.data) << '\n';
}

// A key's name as printed: its root's long name and the path below it.
std::string FullName(const RootKey& root, const std::string& subkey) {
  return std::string(root.longName) + (subkey.empty() ? "" : "\\") + KeyText(subkey);
}

std::string Below(const std::string& subkey, const std::string& name) {
  return subkey.empty() ? name : subkey + "\\" + name;
}

// Reads the value `name` of the open key into *value.
LONG ReadValue(HKEY key, const std::string& name, RegistryValue* value) {
  DWORD size = 0;
  DWORD type = 0;
  LONG r = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  std::string data;
  while (r == ERROR_SUCCESS || r == ERROR_MORE_DATA) {
    data.resize(size);
    r = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size);
    if (r == ERROR_SUCCESS) {
      data.resize(size);
      *value = {name, type, data};
      return ERROR_SUCCESS;
    }
  }
  return r;
}

// What one reg query asks for.
struct QueryRequest {
  std::string key;
  std::string value;  // /v: that value alone
  bool hasValue = false;
  bool recursive = false;  // /s
};

// Prints the key `subkey` (open as `handle`) as a block of its own, and, for
// /s, every key below it; for /v only the keys holding that value, counted
// in *matches. Returns ERROR_SUCCESS or the error that stopped it.
LONG PrintTree(const RootKey& root, const std::string& subkey, HKEY handle,
               const QueryRequest& request, int* matches) {
  std::vector<std::string> subkeys;
  LONG result = ForEachSubkey(handle, [&](const std::string& name) { subkeys.push_back(name); });
  if (result != ERROR_SUCCESS) return result;
  if (request.hasValue) {
    RegistryValue value;
    result = ReadValue(handle, request.value, &value);
    if (result == ERROR_SUCCESS) {
      ++*matches;
      std::cout << '\n' << FullName(root, subkey) << '\n';
      PrintValue(value);
    } else if (result != ERROR_FILE_NOT_FOUND) {
      return result;
    }
  } else {
    std::cout << '\n' << FullName(root, subkey) << '\n';
    result = ForEachValue(handle, PrintValue);
    if (result != ERROR_SUCCESS) return result;
  }
  if (!request.recursive) {
    if (!request.hasValue) {
      std::cout << '\n';
      for (const std::string& name : subkeys)
        std::cout << FullName(root, Below(subkey, name)) << '\n';
    }
    return ERROR_SUCCESS;
  }
  for (const std::string& name : subkeys) {
    const std::string below = Below(subkey, name);
    HKEY child = nullptr;
    result = RegOpenKeyExA(handle, name.c_str(), 0, KEY_READ, &child);
    if (result == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (result != ERROR_SUCCESS) return result;
    result = PrintTree(root, below, child, request, matches);
    RegCloseKey(child);
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

// Finds the root of `key`, or says why there is none; sets *subkey.
const RootKey* KeyOrComplain(const std::string& key, std::string* subkey) {
  const RootKey* root = SplitKey(key, *subkey);
  if (root == nullptr) {
#ifdef _WIN32
    std::cerr << "ERROR: Invalid key name: it must start with HKLM, HKCU, HKU, HKCR or HKCC.\n";
#else
    std::cerr << "ERROR: Invalid key name: only HKCU (HKEY_CURRENT_USER) keys are held here.\n";
#endif
  }
  return root;
}

int Query(const QueryRequest& request) {
  std::string subkey;
  const RootKey* root = KeyOrComplain(request.key, &subkey);
  if (root == nullptr) return kExitNoSuchKey;
  HKEY handle = nullptr;
  if (LONG r = RegOpenKeyExA(root->handle, subkey.c_str(), 0, KEY_READ, &handle))
    return ReportFailure(r);
  int matches = 0;
  const LONG result = PrintTree(*root, subkey, handle, request, &matches);
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) return ReportFailure(result);
  if (request.hasValue && matches == 0) return ReportFailure(ERROR_FILE_NOT_FOUND);
  if (request.hasValue && request.recursive) {
    std::cout << "End of search: " << matches << " match(es) found.\n";
  } else if (request.recursive || request.hasValue) {
    std::cout << '\n';
  }
  return kExitOk;
}

#ifndef _WIN32
// Asks `question` on the terminal until the answer is yes or no; false for
// no, or when standard input ends.
bool Confirmed(const std::string& question) {
  for (;;) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
      std::cout << '\n';
      return false;
    }
    if (EqualsIgnoringAsciiCase(answer, "y") || EqualsIgnoringAsciiCase(answer, "yes")) return true;
    if (EqualsIgnoringAsciiCase(answer, "n") || EqualsIgnoringAsciiCase(answer, "no")) return false;
  }
}

// What one reg delete asks for.
struct DeleteRequest {
  std::string key;
  std::string value;  // /v: that value alone
  bool hasValue = false;
  bool force = false;  // /f: without asking
};

int Delete(const DeleteRequest& request) {
  std::string subkey;
  const RootKey* root = KeyOrComplain(request.key, &subkey);
  if (root == nullptr) return kExitNoSuchKey;
  if (subkey.empty() && !request.hasValue) {
    std::cerr << "ERROR: Invalid key name: HKEY_CURRENT_USER itself cannot be deleted; name a "
                 "key below it.\n";
    return kExitNoSuchKey;
  }
  HKEY handle = nullptr;
  if (LONG r = RegOpenKeyExA(root->handle, subkey.c_str(), 0, KEY_ALL_ACCESS, &handle))
    return ReportFailure(r);
  LONG result = ERROR_SUCCESS;
  RegistryValue value;
  if (request.hasValue) result = ReadValue(handle, request.value, &value);
  if (result == ERROR_SUCCESS && !request.force) {
    if (isatty(STDIN_FILENO) == 0) {
      RegCloseKey(handle);
      std::cerr << "ERROR: reg delete asks before it deletes, and standard input is not a "
                   "terminal: nothing was deleted. Give /f to delete without asking.\n";
      return kExitNotConfirmed;
    }
    const bool yes =
        request.hasValue
            ? Confirmed("Delete the registry value " + RegistryText(request.value))
            : Confirmed("Permanently delete the registry key " + FullName(*root, subkey));
    if (!yes) {
      RegCloseKey(handle);
      return kExitNotConfirmed;
    }
  }
  if (result == ERROR_SUCCESS)
    result = request.hasValue ? RegDeleteValueA(handle, request.value.c_str())
                              : RegDeleteTreeA(root->handle, subkey.c_str());
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) return ReportFailure(result);
  std::cout << "The operation completed successfully.\n";
  return kExitOk;
}
#endif

}  // namespace

// Reads reg.exe's switches after the key (/v NAME, /s, and /f when
// `force` is given), in any case; a value name may itself start with a
// slash. Returns false, having said why, for anything else.
bool ParseSwitches(const std::vector<std::string>& args, std::string* key, std::string* value,
                   bool* hasValue, bool* recursive, bool* force) {
  *key = args.at(0);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (EqualsIgnoringAsciiCase(arg, "/v") && i + 1 < args.size() && !*hasValue) {
      *hasValue = true;
      *value = args[++i];
    } else if (recursive != nullptr && EqualsIgnoringAsciiCase(arg, "/s") && !*recursive) {
      *recursive = true;
    } else if (force != nullptr && EqualsIgnoringAsciiCase(arg, "/f") && !*force) {
      *force = true;
    } else {
      std::cerr << "ERROR: Invalid syntax: '" << KeyText(arg) << "'"
                << (EqualsIgnoringAsciiCase(arg, "/v") && !*hasValue ? " needs a value name" : "")
                << ". Type --help for usage.\n";
      return false;
    }
  }
  return true;
}

void AddRegCommand(CLI::App& app, ToolOptions& options) {
  CLI::App* reg = app.add_subcommand("reg", "Read the registry the filter traces into");
  reg->require_subcommand(1);
  auto queryArgs = std::make_shared<std::vector<std::string>>();
  CLI::App* queryVerb = reg->add_subcommand(
      "query", "List a key's values and subkeys, e.g. 'HKCU\\software\\tarnwel\\debug'");
#ifdef _WIN32
  queryVerb
      ->add_option("key", *queryArgs,
                   "KEY [/v NAME] [/s]: the key, under HKLM, HKCU, HKU, HKCR or HKCC (or their\n"
                   "long names), e.g. 'HKU\\S-1-5-82-...\\software\\tarnwel\\debug' for a\n"
                   "pool's trace; /v NAME lists that value alone (with /s: in every key\n"
                   "below); /s lists every key below the key too")
      ->required();
  queryVerb->footer(
      "Names and data are printed with control characters, bytes that are not UTF-8\n"
      "and a backslash before an x as \\xHH.\n"
      "Exit status:\n" +
      ExitStatusLines({kExitOk, kExitFailed, kExitUsage, kExitNoSuchKey, kExitAccessDenied}));
#else
  queryVerb
      ->add_option("key", *queryArgs,
                   "KEY [/v NAME] [/s]: the key, under HKCU; /v NAME lists that value alone\n"
                   "(with /s: in every key below); /s lists every key below the key too")
      ->required();
  queryVerb->footer(
      "Names and data are printed with control characters, bytes that are not UTF-8\n"
      "and a backslash before an x as \\xHH. A store that does not exist has no\n"
      "key (nothing is created); a folder, device, FIFO or another file is not a store.\n"
      "Exit status:\n" +
      ExitStatusLines(
          {kExitOk, kExitFailed, kExitUsage, kExitNoSuchKey, kExitAccessDenied, kExitNotAStore}));
#endif
  queryVerb->callback([queryArgs, &options] {
    QueryRequest request;
    if (!ParseSwitches(*queryArgs, &request.key, &request.value, &request.hasValue,
                       &request.recursive, nullptr)) {
      options.exitCode = kExitUsage;
      return;
    }
    options.exitCode = Query(request);
  });

  auto deleteArgs = std::make_shared<std::vector<std::string>>();
  CLI::App* deleteVerb = reg->add_subcommand("delete", "Delete a key, or one of its values");
#ifdef _WIN32
  // Whatever it is given, it points at reg.exe.
  deleteVerb->add_option("key", *deleteArgs, "KEY [/v NAME] [/f]");
  deleteVerb->allow_extras();
  // The callback holds the arguments' vector: the option writes into it.
  deleteVerb->callback([deleteArgs, &options] {
    std::cerr << "ERROR: reg delete is left to Windows' own reg.exe here; run\n"
                 "  reg delete KEY [/v NAME] [/f]\n";
    options.exitCode = kExitUsage;
  });
#else
  deleteVerb->add_option("key", *deleteArgs, "KEY [/v NAME] [/f]")->required();
  deleteVerb->footer(
      "KEY [/v NAME] [/f]: deletes the key under HKCU with every key and value below it,\n"
      "or with /v NAME that value alone. Without /f it asks first, on the terminal;\n"
      "without a terminal it deletes nothing.\n"
      "Exit status:\n" +
      ExitStatusLines({kExitOk, kExitFailed, kExitUsage, kExitNoSuchKey, kExitAccessDenied,
                       kExitNotAStore, kExitNotConfirmed}));
  deleteVerb->callback([deleteArgs, &options] {
    DeleteRequest request;
    if (!ParseSwitches(*deleteArgs, &request.key, &request.value, &request.hasValue, nullptr,
                       &request.force)) {
      options.exitCode = kExitUsage;
      return;
    }
    options.exitCode = Delete(request);
  });
#endif
}

}  // namespace refwarden
