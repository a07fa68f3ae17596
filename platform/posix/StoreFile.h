// Where the per-user registry store lives, and making sure it exists with
// owner-only permissions before SQLite opens it.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace refwarden {

// Sets *path to the store file: $REFWARDEN_REGISTRY when set and not empty,
// else $XDG_DATA_HOME/refwarden/registry.sqlite (XDG_DATA_HOME absolute),
// else $HOME/.local/share/refwarden/registry.sqlite. Reads the environment
// at each call. Returns false when no home folder can be found.
bool ResolveStoreFile(std::string* path);

// Creates the store file when it is missing: its missing folders with mode
// 0700, the file itself empty with mode 0600, and removes any -wal/-shm left
// beside it by an earlier file of the same name. Safe against concurrent
// creators in this and other processes. Returns ERROR_SUCCESS or the Windows
// error code for what failed.
LONG CreateStoreFileIfMissing(const std::string& path);

// The Windows error code closest to the errno value `err`.
LONG ErrorFromErrno(int err);

}  // namespace refwarden
