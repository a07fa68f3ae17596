// A store for the filter's trace that belongs to one run of the tool and
// disappears with it, so that a dry run leaves the account's own trace as it
// was. The filter library is not told: it traces every request as always,
// into what it takes for the account's store.
//
// POSIX: the memory store (SelectRegistryStore(kMemoryStoreName)), which the
// filter library finds by the name in the environment it reads at each call
// and keeps in its own memory: nothing of the run reaches the disk, and the
// store goes with the library. Windows: HKEY_CURRENT_USER is mapped, for this
// process only (RegOverridePredefKey), to a volatile key that is deleted at
// the end (and by Windows at the latest when the user logs off).
#pragma once

#include <string>

namespace refwarden {

class PrivateStore {
 public:
  // Sets the store up. Create it before the filter's first request (and
  // before the replay's TraceAudit, which asks then what the store is).
  // Throws std::runtime_error saying why when it cannot.
  PrivateStore();
  // Deletes the store and puts back what was mapped or named before. Destroy
  // it after the filter library is unloaded.
  ~PrivateStore();
  PrivateStore(const PrivateStore&) = delete;
  PrivateStore& operator=(const PrivateStore&) = delete;

  // Where the trace goes, for the report.
  static const char* Description();

 private:
#ifdef _WIN32
  std::string keyName_;  // under HKEY_CURRENT_USER
  void* key_ = nullptr;  // HKEY
#else
  std::string previous_;  // the store named before
#endif
};

}  // namespace refwarden
