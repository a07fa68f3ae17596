#include "platform/posix/sqlite/ConnectionPool.h"

#include <unistd.h>

#include <new>

#include "platform/posix/NoDestructor.h"
#include "platform/posix/StoreFile.h"

namespace refwarden {

namespace {

constexpr std::size_t kMaxIdlePerStore = 8;

// Closes the idle connections when the library is unloaded or the process
// exits; the pool itself is never destroyed, so late callers stay safe.
struct PoolCloser {
  ~PoolCloser() { ConnectionPool::Get().Shutdown(); }
} pool_closer;

// SQLite keeps a store's log and shared memory beside its file, by its name;
// those an earlier file of the name left would be taken for the new one's.
void RemoveEarlierCompanions(const std::string& path) {
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
}

}  // namespace

ConnectionPool& ConnectionPool::Get() {
  static NoDestructor<ConnectionPool> pool;
  return *pool;
}

ConnectionPool::Store* ConnectionPool::FindStore(const std::string& path) {
  auto it = stores_.find(path);
  if (it == stores_.end()) it = stores_.emplace(path, std::make_unique<Store>(path)).first;
  return it->second.get();
}

LONG ConnectionPool::Admit(Store* store, StoreConnection* c) {
  const auto deadline = StoreWaitClock::now() + kMaxStoreWait;
  const auto admissible = [&] { return store->open == 0 || store->file.SameFile(c->file()); };
  std::unique_lock<std::mutex> hold(lock_);
  ++store->waiting;
  for (;;) {
    if (admissible()) {
      --store->waiting;
      store->file = c->file();
      ++store->open;
      return ERROR_SUCCESS;
    }
    if (!store->idle.empty()) {
      // Idle ones are to the file that was there before.
      std::vector<StoreConnection*> stale;
      stale.swap(store->idle);
      hold.unlock();
      for (StoreConnection* old : stale) Close(old);
      hold.lock();
      continue;
    }
    if (closed_.wait_until(hold, deadline) == std::cv_status::timeout && !admissible() &&
        store->idle.empty()) {
      --store->waiting;
      return ERROR_BUSY;
    }
  }
}

void ConnectionPool::Close(StoreConnection* c, bool admitted) {
  // SQLite keeps the log of a file that was moved away when it closes, so
  // that the file under the store's name would take it on.
  FileIdentity now;
  if (IdentifyFile(c->shared()->path, &now) != ERROR_SUCCESS || !now.SameFile(c->file()))
    c->EmptyLog();
  // Uncounted only once closed: until then its shared memory is mapped.
  const StoreShared* shared = c->shared();
  delete c;
  if (admitted) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      auto it = stores_.find(shared->path);
      if (it != stores_.end()) --it->second->open;
    }
    closed_.notify_all();
  }
  open_.fetch_sub(1, std::memory_order_relaxed);
}

LONG ConnectionPool::Checkout(const std::string& name, bool create, SessionLease* out) {
  out->Reset();
  const std::string* path = &name;
  FileIdentity now;
  const LONG found = IdentifyFile(*path, &now);

  Store* store;
  StoreConnection* reused = nullptr;
  std::vector<StoreConnection*> stale;
  {
    std::lock_guard<std::mutex> hold(lock_);
    store = FindStore(*path);
    while (!store->idle.empty()) {
      StoreConnection* c = store->idle.back();
      store->idle.pop_back();
      if (found == ERROR_SUCCESS && c->file() == now && store->file.SameFile(now)) {
        reused = c;
        break;
      }
      stale.push_back(c);
    }
    // Counted before the lock is let go, so that Shutdown never frees the
    // store a new connection is about to use.
    if (reused == nullptr) open_.fetch_add(1, std::memory_order_relaxed);
  }
  for (StoreConnection* c : stale) Close(c);
  if (reused != nullptr) {
    *out = SessionLease(reused);
    return ERROR_SUCCESS;
  }

  LONG r = PrepareStoreFile(*path, create, &RemoveEarlierCompanions);
  auto* c = r == ERROR_SUCCESS ? new (std::nothrow) StoreConnection(&store->shared) : nullptr;
  if (c == nullptr) {
    open_.fetch_sub(1, std::memory_order_relaxed);
    return r == ERROR_SUCCESS ? ERROR_OUTOFMEMORY : r;
  }
  if (LONG failed = c->OpenFile()) {
    Close(c, false);
    return failed;
  }
  if (LONG busy = Admit(store, c)) {
    Close(c, false);
    return busy;
  }
  if (LONG failed = c->Start()) {
    CloseFailed(store, c);
    return failed;
  }
  *out = SessionLease(c);
  return ERROR_SUCCESS;
}

void ConnectionPool::Return(StoreConnection* c) {
  if (c == nullptr) return;
  Store* store = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = stores_.find(c->shared()->path);
    if (it != stores_.end()) store = it->second.get();
    // Not pooled while an opener waits for this file's connections to close.
    if (!c->faulted() && !shutdown_ && store != nullptr && store->waiting == 0 &&
        store->file.SameFile(c->file()) && store->idle.size() < kMaxIdlePerStore) {
      store->idle.push_back(c);
      return;
    }
  }
  if (store != nullptr) {
    CloseFailed(store, c);
  } else {
    Close(c);
  }
}

void ConnectionPool::CloseFailed(Store* store, StoreConnection* c) {
  std::vector<StoreConnection*> retired;
  FileIdentity now;
  if (c->ioFaulted() && IdentifyFile(c->shared()->path, &now) == ERROR_SUCCESS &&
      now.SameFile(c->file())) {
    std::lock_guard<std::mutex> hold(lock_);
    if (store->file.SameFile(c->file())) {
      store->file = FileIdentity{};
      retired.swap(store->idle);
    }
  }
  for (StoreConnection* old : retired) Close(old);
  Close(c);
}

void ConnectionPool::Drain() {
  std::vector<StoreConnection*> idle;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& entry : stores_) {
      idle.insert(idle.end(), entry.second->idle.begin(), entry.second->idle.end());
      entry.second->idle.clear();
    }
  }
  for (StoreConnection* c : idle) Close(c);
}

void ConnectionPool::Shutdown() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    shutdown_ = true;
  }
  Drain();
  // With no connection open, nothing refers to the stores any more.
  decltype(stores_) stores;
  std::lock_guard<std::mutex> hold(lock_);
  if (open_.load(std::memory_order_relaxed) == 0) stores.swap(stores_);
}

}  // namespace refwarden
