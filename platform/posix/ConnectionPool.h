// The process's pool of store connections, one idle list per store file.
// Connections are opened once and lent to key handles; a connection whose
// file was replaced, deleted or changed permissions, or that saw a fault, is
// closed instead of being reused.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/StoreConnection.h"

namespace refwarden {

// A connection lent by the pool: it goes back to the pool when the lease ends
// (destroyed, reset or assigned over), on every path.
class ConnectionLease {
 public:
  ConnectionLease() = default;
  ~ConnectionLease() { Reset(); }
  ConnectionLease(ConnectionLease&& o) noexcept : c_(std::exchange(o.c_, nullptr)) {}
  ConnectionLease& operator=(ConnectionLease&& o) noexcept;

  // Hands the connection back now; the lease is then empty.
  void Reset() noexcept;

  StoreConnection* get() const { return c_; }
  StoreConnection* operator->() const { return c_; }
  explicit operator bool() const { return c_ != nullptr; }

 private:
  friend class ConnectionPool;
  explicit ConnectionLease(StoreConnection* c) : c_(c) {}
  StoreConnection* c_ = nullptr;
};

class ConnectionPool {
 public:
  // The one pool; it lives until the process ends.
  static ConnectionPool& Get();

  // Lends a connection to the store at `path`, or, when `path` is null, to
  // the store the environment names now (created if missing). Returns
  // ERROR_SUCCESS and fills *out, or a Windows error code and leaves it empty.
  LONG Checkout(const std::string* path, ConnectionLease* out);

  // Closes every idle connection.
  void Drain();

  // Drains, closes from now on every connection given back, and frees the
  // pool's records of its stores when no connection is open.
  void Shutdown();

  std::size_t OpenCount() const { return open_.load(std::memory_order_relaxed); }

 private:
  friend class ConnectionLease;

  struct Store {
    explicit Store(std::string path) : shared(std::move(path)) {}
    StoreShared shared;
    std::vector<StoreConnection*> idle;
  };

  // Takes a connection back; it is closed when faulted or when the pool is
  // full or shut down.
  void Return(StoreConnection* c);
  Store* FindStore(const std::string& path);  // requires lock_
  void Close(StoreConnection* c);

  std::mutex lock_;
  std::map<std::string, std::unique_ptr<Store>, std::less<>> stores_;
  bool shutdown_ = false;
  std::atomic<std::size_t> open_{0};
};

}  // namespace refwarden
