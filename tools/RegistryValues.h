// A registry key's values read back through the platform's registry
// functions: for reg query, and for the tests that look at the trace.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace refwarden {

struct RegistryValue {
  std::string name;
  DWORD type;
  std::string data;  // every byte stored, a terminating NUL included
  bool operator==(const RegistryValue& o) const {
    return name == o.name && type == o.type && data == o.data;
  }
};

// Calls `visit` with each value of the open key `key`, in enumeration order,
// however long its data. Returns ERROR_SUCCESS after the last one, else the
// error that stopped it.
LONG ForEachValue(HKEY key, const std::function<void(const RegistryValue&)>& visit);

// Calls `visit` with the name of each subkey of the open key `key`, in
// enumeration order. Returns ERROR_SUCCESS after the last one, else the
// error that stopped it.
LONG ForEachSubkey(HKEY key, const std::function<void(const std::string&)>& visit);

// Returns a value's name or data (any bytes: whoever sends a request names a
// trace value) fit to print on a line of its own: bytes below 0x20, 0x7F,
// the C1 controls and bytes that are not valid UTF-8 become \xHH, as do
// backslashes followed by an x, so that no escape can be forged, while a
// path's other backslashes stay as they are. The terminal escaping of the
// replay's report, as one function that reg's callers share.
std::string RegistryText(std::string_view bytes);

// The same for a key's path, whose backslashes separate its keys and all
// stay as they are.
std::string KeyText(std::string_view path);

}  // namespace refwarden
