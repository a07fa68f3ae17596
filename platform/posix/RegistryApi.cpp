// The registry functions of Platform.h over the store the environment names
// (Store.h). A key handle holds a session of its store from its open to its
// close; handles are numbers looked up in a table, so a stale or forged
// handle is refused, never dereferenced.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Platform.h"
#include "platform/posix/NoDestructor.h"
#include "platform/posix/RegistryNames.h"
#include "platform/posix/RegistryStats.h"
#include "platform/posix/Store.h"

namespace refwarden {

namespace {

constexpr REGSAM kKeyWrite = 0x20006;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;

struct KeyHandle {
  std::mutex lock;
  SessionLease conn;  // empty once closed
  std::int64_t key = 0;
  REGSAM access = 0;
  // Where the last RegEnumValueA stopped, so the next index is one step.
  std::int64_t enumIndex = -1;
  std::int64_t enumRowid = 0;
};

REGSAM GrantedAccess(REGSAM asked) {
  if (asked & (kMaximumAllowed | kGenericAll)) return KEY_ALL_ACCESS;
  REGSAM granted = asked & KEY_ALL_ACCESS;
  if (asked & kGenericRead) granted |= KEY_READ;
  if (asked & kGenericWrite) granted |= kKeyWrite;
  return granted;
}

// Handles in shards, each with its own lock: a thread opens its keys in a
// shard of its own (chosen once per thread), so that threads handling
// requests side by side do not wait on one lock for every open and close.
// A handle's shard is in its bits, so finding it takes only that shard's lock.
class HandleTable {
 public:
  HKEY Add(std::shared_ptr<KeyHandle> h) {
    thread_local const std::size_t mine = nextShard_.fetch_add(1, std::memory_order_relaxed);
    const std::size_t index = mine % kShards;
    Shard& shard = shards_[index];
    std::lock_guard<std::mutex> hold(shard.lock);
    std::uintptr_t id;
    do {
      id = (shard.next++ * kShards + index) << 2;
      // Stay clear of the predefined keys' range, and of 0.
      if (id < 0x100 || (id >= 0x80000000u && id < 0x80000100u)) continue;
      if (shard.handles.count(id) == 0) break;
    } while (true);
    shard.handles.emplace(id, std::move(h));
    return reinterpret_cast<HKEY>(id);
  }

  std::shared_ptr<KeyHandle> Find(HKEY key) {
    const auto id = reinterpret_cast<std::uintptr_t>(key);
    Shard& shard = ShardOf(id);
    std::lock_guard<std::mutex> hold(shard.lock);
    auto it = shard.handles.find(id);
    return it == shard.handles.end() ? nullptr : it->second;
  }

  std::shared_ptr<KeyHandle> Remove(HKEY key) {
    const auto id = reinterpret_cast<std::uintptr_t>(key);
    Shard& shard = ShardOf(id);
    std::lock_guard<std::mutex> hold(shard.lock);
    auto it = shard.handles.find(id);
    if (it == shard.handles.end()) return nullptr;
    std::shared_ptr<KeyHandle> h = std::move(it->second);
    shard.handles.erase(it);
    return h;
  }

  std::size_t Count() {
    std::size_t count = 0;
    for (Shard& shard : shards_) {
      std::lock_guard<std::mutex> hold(shard.lock);
      count += shard.handles.size();
    }
    return count;
  }

  // Gives the table's memory back when no handle is open.
  void Release() {
    for (Shard& shard : shards_) {
      std::unordered_map<std::uintptr_t, std::shared_ptr<KeyHandle>> empty;
      std::lock_guard<std::mutex> hold(shard.lock);
      if (shard.handles.empty()) shard.handles.swap(empty);
    }
  }

 private:
  static constexpr std::size_t kShards = 16;
  // Each on a cache line of its own, so that two threads' shards do not
  // share one.
  struct alignas(64) Shard {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KeyHandle>> handles;
    std::uintptr_t next = 1;
  };

  Shard& ShardOf(std::uintptr_t id) { return shards_[(id >> 2) % kShards]; }

