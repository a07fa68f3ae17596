// The seam between the registry functions (RegistryApi) and the stores that
// keep their keys: what the functions ask of a store, one abstract session,
// and the choice of a store by its name. Behind it: the SQLite file
// (sqlite/) and a map in this process's memory (memory/).
//
// A new kind of store is a folder with a StoreSession of its own and a line
// in OpenStore; the contract tests (tests/StoreContractTest.cpp) take its
// name as one more row.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/Platform.h"

namespace refwarden {

// The key HKEY_CURRENT_USER stands for, in every store.
constexpr std::int64_t kRootKeyId = 1;

class StoreSession;

// One value read from a store, and the read itself: name and data point into
// the session and stay valid while the row lives; the read ends when the row
// is destroyed. A session serves one read at a time, so a row must be gone
// before the session's next read or write.
class ValueRow {
 public:
  ValueRow() = default;
  ~ValueRow() { End(); }
  ValueRow(const ValueRow&) = delete;
  ValueRow& operator=(const ValueRow&) = delete;

  // Where the value stands in its key's order: later values have larger
  // positions (ReadValueFrom takes one).
  std::int64_t rowid = 0;
  const char* name = nullptr;
  std::size_t nameLen = 0;
  DWORD type = 0;
  const BYTE* data = nullptr;
  std::size_t dataLen = 0;

  // Ends the read now.
  void End() noexcept;

 private:
  friend class StoreSession;
  StoreSession* session_ = nullptr;
};

// One caller's way into a store, used by one thread at a time (a key handle
// holds one from its open to its close). A key's id names it until the key
// is deleted; a write to a deleted key is refused with ERROR_KEY_DELETED (on
// which the session forgets the keys it found, so that the next FindKey
// looks again). A store never gives a deleted key's id to another key while
// a session of this process may hold it, except that a SQLite store may give
// the largest id again to a key made after that key was deleted.
//
// Besides its own codes, every call answers for the store with a Windows
// error code (see Platform.h).
class StoreSession {
 public:
  StoreSession() = default;
  virtual ~StoreSession() = default;
  StoreSession(const StoreSession&) = delete;
  StoreSession& operator=(const StoreSession&) = delete;

  // The name the store was opened by, so that keys opened below a handle
  // stay in its store.
  virtual const std::string& storeName() const = 0;

  // False once an error showed the session cannot be trusted any more (I/O,
  // corruption, a file replaced or made read-only); such a session is not
  // lent again.
  virtual bool sound() const = 0;

  // Finds the key `sub` (backslash-separated, relative; null or empty for
  // `parent` itself) below the key `parent`, creating it and any missing key
  // above it when `create` is set. Sets *id, and *created when it was made
  // now. ERROR_FILE_NOT_FOUND when missing and not created (or `parent` is
  // unknown); ERROR_INVALID_PARAMETER for a malformed or over-long path.
  // The path rules and a cache of the keys found are here, above the stores.
  LONG FindKey(std::int64_t parent, const char* sub, bool create, std::int64_t* id, bool* created);

  // Reads the value `name` of key `key` into *row (ERROR_FILE_NOT_FOUND when
  // absent). Names compare as RegistryNames' FoldAscii makes them.
  virtual LONG ReadValue(std::int64_t key, std::string_view name, ValueRow* row) = 0;
  // Reads the first value of `key` whose rowid is at least `rowid`.
  virtual LONG ReadValueFrom(std::int64_t key, std::int64_t rowid, ValueRow* row) = 0;
  // Reads the value at position `index` of `key` in write order.
  virtual LONG ReadValueAt(std::int64_t key, std::uint64_t index, ValueRow* row) = 0;

  // Creates the value or replaces its type and data (its name keeps the case
  // first written and its place in the order).
  virtual LONG WriteValue(std::int64_t key, std::string_view name, DWORD type, const BYTE* data,
                          DWORD size) = 0;

