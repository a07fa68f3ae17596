#include "filter/RequestTrace.h"

#include <cstring>

namespace refwarden {

const RegistryApi& PlatformRegistryApi() {
  static const RegistryApi api{&RegCreateKeyExA, &RegSetValueExA, &RegCloseKey};
  return api;
}

TRegistry::TRegistry(HKEY root, REGSAM access, const RegistryApi& api)
    : root_(root), access_(access), api_(api) {}

TRegistry::~TRegistry() { CloseKey(); }

bool TRegistry::OpenKey(const char* path, bool canCreate) noexcept {
  if (!canCreate) return false;
  CloseKey();
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG result = api_.createKey(root_, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                                     nullptr, &key, &disposition);
  if (result != ERROR_SUCCESS) return false;
  currentKey_ = key;
  return true;
}

void TRegistry::WriteString(const char* name, std::string_view text) {
  // The data is the text and its terminating NUL.
  const std::string data(text);
  const LONG result =
      api_.setValue(currentKey_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                    static_cast<DWORD>(data.size() + 1));
  if (result != ERROR_SUCCESS) {
    throw ERegistryException(std::string("Failed to set data for '") + name + "'");
  }
}

void TRegistry::CloseKey() noexcept {
  if (currentKey_ == nullptr) return;
  api_.closeKey(currentKey_);
  currentKey_ = nullptr;
}

void TraceRequestPath(std::string_view path) { TraceRequestPath(path, PlatformRegistryApi()); }

void TraceRequestPath(std::string_view path, const RegistryApi& api) {
  // The value name must be NUL-terminated; request paths fit the stack copy.
  char inlineName[4097];
  std::string heapName;
  const char* name = inlineName;
  if (path.size() < sizeof inlineName) {
    std::memcpy(inlineName, path.data(), path.size());
    inlineName[path.size()] = '\0';
  } else {
    heapName.assign(path);
    name = heapName.c_str();
  }

  TRegistry registry(HKEY_CURRENT_USER, KEY_ALL_ACCESS, api);
  registry.OpenKey(kTraceKey, true);
  registry.WriteString(name, kTraceData);
  registry.CloseKey();
}

}  // namespace refwarden
