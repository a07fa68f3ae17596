#include "platform/posix/memory/MemoryStore.h"

#include <deque>
#include <functional>
#include <new>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/NoDestructor.h"
#include "platform/posix/RegistryNames.h"
#include "strings/AsciiText.h"

namespace refwarden {

namespace {

constexpr std::size_t kMaxIdleSessions = 8;
// What a value costs beyond its name and data: its slot in the key's order,
// its entry in the name index and the allocator's share.
constexpr std::size_t kValueOverhead = 96;
constexpr std::size_t kKeyOverhead = 256;

struct MemoryValue {
  std::string name;  // as first written
  std::string data;
  DWORD type = 0;
};

std::size_t Cost(const MemoryValue& v) { return v.name.size() + v.data.size() + kValueOverhead; }

struct MemoryKey {
  MemoryKey(std::string p, std::int64_t above) : path(std::move(p)), parent(above) {}
  std::string path;                // as stored
  std::int64_t parent;             // 0 for the root
  bool deleted = false;            // its id is not given again
  std::deque<MemoryValue> values;  // in first-write order
  std::int64_t first = 1;          // the rowid of values.front()
  // Hash of the folded name -> rowid.
  std::unordered_multimap<std::size_t, std::int64_t> byName;
};

std::size_t HashFolded(std::string_view folded) { return std::hash<std::string_view>()(folded); }

bool SameFolded(std::string_view name, std::string_view folded) {
  if (name.size() != folded.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (LowerAscii(name[i]) != folded[i]) return false;
  return true;
}

}  // namespace

class MemoryStore {
 public:
  explicit MemoryStore(std::string n) : name(std::move(n)) {
    keys.push_back(std::make_unique<MemoryKey>("", 0));
    idByPath.emplace("", kRootKeyId);
  }
  ~MemoryStore();

  const std::string name;
  std::shared_mutex lock;
  std::vector<std::unique_ptr<MemoryKey>> keys;            // by id - 1
  std::unordered_map<std::string, std::int64_t> idByPath;  // folded path -> id
  std::size_t bytes = 0;

  // Requires the lock, shared or not. Null for an unknown or deleted key.
  MemoryKey* Key(std::int64_t id) const {
    if (id < 1 || static_cast<std::size_t>(id) > keys.size()) return nullptr;
    MemoryKey* k = keys[static_cast<std::size_t>(id - 1)].get();
    return k->deleted ? nullptr : k;
  }
  // What a write to key `id` answers when Key(id) is null.
  LONG Missing(std::int64_t id) const {
    return id >= 1 && static_cast<std::size_t>(id) <= keys.size() ? ERROR_KEY_DELETED
                                                                  : ERROR_FILE_NOT_FOUND;
  }
  // Forgets every value of `key`. Requires the lock alone.
  void Empty(MemoryKey* key) {
    for (const MemoryValue& v : key->values) bytes -= Cost(v);
    key->first += static_cast<std::int64_t>(key->values.size());
    key->values.clear();
    key->byName.clear();
  }
  // The rowid of the value `folded` names in `key`, or 0.
  static std::int64_t Find(const MemoryKey& key, std::string_view folded, std::size_t hash) {
    auto [at, end] = key.byName.equal_range(hash);
    for (; at != end; ++at) {
      const MemoryValue& v = key.values[static_cast<std::size_t>(at->second - key.first)];
      if (SameFolded(v.name, folded)) return at->second;
    }
    return 0;
  }
  // Forgets the oldest values of `key` until the store is within its budget,
  // never the one at `keep`. Requires the lock alone.
  void ForgetOldest(MemoryKey* key, std::int64_t keep, std::string* scratch) {
    while (bytes > kMemoryStoreBudget && !key->values.empty() && key->first != keep) {
      const MemoryValue& oldest = key->values.front();
      FoldAscii(oldest.name, scratch);
      auto [at, end] = key->byName.equal_range(HashFolded(*scratch));
      for (; at != end; ++at) {
        if (at->second == key->first) {
          key->byName.erase(at);
          break;
        }
      }
      bytes -= Cost(oldest);
      key->values.pop_front();
      ++key->first;
    }
  }

