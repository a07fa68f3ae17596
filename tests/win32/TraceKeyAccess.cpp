// refwarden_trace_key_access deny|restore: takes every right on the trace key
// away from everyone, as an application pool's identity without rights on
// HKEY_CURRENT_USER would find it, or gives them back and deletes the key.
// The test script runs the tool in between to see what an administrator sees.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "filter/RequestTrace.h"

namespace {

// An empty DACL grants nothing; a null one grants everything. The key's
// owner keeps the right to change it either way.
LONG SetDacl(HKEY key, bool grantNothing) {
  SECURITY_DESCRIPTOR sd;
  ACL empty;
  if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !InitializeAcl(&empty, sizeof empty, ACL_REVISION) ||
      !SetSecurityDescriptorDacl(&sd, TRUE, grantNothing ? &empty : nullptr, FALSE)) {
    return static_cast<LONG>(GetLastError());
  }
  return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
}

LONG Deny() {
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, refwarden::kTraceKey, 0, nullptr,
                           REG_OPTION_NON_VOLATILE, WRITE_DAC, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return r;
  r = SetDacl(key, true);
  RegCloseKey(key);
  return r;
}

LONG Restore() {
  HKEY key = nullptr;
  LONG r = RegOpenKeyExA(HKEY_CURRENT_USER, refwarden::kTraceKey, 0, WRITE_DAC, &key);
  if (r != ERROR_SUCCESS) return r;
  r = SetDacl(key, false);
  RegCloseKey(key);
  return r != ERROR_SUCCESS ? r : RegDeleteKeyA(HKEY_CURRENT_USER, refwarden::kTraceKey);
}

}  // namespace

int main(int argc, char** argv) {
  const bool deny = argc == 2 && std::strcmp(argv[1], "deny") == 0;
  if (argc != 2 || (!deny && std::strcmp(argv[1], "restore") != 0)) {
    std::fprintf(stderr, "usage: refwarden_trace_key_access deny|restore\n");
    return 2;
  }
  const LONG r = deny ? Deny() : Restore();
  if (r != ERROR_SUCCESS) {
    std::fprintf(stderr, "refwarden_trace_key_access %s: error %ld\n", argv[1], r);
    return 1;
  }
  return 0;
}
