// Reading keys and values back through the registry functions: the project's
// store on POSIX systems, the real registry on Windows.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"
#include "tools/RegistryValues.h"

namespace refwarden::testing {

using StoredValue = RegistryValue;

// The data of every trace value: "ok" and its NUL.
inline const std::string kTraceData{"ok\0", 3};

// Calls `visit` with each value of HKEY_CURRENT_USER\<key>, in enumeration
// order. Returns ERROR_SUCCESS after the last one, else the error that
// stopped it (ERROR_FILE_NOT_FOUND when the key is missing).
LONG ForEachValue(const char* key, const std::function<void(const StoredValue&)>& visit);

// Returns the values of HKEY_CURRENT_USER\<key> in enumeration order; empty
// when the key is missing.
std::vector<StoredValue> ReadValues(const char* key);

// Returns whether the trace key holds `path` as the filter writes it: REG_SZ
// with kTraceData. Requires a path without NUL.
bool IsTraced(std::string_view path);

// Returns whether HKEY_CURRENT_USER\<key> exists.
bool KeyExists(const char* key);

}  // namespace refwarden::testing
