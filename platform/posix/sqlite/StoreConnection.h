// One SQLite connection to a registry store, with its prepared statements: the
// SQLite store's StoreSession. A connection is used by one thread at a time
// (the pool hands it to one key handle); it is not itself locked. It speaks
// SQL only: what it needs of the file on disk it asks StoreFile.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "platform/posix/Store.h"
#include "platform/posix/StoreFile.h"

struct sqlite3;
struct sqlite3_stmt;

namespace refwarden {

// What all connections to one store file share: its path and the lock that
// serialises this process's writers, so that they queue here instead of
// sleeping in SQLite's busy handler.
struct StoreShared {
  explicit StoreShared(std::string p) : path(std::move(p)) {}
  const std::string path;
  std::timed_mutex writeLock;
};

// The longest a store operation waits, for other writers here or in another
// process (then ERROR_LOCK_VIOLATION) or for this process to let go of a
// store file that was replaced (then ERROR_BUSY): a request must not hang
// behind a lock it cannot see.
inline constexpr std::chrono::milliseconds kMaxStoreWait{1000};

// The clock of those waits. ThreadSanitizer (GCC 12) does not see a lock
// taken with pthread_mutex_clocklock, which timed_mutex uses for the steady
// clock, so its builds wait on the system clock instead.
#if defined(__SANITIZE_THREAD__)
using StoreWaitClock = std::chrono::system_clock;
#else
using StoreWaitClock = std::chrono::steady_clock;
#endif

class StoreConnection final : public StoreSession {
 public:
  explicit StoreConnection(StoreShared* shared);
  ~StoreConnection() override;
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;

  // Opening takes two steps, so that the pool can see which file was opened
  // before SQLite reads it (and opens the log and shared memory beside it).
  //
  // Opens the existing store file, reading nothing yet, and takes its
  // identity (file()). Returns ERROR_SUCCESS, ERROR_ACCESS_DENIED for a file
  // this process may only read, ERROR_BUSY when the path named another file
  // by the time it was opened, or another Windows error code.
  LONG OpenFile();
  // Then reads it, switches it to WAL and creates the schema if it has none.
  // Returns ERROR_SUCCESS or a Windows error code (ERROR_BADDB for a file
  // that is not a store: not a database, or a database of something else,
  // which is left as it was; ERROR_BUSY when the path was taken by another
  // file meanwhile).
  LONG Start();

  StoreShared* shared() const { return shared_; }
  const std::string& storeName() const override { return shared_->path; }
  bool sound() const override { return !faulted_; }
  // Back to the pool (ConnectionPool::Return).
  void Release() noexcept override;

  // The file this connection opened, as it was when last checked.
  const FileIdentity& file() const { return file_; }

  // True once an error showed the connection cannot be trusted any more (I/O,
  // corruption, read-only, full disk); such a connection is not pooled again.
  bool faulted() const { return faulted_; }
  // True once SQLite reported an I/O error on the store's files.
  bool ioFaulted() const { return ioFaulted_; }

  // Reads the value `name` of key `key` into *row (ERROR_FILE_NOT_FOUND when
  // absent).
  LONG ReadValue(std::int64_t key, std::string_view name, ValueRow* row) override;
  // Reads the first value of `key` whose rowid is at least `rowid`.
  LONG ReadValueFrom(std::int64_t key, std::int64_t rowid, ValueRow* row) override;
  // Reads the value at position `index` of `key` in write order.
  LONG ReadValueAt(std::int64_t key, std::uint64_t index, ValueRow* row) override;

  // Copies what the write-ahead log holds into the file this connection
  // opened and empties the log. For a file that was replaced or deleted: the
  // log stays under the store's name, where a connection to the next file
  // would read it as its own. Best effort, without waiting or syncing (a log
  // others still read stays); nothing for a connection that did not open.
  void EmptyLog();

  // Creates the value or replaces its type and data (its name keeps the case
  // first written and its place in the order). Refused when the file was
  // deleted, replaced or made read-only since it was opened.
  LONG WriteValue(std::int64_t key, std::string_view name, DWORD type, const BYTE* data,
                  DWORD size) override;
  LONG ReadSubkeyAt(std::int64_t key, std::uint64_t index, std::string* name) override;
  LONG DeleteValue(std::int64_t key, std::string_view name) override;

 protected:
  LONG KeyPath(std::int64_t id, std::string* path) override;
  LONG LookupKey(std::string_view path, std::int64_t* id) override;
  // Walks `path` from the root in one write transaction, adding each missing key.
  LONG CreateKey(std::string_view path, std::int64_t* id, bool* created) override;
  // Deletes the subtree's values and keys in one write transaction.
  LONG RemoveTree(std::int64_t key, bool withKey) override;
  void EndRead() noexcept override;

 private:
  enum Statement {
    kKeyByPath,
    kKeyPath,
    kKeyInsert,
    kBegin,
    kCommit,
    kRollback,
    kValueGet,
    kValuePut,
    kValueFrom,
    kValueAt,
    kSubkeyAt,
    kValueDelete,
    kTreeValuesDelete,
    kTreeKeysDelete,
    kStatementCount
  };

  // This connection's turn to write: this process's write lock, taken within
  // kMaxStoreWait, with SQLite's busy handler held to the same deadline while
  // the turn lasts, so that one write waits that long at most in all.
  class WriteTurn {
   public:
    explicit WriteTurn(StoreConnection* c);
    ~WriteTurn() { c_->turnDeadlineNs_ = 0; }
    WriteTurn(const WriteTurn&) = delete;
    WriteTurn& operator=(const WriteTurn&) = delete;
    // False when the time ran out first; nothing is held then.
    bool held() const { return lock_.owns_lock(); }

   private:
    StoreConnection* c_;
    std::unique_lock<std::timed_mutex> lock_;
  };

  LONG Fail(int rc);
  LONG CheckFileBeforeWrite();
  LONG QueryInts(const char* sql, int* first, int* second);
  // ERROR_BUSY, and faulted, when the path no longer names the file SQLite
  // opened; ERROR_SUCCESS otherwise.
  LONG RefuseIfMoved();
  LONG CheckHoldsAStore();
  LONG Prepare();
  LONG CreateSchema();
  LONG Exec(const char* sql);
  LONG EnableWal();
  LONG Run(Statement s);
  // Ends `row`'s read and binds `key` as the value statement's first
  // parameter; the caller binds the rest and steps it with StepRow.
  sqlite3_stmt* StartRead(Statement which, std::int64_t key, ValueRow* row);
  LONG StepRow(Statement s, ValueRow* row);
  static int OnBusy(void* self, int attempts);
  // Stops a statement that has worked past its bound (SQLITE_INTERRUPT).
  static int OnProgress(void* self);
  // sqlite3_step and sqlite3_exec, each with a new work bound.
  int Step(sqlite3_stmt* s);
  int ExecAll(const char* sql);

  StoreShared* shared_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmts_[kStatementCount] = {};
  bool open_ = false;
  bool faulted_ = false;
  bool ioFaulted_ = false;
  FileIdentity file_;
  std::int64_t turnDeadlineNs_ = 0;  // while a WriteTurn lasts
  std::int64_t busyUntilNs_ = 0;
  std::int64_t workStartNs_ = 0;     // 0 until the running statement's first progress call
  sqlite3_stmt* reading_ = nullptr;  // the statement a ValueRow holds
};

}  // namespace refwarden
