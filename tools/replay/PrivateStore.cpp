#include "tools/replay/PrivateStore.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>

#include "filter/RequestTrace.h"
#else
#include "platform/Platform.h"
#endif

namespace refwarden {

#ifdef _WIN32

namespace {

std::string ErrorText(const char* what, LONG code) {
  return std::string(what) + " failed with error " + std::to_string(code);
}

}  // namespace

PrivateStore::PrivateStore() {
  keyName_ = "Software\\Refwarden replay " + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(GetTickCount());
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, keyName_.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) throw std::runtime_error(ErrorText("creating a private registry key", r));
  // A volatile key takes only volatile keys below it, and the filter asks for
  // a lasting one: its trace key is made here first, so the filter opens it.
  HKEY traceKey = nullptr;
  r = RegCreateKeyExA(key, kTraceKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &traceKey, nullptr);
  if (r == ERROR_SUCCESS) {
    RegCloseKey(traceKey);
    r = RegOverridePredefKey(HKEY_CURRENT_USER, key);
  }
  if (r != ERROR_SUCCESS) {
    RegCloseKey(key);
    RegDeleteTreeA(HKEY_CURRENT_USER, keyName_.c_str());
    throw std::runtime_error(ErrorText("mapping HKEY_CURRENT_USER to a private key", r));
  }
  key_ = key;
}

PrivateStore::~PrivateStore() {
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(static_cast<HKEY>(key_));
  RegDeleteTreeA(HKEY_CURRENT_USER, keyName_.c_str());
}

const char* PrivateStore::Description() {
  return "a private registry key, deleted after the run (--trace writes the account's own)";
}

#else

PrivateStore::PrivateStore() : previous_(SelectRegistryStore(kMemoryStoreName)) {}

PrivateStore::~PrivateStore() { SelectRegistryStore(previous_.c_str()); }

const char* PrivateStore::Description() {
  return "a private store in memory, gone after the run (--trace writes the account's own)";
}

#endif

}  // namespace refwarden
