// A registry key's values read back through the platform's registry
// functions: for reg query, and for the tests that look at the trace.
#pragma once

#include <functional>
#include <string>

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

}  // namespace refwarden