  std::mutex idleLock;
  std::vector<StoreSession*> idle;
};

class MemorySession;

namespace {

// The session this thread handed back last, kept for the thread's next
// request: the usual request then takes no lock and writes no shared
// counter on its way into the store and out. It still counts as lent, so
// that its store is not freed under it; the thread hands it back when it ends.
struct ParkedSession {
  MemorySession* session = nullptr;
  ~ParkedSession();
};
thread_local ParkedSession parked;

// Keeps `s` as this thread's parked session; false when one is parked already.
bool Park(MemorySession* s) noexcept {
  if (parked.session != nullptr) return false;
  parked.session = s;
  return true;
}

}  // namespace

// One caller's way into a memory store. Reads copy the value out under the
// shared lock, so a row stays valid whatever other threads write meanwhile.
class MemorySession final : public StoreSession {
 public:
  explicit MemorySession(MemoryStore* store) : store_(store) {}

  const std::string& storeName() const override { return store_->name; }
  bool sound() const override { return true; }

  void Release() noexcept override {
    if (Park(this)) return;
    ReturnIdle();
  }

  // Back to the store's idle sessions, or freed; no longer counted as lent.
  void ReturnIdle() noexcept {
    MemoryStores::Get().lent_.fetch_sub(1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> hold(store_->idleLock);
      if (store_->idle.size() < kMaxIdleSessions) {
        try {
          store_->idle.push_back(this);
          return;
        } catch (...) {
        }
      }
    }
    delete this;
  }

  LONG ReadValue(std::int64_t key, std::string_view name, ValueRow* row) override {
    row->End();
    FoldAscii(name, &fold_);
    const std::size_t hash = HashFolded(fold_);
    std::shared_lock<std::shared_mutex> hold(store_->lock);
    const MemoryKey* k = store_->Key(key);
    if (k == nullptr) return ERROR_FILE_NOT_FOUND;
    const std::int64_t rowid = MemoryStore::Find(*k, fold_, hash);
    return rowid == 0 ? ERROR_FILE_NOT_FOUND : CopyOut(*k, rowid, row);
  }

  LONG ReadValueFrom(std::int64_t key, std::int64_t rowid, ValueRow* row) override {
    row->End();
    std::shared_lock<std::shared_mutex> hold(store_->lock);
    const MemoryKey* k = store_->Key(key);
    if (k == nullptr) return ERROR_FILE_NOT_FOUND;
    const std::int64_t from = rowid < k->first ? k->first : rowid;
    if (from - k->first >= static_cast<std::int64_t>(k->values.size())) return ERROR_FILE_NOT_FOUND;
    return CopyOut(*k, from, row);
  }

  LONG ReadValueAt(std::int64_t key, std::uint64_t index, ValueRow* row) override {
    row->End();
    std::shared_lock<std::shared_mutex> hold(store_->lock);
    const MemoryKey* k = store_->Key(key);
    if (k == nullptr || index >= k->values.size()) return ERROR_FILE_NOT_FOUND;
    return CopyOut(*k, k->first + static_cast<std::int64_t>(index), row);
  }

  LONG WriteValue(std::int64_t key, std::string_view name, DWORD type, const BYTE* data,
                  DWORD size) override {
    FoldAscii(name, &fold_);
    const std::size_t hash = HashFolded(fold_);
    const std::string_view bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
    std::unique_lock<std::shared_mutex> hold(store_->lock);
    MemoryKey* k = store_->Key(key);
    if (k == nullptr) return store_->Missing(key);
    std::int64_t rowid = MemoryStore::Find(*k, fold_, hash);
    if (rowid != 0) {
      MemoryValue& v = k->values[static_cast<std::size_t>(rowid - k->first)];
      std::string replaced(bytes);
      store_->bytes += replaced.size();
      store_->bytes -= v.data.size();
      v.data.swap(replaced);
      v.type = type;
    } else {
      MemoryValue v{std::string(name), std::string(bytes), type};
      rowid = k->first + static_cast<std::int64_t>(k->values.size());
      k->values.push_back(std::move(v));
      try {
        k->byName.emplace(hash, rowid);
      } catch (...) {
        k->values.pop_back();
        throw;
      }
      store_->bytes += Cost(k->values.back());
    }
    store_->ForgetOldest(k, rowid, &fold_);
    return ERROR_SUCCESS;
  }

