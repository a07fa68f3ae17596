// The request-path trace: every examined path becomes a value name, with the
// data "ok", under HKEY_CURRENT_USER\software\tarnwel\debug.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "strings/Exceptions.h"

namespace refwarden {

// The trace key under HKEY_CURRENT_USER. Relative, lower case, as written.
inline constexpr const char* kTraceKey = "software\\tarnwel\\debug";
// The data of every traced value, a REG_SZ: written with its NUL.
inline constexpr char kTraceData[] = "ok";

// A refused registry write. Message: "Failed to set data for '<name>'".
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// The registry functions a TRegistry calls; tests hand in their own.
struct RegistryApi {
  LONG(WINAPI* createKey)
  (HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
  LONG(WINAPI* setValue)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
  LONG(WINAPI* closeKey)(HKEY);
};

// Returns the platform's RegCreateKeyExA, RegSetValueExA and RegCloseKey.
const RegistryApi& PlatformRegistryApi();

// A registry-key wrapper owned by one call: at most one current key, closed
// (never flushed) by CloseKey and on destruction.
class TRegistry {
 public:
  explicit TRegistry(HKEY root = HKEY_CURRENT_USER, REGSAM access = KEY_ALL_ACCESS,
                     const RegistryApi& api = PlatformRegistryApi());
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  // Opens `path` (NUL-terminated) under the root, creating it when
  // `canCreate`, and makes it the current key. Returns whether that worked;
  // never throws. Only opening with create is supported.
  bool OpenKey(const char* path, bool canCreate) noexcept;

  // Writes `text` as a REG_SZ value named `name` (NUL-terminated) of the
  // current key, with its terminating NUL. Throws ERegistryException when
  // the platform refuses, also when no key is current.
  void WriteString(const char* name, std::string_view text);

  // Closes the current key, if any, and forgets it.
  void CloseKey() noexcept;

  HKEY CurrentKey() const { return currentKey_; }
  bool LazyWrite() const { return true; }

 private:
  HKEY root_;
  REGSAM access_;
  const RegistryApi& api_;
  HKEY currentKey_ = nullptr;
};

// Records `path` (0 to 4096 bytes, no NUL) as a value of the trace key:
// exactly RegCreateKeyExA, RegSetValueExA (REG_SZ, "ok\0", 3 bytes) and
// RegCloseKey on success. Throws ERegistryException when the value cannot be
// written; the key is closed before anything leaves.
void TraceRequestPath(std::string_view path);
void TraceRequestPath(std::string_view path, const RegistryApi& api);

}  // namespace refwarden