  // Sets *name to the name (as first written) of the subkey at position
  // `index` of `key`, in the order the subkeys were made.
  // ERROR_FILE_NOT_FOUND past the last one.
  virtual LONG ReadSubkeyAt(std::int64_t key, std::uint64_t index, std::string* name) = 0;

  // Removes the value `name` of `key` (ERROR_FILE_NOT_FOUND when absent).
  virtual LONG DeleteValue(std::int64_t key, std::string_view name) = 0;

  // Removes every subkey of `key`, below it and their values, and `key`'s
  // own values; `key` too when `withKey` is set (never the root key), at
  // once. Every session of this process forgets the keys it found.
  LONG DeleteTree(std::int64_t key, bool withKey);

  // Forgets the keys this session found (after one was deleted elsewhere).
  void ForgetKeys() { keyCache_.clear(); }

  // Hands the session back to its store; it must not be used after.
  virtual void Release() noexcept = 0;

 protected:
  // The store's own key operations, on whole key paths as FindKey builds
  // them (relative to the root, checked, not empty, at most kMaxKeyPathLen):
  // Sets *path to the path of key `id` as stored (in the case first
  // written). ERROR_FILE_NOT_FOUND when there is no such key.
  virtual LONG KeyPath(std::int64_t id, std::string* path) = 0;
  // Sets *id to the key at `path`. ERROR_FILE_NOT_FOUND when missing.
  virtual LONG LookupKey(std::string_view path, std::int64_t* id) = 0;
  // Makes the key at `path` and every missing key above it, at once: a new
  // key's stored path is its parent's stored path and its own name as given.
  // Sets *created when the last one was made now.
  virtual LONG CreateKey(std::string_view path, std::int64_t* id, bool* created) = 0;
  // What DeleteTree does, below its cache.
  virtual LONG RemoveTree(std::int64_t key, bool withKey) = 0;

  // Ends the read `row` holds (called once per row that HoldRead marked).
  virtual void EndRead() noexcept {}
  // Marks `row` as a read of this session's, ended by EndRead.
  void HoldRead(ValueRow* row) { row->session_ = this; }

 private:
  friend class ValueRow;
  std::string scratch_;
  std::string folded_;
  std::unordered_map<std::string, std::int64_t> keyCache_;  // folded path -> id
  std::uint64_t cacheDeletions_ = 0;  // the process's count of deletions keyCache_ has seen
};

// A session lent by its store: it goes back when the lease ends (destroyed,
// reset or assigned over), on every path.
class SessionLease {
 public:
  SessionLease() = default;
  explicit SessionLease(StoreSession* s) : s_(s) {}
  ~SessionLease() { Reset(); }
  SessionLease(SessionLease&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  SessionLease& operator=(SessionLease&& o) noexcept {
    if (this != &o) {
      Reset();
      s_ = std::exchange(o.s_, nullptr);
    }
    return *this;
  }

  // Hands the session back now; the lease is then empty.
  void Reset() noexcept {
    if (s_ != nullptr) std::exchange(s_, nullptr)->Release();
  }

  StoreSession* get() const { return s_; }
  StoreSession* operator->() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  StoreSession* s_ = nullptr;
};

// Sets *name to the store the environment names now: $REFWARDEN_REGISTRY
// when set and not empty, else the file
// $XDG_DATA_HOME/refwarden/registry.sqlite (XDG_DATA_HOME absolute), else
// $HOME/.local/share/refwarden/registry.sqlite. Reads the environment at
// each call. Returns false when no home folder can be found.
bool ResolveStoreName(std::string* name);

// True when `name` selects the memory store: it starts with kMemoryStoreName.
// Each such name is a store of its own.
bool IsMemoryStoreName(std::string_view name);

// Lends a session of the store named `name`, or, when `name` is null, of the
// store the environment names now (ResolveStoreName). A name starting with
// kMemoryStoreName is the memory store of that name; any other is the path
// of a SQLite file. A missing store is created when `create` is set.
// Returns ERROR_SUCCESS and fills *out, or a Windows error code and leaves
// it empty.
LONG OpenStore(const std::string* name, bool create, SessionLease* out);

}  // namespace refwarden
