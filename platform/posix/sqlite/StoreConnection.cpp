#include "platform/posix/sqlite/StoreConnection.h"

#include <sched.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>

#include "platform/posix/sqlite/ConnectionPool.h"
#include "platform/posix/sqlite/SqliteErrors.h"

namespace refwarden {

namespace {

constexpr std::int64_t kMaxStoreWaitNs =
    std::chrono::duration_cast<std::chrono::nanoseconds>(kMaxStoreWait).count();
constexpr int kSchemaVersion = 1;

// How long one statement may work (its waits for locks not counted) before
// it is stopped: the store's own statements take microseconds, and a request
// runs a few of them, so that even a store whose statements each ran this
// long would answer within the one-second bound of a request.
constexpr std::int64_t kMaxStatementWorkNs = 200'000'000;
// How many of SQLite's steps go between two looks at the clock.
constexpr int kProgressSteps = 1000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS regkey("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES regkey(id),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
    "CREATE TABLE IF NOT EXISTS regvalue("
    " id INTEGER PRIMARY KEY,"
    " key_id INTEGER NOT NULL REFERENCES regkey(id),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS regvalue_name ON regvalue(key_id, name);"
    "INSERT OR IGNORE INTO regkey(id, parent, name, path) VALUES(1, NULL, '', '');"
    "PRAGMA user_version = 1;";

const char* const kStatementSql[] = {
    "SELECT id, path FROM regkey WHERE path = ?1",
    "SELECT path FROM regkey WHERE id = ?1",
    "INSERT INTO regkey(parent, name, path) VALUES(?1, ?2, ?3)",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT id, name, type, data FROM regvalue WHERE key_id = ?1 AND name = ?2",
    // Nothing is written to a key that was deleted (changes() is then 0).
    "INSERT INTO regvalue(key_id, name, type, data)"
    " SELECT ?1, ?2, ?3, ?4 WHERE EXISTS(SELECT 1 FROM regkey WHERE id = ?1)"
    " ON CONFLICT(key_id, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    // Enumeration walks the table in rowid (first-write) order; "+key_id"
    // keeps the planner off the name index, which would sort every step.
    "SELECT id, name, type, data FROM regvalue WHERE +key_id = ?1 AND id >= ?2"
    " ORDER BY id LIMIT 1",
    "SELECT id, name, type, data FROM regvalue WHERE +key_id = ?1 ORDER BY id"
    " LIMIT 1 OFFSET ?2",
    "SELECT name FROM regkey WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    "DELETE FROM regvalue WHERE key_id = ?1 AND name = ?2",
    // A key's subtree, by its parents: ?1 and every key below it.
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
    " SELECT regkey.id FROM regkey JOIN tree ON regkey.parent = tree.id)"
    " DELETE FROM regvalue WHERE key_id IN tree",
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
    " SELECT regkey.id FROM regkey JOIN tree ON regkey.parent = tree.id)"
    " DELETE FROM regkey WHERE id IN tree AND id != 1 AND (?2 OR id != ?1)",
};

// Every object of a database's schema, as SQLite keeps it, in one text.
const char* const kSchemaListing =
    "SELECT group_concat(type || ' ' || name || ' ' || tbl_name || ' ' || ifnull(sql, ''),"
    " char(10)) FROM (SELECT * FROM sqlite_master ORDER BY type, name)";

// The listing of a store's schema as the store makes it, from a database in
// memory given that schema: SQLite's own rewriting of the text is then the same.
const std::string& StoreSchemaListing() {
  static const std::string listing = [] {
    std::string text;
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) ==
            SQLITE_OK &&
        sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, kSchemaListing, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr)
      text.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                  static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
    sqlite3_finalize(s);
    sqlite3_close(db);
    return text;
  }();
  return listing;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void BindText(sqlite3_stmt* s, int i, std::string_view text) {
  // A null pointer would bind SQL NULL; the empty name is a name.
  sqlite3_bind_text(s, i, text.empty() ? "" : text.data(), static_cast<int>(text.size()),
                    SQLITE_STATIC);
}

}  // namespace

StoreConnection::StoreConnection(StoreShared* shared) : shared_(shared) {}

void StoreConnection::Release() noexcept { ConnectionPool::Get().Return(this); }

void StoreConnection::EndRead() noexcept {
  if (reading_ != nullptr) sqlite3_reset(reading_);
  reading_ = nullptr;
}

StoreConnection::~StoreConnection() {
  for (sqlite3_stmt* s : stmts_) sqlite3_finalize(s);
  sqlite3_close_v2(db_);
}

LONG StoreConnection::Fail(int rc) {
  const StoreFailure failure = FailureFromSqlite(rc);
  if (failure.faulted) faulted_ = true;
  if ((rc & 0xff) == SQLITE_IOERR) ioFaulted_ = true;
  return failure.error;
}

// One deadline for both waits: set after the lock was taken, the busy
// handler's would add a second kMaxStoreWait behind a writer of this process
// that waited out its own.
StoreConnection::WriteTurn::WriteTurn(StoreConnection* c) : c_(c) {
  c_->turnDeadlineNs_ = NowNs() + kMaxStoreWaitNs;
  lock_ = std::unique_lock<std::timed_mutex>(c->shared_->writeLock,
                                             StoreWaitClock::now() + kMaxStoreWait);
}

int StoreConnection::Step(sqlite3_stmt* s) {
  workStartNs_ = 0;
  return sqlite3_step(s);
}

int StoreConnection::ExecAll(const char* sql) {
  workStartNs_ = 0;
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

// The work of one statement is timed from the handler's first call, after
// its first kProgressSteps steps: by then a write holds its lock, so the
// wait for it (bounded on its own) is not counted as work.
int StoreConnection::OnProgress(void* self) {
  auto* c = static_cast<StoreConnection*>(self);
  const std::int64_t now = NowNs();
  if (c->workStartNs_ == 0) {
    c->workStartNs_ = now;
    return 0;
  }
  return now - c->workStartNs_ > kMaxStatementWorkNs ? 1 : 0;
}

int StoreConnection::OnBusy(void* self, int attempts) {
  auto* c = static_cast<StoreConnection*>(self);
  std::int64_t now = NowNs();
  if (attempts == 0)
    c->busyUntilNs_ = c->turnDeadlineNs_ != 0 ? c->turnDeadlineNs_ : now + kMaxStoreWaitNs;
  if (now >= c->busyUntilNs_) return 0;
  if (attempts < 20) {
    sched_yield();
  } else {
    usleep(static_cast<useconds_t>(std::min(50 * (attempts - 19), 5000)));
  }
  return 1;
}

LONG StoreConnection::RefuseIfMoved() {
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved == 0)
    return ERROR_SUCCESS;
  faulted_ = true;
  return ERROR_BUSY;
}

LONG StoreConnection::OpenFile() {
  int rc = sqlite3_open_v2(shared_->path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) return Fail(rc);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_handler(db_, &StoreConnection::OnBusy, this);
  sqlite3_progress_handler(db_, kProgressSteps, &StoreConnection::OnProgress, this);
  // Closing the last connection to a file copies the log SQLite holds into
  // it, then deletes the log and shared memory under the store's name; until
  // Start has shown they are this file's, they may be another's.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  // SQLite may hand a new connection a read-write descriptor that another
  // connection of this process left behind, so the file's own permissions
  // decide as well.
  if (sqlite3_db_readonly(db_, "main") != 0 || !MayReadAndWrite(shared_->path)) {
    faulted_ = true;
    return ERROR_ACCESS_DENIED;
  }
  if (LONG r = IdentifyFile(shared_->path, &file_)) {
    faulted_ = true;
    return r;
  }
  // The file opened must be the one identified: another may have taken the
  // path in between.
  return RefuseIfMoved();
}

LONG StoreConnection::Start() {
  // The pool may have waited since OpenFile; SQLite's first read opens the
  // log beside whatever the path names then.
  if (LONG r = RefuseIfMoved()) return r;
  if (LONG r = CheckHoldsAStore()) {
    // A database in WAL mode that is refused (one holding more than a
    // store's schema) had its log and shared memory opened by that read:
    // when they are its own, the close removes them again, leaving nothing
    // beside it. Their content is the file's own, so nothing of it changes.
    if (r == ERROR_BADDB && RefuseIfMoved() == ERROR_SUCCESS)
      sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    return r;
  }
  // That first read opened the log and shared memory by the path's name:
  // they are this file's only if the path still names it, which must be
  // known before anything is written through them.
  if (LONG r = RefuseIfMoved()) return r;
  if (LONG r = EnableWal()) return r;
  if (LONG r = Exec("PRAGMA synchronous = NORMAL")) return r;
  // Room for the name index's hot pages of a key with a million values.
  if (LONG r = Exec("PRAGMA cache_size = -8192")) return r;
  // Fewer, larger checkpoints: a page written often is copied back once.
  if (LONG r = Exec("PRAGMA wal_autocheckpoint = 4000")) return r;
  if (LONG r = CreateSchema()) return r;
  if (LONG r = Prepare()) return r;
  // A new store's log is opened by EnableWal, by name too.
  if (LONG r = RefuseIfMoved()) return r;
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  open_ = true;
  return ERROR_SUCCESS;
}

// An open file that was deleted or replaced takes writes that no one will
// ever read, and one made read-only still takes them through the open
// descriptor: check before each write, so that neither passes as success.
LONG StoreConnection::CheckFileBeforeWrite() {
  LONG r = CheckStillWritable(shared_->path, &file_);
  if (r != ERROR_SUCCESS) faulted_ = true;
  return r;
}

LONG StoreConnection::Exec(const char* sql) {
  int rc = ExecAll(sql);
  return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
}

// Switching a new store to WAL needs the file to itself, and SQLite does not
// wait for that (a reader waiting there could deadlock another), so when
// several processes open a new store at once the waiting is done here.
LONG StoreConnection::EnableWal() {
  for (int attempts = 0;; ++attempts) {
    int rc = ExecAll("PRAGMA journal_mode = WAL");
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xff) != SQLITE_BUSY || OnBusy(this, attempts) == 0) return Fail(rc);
  }
}

