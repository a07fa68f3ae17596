// A registry store of the test's own, empty at the start and gone at the end.
//
// On POSIX systems the registry functions keep their keys in the SQLite file
// REFWARDEN_REGISTRY names: a TempStore points it into a new folder under the
// temporary directory. On Windows they are the current user's real registry:
// a TempStore removes the trace's parent key (software\tarnwel) before and
// after.
#pragma once

#include <string>
#include <string_view>

namespace refwarden::testing {

class TempStore {
 public:
  // POSIX: makes the folder and points REFWARDEN_REGISTRY at `storeName`
  // inside it (a relative path; the store and its folders are made on first
  // use). Folder() is empty when the folder could not be made.
  explicit TempStore(std::string_view storeName = "registry.sqlite");
  // Puts REFWARDEN_REGISTRY back as it was and removes the folder.
  ~TempStore();
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;

  // Makes every trace fail until AllowTraces(). POSIX: REFWARDEN_REGISTRY
  // names a folder that cannot be made. Windows: the trace's parent key is
  // made volatile, and a volatile key cannot hold the stored trace key; what
  // was traced before is removed.
  void RefuseTraces();
  // Undoes RefuseTraces(): the store as it was (POSIX), or no trace key at
  // all (Windows).
  void AllowTraces();

#ifndef _WIN32
  const std::string& Folder() const { return folder_; }
  // The store file, inside Folder().
  const std::string& Path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
  std::string earlier_;  // REFWARDEN_REGISTRY before, when it was set
  bool wasSet_ = false;
#endif
};

#ifndef _WIN32
// Points REFWARDEN_REGISTRY at `path`: the store the registry functions use
// from their next call on.
void UseStore(const std::string& path);

// Makes a new empty folder under the temporary directory. Returns its path,
// or "" when it cannot.
std::string MakeTempFolder();
#endif

}  // namespace refwarden::testing