  LONG ReadSubkeyAt(std::int64_t key, std::uint64_t index, std::string* name) override {
    std::shared_lock<std::shared_mutex> hold(store_->lock);
    if (store_->Key(key) == nullptr) return ERROR_FILE_NOT_FOUND;
    for (const auto& k : store_->keys) {
      if (k->deleted || k->parent != key || index-- != 0) continue;
      name->assign(k->path.substr(k->path.rfind('\\') + 1));
      return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
  }

  // The values after the one removed move up one place, their rowids with them.
  LONG DeleteValue(std::int64_t key, std::string_view name) override {
    FoldAscii(name, &fold_);
    const std::size_t hash = HashFolded(fold_);
    std::unique_lock<std::shared_mutex> hold(store_->lock);
    MemoryKey* k = store_->Key(key);
    if (k == nullptr) return store_->Missing(key);
    const std::int64_t rowid = MemoryStore::Find(*k, fold_, hash);
    if (rowid == 0) return ERROR_FILE_NOT_FOUND;
    const auto at = k->values.begin() + (rowid - k->first);
    store_->bytes -= Cost(*at);
    k->values.erase(at);
    for (auto it = k->byName.begin(); it != k->byName.end();) {
      if (it->second == rowid) {
        it = k->byName.erase(it);
        continue;
      }
      if (it->second > rowid) --it->second;
      ++it;
    }
    return ERROR_SUCCESS;
  }

 protected:
  LONG RemoveTree(std::int64_t key, bool withKey) override {
    std::unique_lock<std::shared_mutex> hold(store_->lock);
    MemoryKey* top = store_->Key(key);
    if (top == nullptr) return store_->Missing(key);
    // Keys are made after their parents, so one pass in id order finds the
    // whole subtree.
    std::vector<bool> inTree(store_->keys.size() + 1, false);
    inTree[static_cast<std::size_t>(key)] = true;
    for (std::size_t id = static_cast<std::size_t>(key) + 1; id <= store_->keys.size(); ++id) {
      MemoryKey* k = store_->keys[id - 1].get();
      if (k->deleted || !inTree[static_cast<std::size_t>(k->parent)]) continue;
      inTree[id] = true;
      Forget(k);
    }
    if (withKey) {
      Forget(top);
    } else {
      store_->Empty(top);
    }
    return ERROR_SUCCESS;
  }

  LONG KeyPath(std::int64_t id, std::string* path) override {
    std::shared_lock<std::shared_mutex> hold(store_->lock);
    const MemoryKey* k = store_->Key(id);
    if (k == nullptr) return ERROR_FILE_NOT_FOUND;
    path->append(k->path);
    return ERROR_SUCCESS;
  }

  LONG LookupKey(std::string_view path, std::int64_t* id) override {
    FoldAscii(path, &fold_);
    std::shared_lock<std::shared_mutex> hold(store_->lock);
    auto it = store_->idByPath.find(fold_);
    if (it == store_->idByPath.end()) return ERROR_FILE_NOT_FOUND;
    *id = it->second;
    return ERROR_SUCCESS;
  }

  LONG CreateKey(std::string_view path, std::int64_t* id, bool* created) override {
    FoldAscii(path, &fold_);
    std::unique_lock<std::shared_mutex> hold(store_->lock);
    std::int64_t parent = kRootKeyId;
    for (std::size_t end = 0; end != path.size();) {
      end = path.find('\\', end + 1);
      if (end == std::string_view::npos) end = path.size();
      const std::string folded = fold_.substr(0, end);
      auto it = store_->idByPath.find(folded);
      *created = it == store_->idByPath.end();
      if (!*created) {
        parent = it->second;
        continue;
      }
      if (store_->bytes + folded.size() * 2 + kKeyOverhead > kMemoryStoreBudget)
        return ERROR_OUTOFMEMORY;
      const MemoryKey* above = store_->Key(parent);
      if (above == nullptr) return ERROR_FILE_NOT_FOUND;  // ids come from this store
      std::string stored = above->path;
      const std::size_t start = stored.empty() ? 0 : stored.size() + 1;
      if (!stored.empty()) stored.push_back('\\');
      stored.append(path.substr(start, end - start));
      store_->keys.push_back(std::make_unique<MemoryKey>(std::move(stored), parent));
      parent = static_cast<std::int64_t>(store_->keys.size());
      try {
        store_->idByPath.emplace(folded, parent);
      } catch (...) {
        store_->keys.pop_back();
        throw;
      }
      store_->bytes += folded.size() * 2 + kKeyOverhead;
    }
    *id = parent;
    return ERROR_SUCCESS;
  }

 private:
  // Deletes `key` and its values. Requires the store's lock alone.
  void Forget(MemoryKey* key) {
    store_->Empty(key);
    FoldAscii(key->path, &fold_);
    store_->idByPath.erase(fold_);
    store_->bytes -= fold_.size() * 2 + kKeyOverhead;
    key->deleted = true;
  }

  // Requires the store's lock.
  LONG CopyOut(const MemoryKey& key, std::int64_t rowid, ValueRow* row) {
    const MemoryValue& v = key.values[static_cast<std::size_t>(rowid - key.first)];
    name_.assign(v.name);
    data_.assign(v.data);
    row->rowid = rowid;
    row->name = name_.c_str();
    row->nameLen = name_.size();
    row->type = v.type;
    row->data = reinterpret_cast<const BYTE*>(data_.data());
    row->dataLen = data_.size();
    return ERROR_SUCCESS;
  }

  MemoryStore* store_;
  std::string fold_;
  std::string name_;
  std::string data_;
};

MemoryStore::~MemoryStore() {
  for (StoreSession* s : idle) delete s;
}

namespace {

// Frees the stores when the library is unloaded or the process exits; the
// set itself is never destroyed, so late callers stay safe.
struct StoresCloser {
  ~StoresCloser() { MemoryStores::Get().Shutdown(); }
} stores_closer;

ParkedSession::~ParkedSession() {
  if (session != nullptr) std::exchange(session, nullptr)->ReturnIdle();
}

}  // namespace

MemoryStores& MemoryStores::Get() {
  static NoDestructor<MemoryStores> stores;
  return *stores;
}

LONG MemoryStores::Open(const std::string& name, SessionLease* out) {
  out->Reset();
  if (parked.session != nullptr && parked.session->storeName() == name) {
    *out = SessionLease(std::exchange(parked.session, nullptr));
    return ERROR_SUCCESS;
  }
  MemoryStore* store = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = stores_.find(name);
    if (it == stores_.end()) it = stores_.emplace(name, std::make_unique<MemoryStore>(name)).first;
    store = it->second.get();
    // Counted before the lock is let go, so that Shutdown never frees it.
    lent_.fetch_add(1, std::memory_order_relaxed);
  }
  StoreSession* session = nullptr;
  {
    std::lock_guard<std::mutex> hold(store->idleLock);
    if (!store->idle.empty()) {
      session = store->idle.back();
      store->idle.pop_back();
    }
  }
  if (session == nullptr) session = new (std::nothrow) MemorySession(store);
  if (session == nullptr) {
    lent_.fetch_sub(1, std::memory_order_relaxed);
    return ERROR_OUTOFMEMORY;
  }
  *out = SessionLease(session);
  return ERROR_SUCCESS;
}

void MemoryStores::Shutdown() {
  decltype(stores_) stores;
  std::lock_guard<std::mutex> hold(lock_);
  if (lent_.load(std::memory_order_relaxed) == 0) stores.swap(stores_);
}

}  // namespace refwarden
