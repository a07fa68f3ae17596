// The memory store: keys and values in maps of this process's, for a trace
// that must leave nothing on disk (the replay's dry run) and for tests. Safe
// for concurrent use (readers share a lock, writers take it alone); no
// system call on the way of a request. Each store name with the
// kMemoryStoreName prefix is a store of its own, made empty on first use.
//
// It holds at most kMemoryStoreBudget bytes of names and data (a few dozen
// bytes of bookkeeping counted with each): past that, a write makes its key
// forget its oldest values, the one it wrote kept, so that a server asked
// for ever new paths does not grow without end. The trace is the store's
// one big key.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/Store.h"

namespace refwarden {

inline constexpr std::size_t kMemoryStoreBudget = std::size_t{16} << 20;

class MemoryStore;

// Every memory store of the process, by name.
class MemoryStores {
 public:
  // The one set; it lives until the process ends.
  static MemoryStores& Get();

  // Lends a session of the memory store `name`. Returns ERROR_SUCCESS, or
  // ERROR_OUTOFMEMORY.
  LONG Open(const std::string& name, SessionLease* out);

  // Frees every store once no session is lent: when the library holding
  // them is unloaded or the process exits.
  void Shutdown();

 private:
  friend class MemorySession;
  std::mutex lock_;
  std::map<std::string, std::unique_ptr<MemoryStore>, std::less<>> stores_;
  std::atomic<std::size_t> lent_{0};
};

}  // namespace refwarden