  Shard shards_[kShards];
  std::atomic<std::size_t> nextShard_{0};
};

HandleTable& Handles() {
  static NoDestructor<HandleTable> table;
  return *table;
}

struct TableCloser {
  ~TableCloser() { Handles().Release(); }
} table_closer;

// Runs `op` without letting an exception out of the C interface.
template <class Op>
LONG Guarded(Op op) noexcept {
  try {
    return op();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_BADDB;
  }
}

// Runs `op` on the open key `hKey` with the key's lock held, after checking
// it grants `need`. HKEY_CURRENT_USER itself is served through a session of
// its own for the call; only a write creates a missing store.
template <class Op>
LONG WithKey(HKEY hKey, REGSAM need, Op op) {
  if (hKey == HKEY_CURRENT_USER) {
    KeyHandle root;
    root.key = kRootKeyId;
    const bool create = (need & KEY_SET_VALUE) != 0 && (need & DELETE) == 0;
    if (LONG r = OpenStore(nullptr, create, &root.conn)) return r;
    return op(root);
  }
  std::shared_ptr<KeyHandle> h = Handles().Find(hKey);
  if (h == nullptr) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(h->lock);
  if (!h->conn) return ERROR_INVALID_HANDLE;
  if ((h->access & need) != need) return ERROR_ACCESS_DENIED;
  return op(*h);
}

LONG OpenKey(HKEY hKey, LPCSTR lpSubKey, bool create, REGSAM sam, PHKEY phkResult,
             LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::int64_t parent = kRootKeyId;
  std::string parentStore;
  if (hKey != HKEY_CURRENT_USER) {
    std::shared_ptr<KeyHandle> h = Handles().Find(hKey);
    if (h == nullptr) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> hold(h->lock);
    if (!h->conn) return ERROR_INVALID_HANDLE;
    parent = h->key;
    parentStore = h->conn->storeName();
  }
  // Until the handle is in the table, its session goes back to its store
  // with it on every way out.
  auto handle = std::make_shared<KeyHandle>();
  handle->access = GrantedAccess(sam);
  const std::string* store = parentStore.empty() ? nullptr : &parentStore;
  if (LONG r = OpenStore(store, create, &handle->conn)) return r;
  bool created = false;
  if (LONG r = handle->conn->FindKey(parent, lpSubKey, create, &handle->key, &created)) return r;
  *phkResult = Handles().Add(handle);
  if (lpdwDisposition != nullptr)
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Copies `row`'s type and data to the caller's optional outputs, by the
// registry's size rules.
LONG CopyTypeAndData(const ValueRow& row, LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = row.type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  if (lpData != nullptr && row.dataLen > *lpcbData) {
    *lpcbData = static_cast<DWORD>(row.dataLen);
    return ERROR_MORE_DATA;
  }
  if (lpData != nullptr && row.dataLen != 0) std::memcpy(lpData, row.data, row.dataLen);
  *lpcbData = static_cast<DWORD>(row.dataLen);
  return ERROR_SUCCESS;
}

// Sets *same to whether the value `name` of the open key is stored with this
// type and data. Returns ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when there is no
// such value, or the store's error.
LONG StoredAlready(KeyHandle& h, std::string_view name, DWORD type, const BYTE* data, DWORD size,
                   bool* same) {
  ValueRow row;
  LONG r = h.conn->ReadValue(h.key, name, &row);
  if (r != ERROR_SUCCESS) return r;
  *same = row.type == type && row.dataLen == size &&
          (size == 0 || std::memcmp(row.data, data, size) == 0);
  return ERROR_SUCCESS;
}

}  // namespace

std::size_t RegistryOpenHandleCount() { return Handles().Count(); }

}  // namespace refwarden

using refwarden::CheckValueName;
using refwarden::Guarded;
using refwarden::KeyHandle;
using refwarden::ValueRow;
using refwarden::WithKey;

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return Guarded([&]() -> LONG {
    return refwarden::OpenKey(hKey, lpSubKey, true, samDesired, phkResult, lpdwDisposition);
  });
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return Guarded([&]() -> LONG {
    return refwarden::OpenKey(hKey, lpSubKey, false, samDesired, phkResult, nullptr);
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  return Guarded([&]() -> LONG {
    std::string_view name;
    if (!CheckValueName(lpValueName, &name)) return ERROR_INVALID_PARAMETER;
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, KEY_SET_VALUE, [&](KeyHandle& h) -> LONG {
      // Most writes repeat what is stored: read first (a read runs beside a
      // writer), write only a change.
      bool same = false;
      LONG r = refwarden::StoredAlready(h, name, dwType, lpData, cbData, &same);
      if (r == ERROR_SUCCESS && same) return ERROR_SUCCESS;
      if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return r;
      r = h.conn->WriteValue(h.key, name, dwType, lpData, cbData);
      // Deleted by someone else: the next open must look for the key again.
      if (r == ERROR_KEY_DELETED) h.conn->ForgetKeys();
      return r;
    });
  });
}

LONG RegCloseKey(HKEY hKey) {
  return Guarded([&]() -> LONG {
    if (hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    std::shared_ptr<KeyHandle> h = refwarden::Handles().Remove(hKey);
    if (h == nullptr) return ERROR_INVALID_HANDLE;
    // Handed back to its store at the end of this scope, outside the key's lock.
    refwarden::SessionLease conn;
    {
      std::lock_guard<std::mutex> hold(h->lock);
      conn = std::move(h->conn);
    }
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData) {
  return Guarded([&]() -> LONG {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
      return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, KEY_QUERY_VALUE, [&](KeyHandle& h) -> LONG {
      std::int64_t index = dwIndex;
      ValueRow row;
      LONG r;
      if (h.enumIndex >= 0 && index == h.enumIndex + 1) {
        r = h.conn->ReadValueFrom(h.key, h.enumRowid + 1, &row);
      } else if (h.enumIndex >= 0 && index == h.enumIndex) {
        r = h.conn->ReadValueFrom(h.key, h.enumRowid, &row);
      } else {
        r = h.conn->ReadValueAt(h.key, dwIndex, &row);
      }
      if (r == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
      if (r != ERROR_SUCCESS) return r;
      h.enumIndex = index;
      h.enumRowid = row.rowid;
      if (row.nameLen + 1 > *lpcchValueName) return ERROR_MORE_DATA;
      std::memcpy(lpValueName, row.name, row.nameLen);
      lpValueName[row.nameLen] = '\0';
      *lpcchValueName = static_cast<DWORD>(row.nameLen);
      return refwarden::CopyTypeAndData(row, lpType, lpData, lpcbData);
    });
  });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      BYTE* lpData, LPDWORD lpcbData) {
  return Guarded([&]() -> LONG {
    std::string_view name;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr) ||
        !CheckValueName(lpValueName, &name))
      return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, KEY_QUERY_VALUE, [&](KeyHandle& h) -> LONG {
      ValueRow row;
      LONG r = h.conn->ReadValue(h.key, name, &row);
      if (r != ERROR_SUCCESS) return r;
      return refwarden::CopyTypeAndData(row, lpType, lpData, lpcbData);
    });
  });
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return Guarded([&]() -> LONG {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr))
      return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, KEY_ENUMERATE_SUB_KEYS, [&](KeyHandle& h) -> LONG {
      std::string name;
      LONG r = h.conn->ReadSubkeyAt(h.key, dwIndex, &name);
      if (r == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
      if (r != ERROR_SUCCESS) return r;
      if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
      std::memcpy(lpName, name.data(), name.size());
      lpName[name.size()] = '\0';
      *lpcchName = static_cast<DWORD>(name.size());
      if (lpClass != nullptr) {
        if (*lpcchClass == 0) return ERROR_MORE_DATA;
        lpClass[0] = '\0';
        *lpcchClass = 0;
      }
      if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
      return ERROR_SUCCESS;
    });
  });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return Guarded([&]() -> LONG {
    std::string_view name;
    if (!CheckValueName(lpValueName, &name)) return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, KEY_SET_VALUE,
                   [&](KeyHandle& h) -> LONG { return h.conn->DeleteValue(h.key, name); });
  });
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  return Guarded([&]() -> LONG {
    constexpr REGSAM kNeed = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    return WithKey(hKey, kNeed, [&](KeyHandle& h) -> LONG {
      std::int64_t key = h.key;
      bool created = false;
      if (lpSubKey != nullptr) {
        if (LONG r = h.conn->FindKey(h.key, lpSubKey, false, &key, &created)) return r;
      }
      return h.conn->DeleteTree(key, lpSubKey != nullptr);
    });
  });
}