LONG StoreConnection::QueryInts(const char* sql, int* first, int* second) {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
  if (rc == SQLITE_OK) {
    rc = Step(s);
    if (rc == SQLITE_ROW) {
      *first = sqlite3_column_int(s, 0);
      if (second != nullptr) *second = sqlite3_column_int(s, 1);
      rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(s);
  return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
}

// Before anything is changed: a database with tables but without the store's
// version is something else's, and must not gain the store's tables or be
// switched to WAL; one with the version must hold exactly the objects the
// store makes, as it makes them, for a trigger, view or altered table would
// run code of someone else's with every request. Both are read in one
// statement, so in one snapshot: the schema is made in the same transaction
// that sets the version.
LONG StoreConnection::CheckHoldsAStore() {
  sqlite3_stmt* s = nullptr;
  static const std::string query = std::string(
                                       "SELECT (SELECT user_version FROM pragma_user_version),"
                                       " (SELECT count(*) FROM sqlite_master), (") +
                                   kSchemaListing + ")";
  int rc = sqlite3_prepare_v2(db_, query.c_str(), -1, &s, nullptr);
  int version = 0;
  int objects = 0;
  std::string listing;
  if (rc == SQLITE_OK && (rc = Step(s)) == SQLITE_ROW) {
    version = sqlite3_column_int(s, 0);
    objects = sqlite3_column_int(s, 1);
    if (const unsigned char* text = sqlite3_column_text(s, 2))
      listing.assign(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(s, 2)));
    rc = SQLITE_OK;
  }
  sqlite3_finalize(s);
  if (rc != SQLITE_OK) return Fail(rc);
  if (version == 0 && objects == 0) return ERROR_SUCCESS;
  if (version == kSchemaVersion && listing == StoreSchemaListing()) return ERROR_SUCCESS;
  faulted_ = true;
  return ERROR_BADDB;
}

LONG StoreConnection::CreateSchema() {
  int v = 0;
  if (LONG r = QueryInts("PRAGMA user_version", &v, nullptr)) return r;
  if (v == 0) {
    WriteTurn turn(this);
    if (!turn.held()) return ERROR_LOCK_VIOLATION;
    if (LONG r = Exec("BEGIN IMMEDIATE")) return r;
    LONG r = QueryInts("PRAGMA user_version", &v, nullptr);
    if (r == ERROR_SUCCESS && v == 0) r = Exec(kSchema);
    if (r == ERROR_SUCCESS) r = Exec("COMMIT");
    if (r != ERROR_SUCCESS) {
      ExecAll("ROLLBACK");
      return r;
    }
    v = kSchemaVersion;
  }
  if (v != kSchemaVersion) {
    faulted_ = true;
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

LONG StoreConnection::Prepare() {
  static_assert(std::size(kStatementSql) == kStatementCount,
                "one SQL text for each statement, in the enum's order");
  for (int i = 0; i < kStatementCount; ++i) {
    int rc = sqlite3_prepare_v3(db_, kStatementSql[i], -1, SQLITE_PREPARE_PERSISTENT, &stmts_[i],
                                nullptr);
    if (rc != SQLITE_OK) return Fail(rc);
  }
  return ERROR_SUCCESS;
}

LONG StoreConnection::Run(Statement which) {
  sqlite3_stmt* s = stmts_[which];
  int rc;
  while ((rc = Step(s)) == SQLITE_ROW) {
  }
  sqlite3_reset(s);
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

LONG StoreConnection::StepRow(Statement which, ValueRow* row) {
  sqlite3_stmt* s = stmts_[which];
  int rc = Step(s);
  if (rc != SQLITE_ROW) {
    sqlite3_reset(s);
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
  }
  reading_ = s;
  HoldRead(row);
  row->rowid = sqlite3_column_int64(s, 0);
  row->name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
  row->nameLen = static_cast<std::size_t>(sqlite3_column_bytes(s, 1));
  row->type = static_cast<DWORD>(sqlite3_column_int64(s, 2));
  row->data = static_cast<const BYTE*>(sqlite3_column_blob(s, 3));
  row->dataLen = static_cast<std::size_t>(sqlite3_column_bytes(s, 3));
  if (row->name == nullptr && sqlite3_errcode(db_) == SQLITE_NOMEM) {
    row->End();
    return Fail(SQLITE_NOMEM);
  }
  if (row->name == nullptr) row->name = "";
  return ERROR_SUCCESS;
}

sqlite3_stmt* StoreConnection::StartRead(Statement which, std::int64_t key, ValueRow* row) {
  row->End();
  sqlite3_stmt* s = stmts_[which];
  sqlite3_bind_int64(s, 1, key);
  return s;
}

LONG StoreConnection::ReadValue(std::int64_t key, std::string_view name, ValueRow* row) {
  BindText(StartRead(kValueGet, key, row), 2, name);
  return StepRow(kValueGet, row);
}

LONG StoreConnection::ReadValueFrom(std::int64_t key, std::int64_t rowid, ValueRow* row) {
  sqlite3_bind_int64(StartRead(kValueFrom, key, row), 2, rowid);
  return StepRow(kValueFrom, row);
}

LONG StoreConnection::ReadValueAt(std::int64_t key, std::uint64_t index, ValueRow* row) {
  sqlite3_bind_int64(StartRead(kValueAt, key, row), 2, static_cast<sqlite3_int64>(index));
  return StepRow(kValueAt, row);
}

LONG StoreConnection::WriteValue(std::int64_t key, std::string_view name, DWORD type,
                                 const BYTE* data, DWORD size) {
  static const BYTE kEmpty = 0;
  if (LONG r = CheckFileBeforeWrite()) return r;
  sqlite3_stmt* s = stmts_[kValuePut];
  sqlite3_bind_int64(s, 1, key);
  BindText(s, 2, name);
  sqlite3_bind_int64(s, 3, type);
  sqlite3_bind_blob(s, 4, size == 0 ? &kEmpty : data, static_cast<int>(size), SQLITE_STATIC);
  WriteTurn turn(this);
  if (!turn.held()) return ERROR_LOCK_VIOLATION;
  if (LONG r = Run(kValuePut)) return r;
  return sqlite3_changes(db_) == 0 ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG StoreConnection::ReadSubkeyAt(std::int64_t key, std::uint64_t index, std::string* name) {
  sqlite3_stmt* s = stmts_[kSubkeyAt];
  sqlite3_bind_int64(s, 1, key);
  sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(index));
  int rc = Step(s);
  if (rc == SQLITE_ROW)
    name->assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                 static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
  sqlite3_reset(s);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
}

LONG StoreConnection::DeleteValue(std::int64_t key, std::string_view name) {
  if (LONG r = CheckFileBeforeWrite()) return r;
  sqlite3_stmt* s = stmts_[kValueDelete];
  sqlite3_bind_int64(s, 1, key);
  BindText(s, 2, name);
  WriteTurn turn(this);
  if (!turn.held()) return ERROR_LOCK_VIOLATION;
  if (LONG r = Run(kValueDelete)) return r;
  return sqlite3_changes(db_) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

LONG StoreConnection::RemoveTree(std::int64_t key, bool withKey) {
  if (LONG r = CheckFileBeforeWrite()) return r;
  WriteTurn turn(this);
  if (!turn.held()) return ERROR_LOCK_VIOLATION;
  if (LONG r = Run(kBegin)) return r;
  sqlite3_bind_int64(stmts_[kTreeValuesDelete], 1, key);
  sqlite3_bind_int64(stmts_[kTreeKeysDelete], 1, key);
  sqlite3_bind_int(stmts_[kTreeKeysDelete], 2, withKey ? 1 : 0);
  LONG r = Run(kTreeValuesDelete);
  if (r == ERROR_SUCCESS) r = Run(kTreeKeysDelete);
  if (r == ERROR_SUCCESS) r = Run(kCommit);
  if (r != ERROR_SUCCESS && !sqlite3_get_autocommit(db_)) Run(kRollback);
  return r;
}

void StoreConnection::EmptyLog() {
  if (!open_) return;
  // The file is no longer the store: no waiting and no syncing for it.
  sqlite3_busy_handler(db_, nullptr, nullptr);
  ExecAll("PRAGMA synchronous = OFF");
  sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

LONG StoreConnection::LookupKey(std::string_view path, std::int64_t* id) {
  sqlite3_stmt* s = stmts_[kKeyByPath];
  BindText(s, 1, path);
  int rc = Step(s);
  if (rc == SQLITE_ROW) *id = sqlite3_column_int64(s, 0);
  sqlite3_reset(s);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
}

LONG StoreConnection::CreateKey(std::string_view path, std::int64_t* id, bool* created) {
  if (LONG r = CheckFileBeforeWrite()) return r;
  WriteTurn turn(this);
  if (!turn.held()) return ERROR_LOCK_VIOLATION;
  if (LONG r = Run(kBegin)) return r;
  std::int64_t parent = kRootKeyId;
  std::string base;
  LONG r = ERROR_SUCCESS;
  std::size_t start = 0;
  while (r == ERROR_SUCCESS) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view name = path.substr(start, end - start);
    sqlite3_stmt* find = stmts_[kKeyByPath];
    BindText(find, 1, path.substr(0, end));
    int rc = Step(find);
    if (rc == SQLITE_ROW) {
      parent = sqlite3_column_int64(find, 0);
      base.assign(reinterpret_cast<const char*>(sqlite3_column_text(find, 1)),
                  static_cast<std::size_t>(sqlite3_column_bytes(find, 1)));
      *created = false;
    }
    sqlite3_reset(find);
    if (rc == SQLITE_DONE) {
      if (!base.empty()) base.push_back('\\');
      base.append(name.data(), name.size());
      sqlite3_stmt* add = stmts_[kKeyInsert];
      sqlite3_bind_int64(add, 1, parent);
      BindText(add, 2, name);
      BindText(add, 3, base);
      r = Run(kKeyInsert);
      parent = sqlite3_last_insert_rowid(db_);
      *created = true;
    } else if (rc != SQLITE_ROW) {
      r = Fail(rc);
    }
    if (end == path.size()) break;
    start = end + 1;
  }
  if (r == ERROR_SUCCESS) r = Run(kCommit);
  if (r != ERROR_SUCCESS) {
    if (!sqlite3_get_autocommit(db_)) Run(kRollback);
    return r;
  }
  *id = parent;
  return ERROR_SUCCESS;
}

LONG StoreConnection::KeyPath(std::int64_t id, std::string* path) {
  sqlite3_stmt* s = stmts_[kKeyPath];
  sqlite3_bind_int64(s, 1, id);
  int rc = Step(s);
  if (rc == SQLITE_ROW) {
    path->append(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                 static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
  }
  sqlite3_reset(s);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
}

}  // namespace refwarden
