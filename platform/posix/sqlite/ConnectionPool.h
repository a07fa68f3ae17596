// The process's pool of store connections, one idle list per store file.
// Connections are opened once and lent to key handles; a connection whose
// file was replaced, deleted or changed permissions, or that saw a fault, is
// closed instead of being reused.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/Store.h"
#include "platform/posix/sqlite/StoreConnection.h"

namespace refwarden {

class ConnectionPool {
 public:
  // The one pool; it lives until the process ends.
  static ConnectionPool& Get();

  // Lends a connection to the store file at `path`; a missing store is
  // created when `create` is set. Returns ERROR_SUCCESS and fills *out, or a
  // Windows error code (those of PrepareStoreFile and StoreConnection::Open)
  // and leaves it empty.
  LONG Checkout(const std::string& path, bool create, SessionLease* out);

  // Closes every idle connection.
  void Drain();

  // Drains, closes from now on every connection given back, and frees the
  // pool's records of its stores when no connection is open.
  void Shutdown();

  std::size_t OpenCount() const { return open_.load(std::memory_order_relaxed); }

 private:
  friend class StoreConnection;

  struct Store {
    explicit Store(std::string path) : shared(std::move(path)) {}
    StoreShared shared;
    std::vector<StoreConnection*> idle;
    // SQLite finds a store's log and shared memory by the path's name, and
    // two connections of one process to different files there would take
    // the same shared memory for their own (one truncates what the other has
    // mapped). So every open connection of a store is to this one file.
    FileIdentity file;
    std::size_t open = 0;
    std::size_t waiting = 0;  // openers of another file, waiting for those to close
  };

  // Takes a connection back (its lease ended); it is closed when faulted, when it is not to the
  // store's file, or when the pool is full or shut down.
  void Return(StoreConnection* c);
  // Closes `c`, which failed or is not pooled. After an I/O error on the
  // file the store's path still names, every connection of the store is
  // replaced: they share the shared memory SQLite found by name, which may be
  // what failed (a swap of the store's folder while a connection opened it
  // can leave the process mapping another folder's). The store's file is
  // forgotten, the idle connections are closed now, the lent ones as they
  // come back, and Admit lets the next one in once all are.
  void CloseFailed(Store* store, StoreConnection* c);
  Store* FindStore(const std::string& path);  // requires lock_
  // Counts `c` as open for `store`. Connections to the file that was there
  // before are closed as they come back, waiting kMaxStoreWait at most for
  // those still lent; ERROR_BUSY when some are still open then.
  LONG Admit(Store* store, StoreConnection* c);
  // Closes `c`; `admitted` when it was counted by Admit.
  void Close(StoreConnection* c, bool admitted = true);

  std::mutex lock_;
  std::condition_variable closed_;  // a store's open count went down
  std::map<std::string, std::unique_ptr<Store>, std::less<>> stores_;
  bool shutdown_ = false;
  std::atomic<std::size_t> open_{0};
};

}  // namespace refwarden
