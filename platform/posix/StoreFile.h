// A store kept in a file on disk: which file a path names, whether this
// process may write it, creating it with owner-only permissions, and what
// system errors mean as Windows error codes. Nothing else in the stores
// touches the file system; what a store engine keeps beside its file is the
// engine's to say (PrepareStoreFile's `beforeCreate`).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace refwarden {

// The file a path named at one moment, and its type and permission bits. A
// file deleted or replaced and made again under the same name is another
// file.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint32_t mode = 0;

  bool SameFile(const FileIdentity& o) const { return device == o.device && inode == o.inode; }
  bool operator==(const FileIdentity& o) const { return SameFile(o) && mode == o.mode; }
};

// Sets *id to the file `path` names now (following symbolic links). Returns
// ERROR_SUCCESS, or the error code for why it cannot be looked at.
LONG IdentifyFile(const std::string& path, FileIdentity* id);

// True when this process may read and write `path` by its permissions.
bool MayReadAndWrite(const std::string& path);

// Checks before a write that `path` still names the file `opened`, so that a
// write is never acknowledged into a file deleted, replaced or made read-only
// under an open connection. Returns ERROR_SUCCESS (and takes on the new mode
// when only the permissions changed and still allow writing),
// ERROR_WRITE_FAULT when the file is gone or another one, or
// ERROR_ACCESS_DENIED when it may no longer be written.
LONG CheckStillWritable(const std::string& path, FileIdentity* opened);

// Makes sure `path` names something SQLite may open as a store, before it
// does, so that nothing is created beside what is not a store. Returns
// ERROR_SUCCESS for a regular file (through symbolic links) this process may
// read and write; an empty one is first brought to mode 0600. Otherwise:
// - nothing there: with `create`, the store is created (its missing folders
//   with mode 0700, the file empty with mode 0600; safe against concurrent
//   creators in this and other processes) and then checked; without,
//   ERROR_FILE_NOT_FOUND and nothing is created. `beforeCreate`, when not
//   null, is called with the path under the folder's lock just before the
//   file is made, and never after another creator made it: for removing
//   what an earlier file of that name left beside it;
// - a symbolic link to nothing: ERROR_PATH_NOT_FOUND; nothing is created
//   where it points, since the link says the store lives elsewhere;
// - a folder, device, FIFO or socket: ERROR_BADDB;
// - a file this process may not read and write, or an empty one whose mode
//   cannot be set: ERROR_ACCESS_DENIED;
// - a path that cannot be looked at: the error code for why.
LONG PrepareStoreFile(const std::string& path, bool create,
                      void (*beforeCreate)(const std::string& path) = nullptr);

// The Windows error code closest to the errno value `err`.
LONG ErrorFromErrno(int err);

}  // namespace refwarden
