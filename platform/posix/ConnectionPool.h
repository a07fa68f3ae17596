// The process's pool of store connections, one idle list per store file.
// Connections are opened once and handed out to key handles; a connection
// whose file was replaced, deleted or changed permissions, or that saw a
// fault, is closed instead of being reused.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/StoreConnection.h"

namespace refwarden {

class ConnectionPool {
 public:
  // The one pool; it lives until the process ends.
  static ConnectionPool& Get();

  // Hands out a connection to the store at `path`, or, when `path` is null,
  // to the store the environment names now (created if missing). Returns
  // ERROR_SUCCESS and sets *out, or a Windows error code.
  LONG Checkout(const std::string* path, StoreConnection** out);

  // Takes a connection back; it is closed when faulted or when the pool is
  // full or shut down.
  void Return(StoreConnection* c);

  // Closes every idle connection.
  void Drain();

  // Drains, closes from now on every connection given back, and frees the
  // pool's records of its stores when no connection is open.
  void Shutdown();

  std::size_t OpenCount() const { return open_.load(std::memory_order_relaxed); }

 private:
  struct Store {
    explicit Store(std::string path) : shared(std::move(path)) {}
    StoreShared shared;
    std::vector<StoreConnection*> idle;
  };

  Store* FindStore(const std::string& path);  // requires lock_
  void Close(StoreConnection* c);

  std::mutex lock_;
  std::map<std::string, std::unique_ptr<Store>, std::less<>> stores_;
  bool shutdown_ = false;
  std::atomic<std::size_t> open_{0};
};

}  // namespace refwarden
