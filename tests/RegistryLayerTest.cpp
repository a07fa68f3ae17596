// The SQLite store's own cases, each on a store file of its own: what it keeps
// in the file, what is not a store, permissions, locks, faults and recovery.
// What every store does is tests/StoreContractTest.cpp.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "filter/RequestTrace.h"
#include "platform/Platform.h"
#include "platform/posix/RegistryStats.h"
#include "tests/RegistryCalls.h"
#include "tests/support/Listing.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"

namespace refwarden {
namespace {

namespace fs = std::filesystem;

using testing::Listing;
using testing::MakeTempFolder;
using testing::UseStore;
using Value = testing::StoredValue;
using testing::Create;
using testing::kOk;
using testing::Names;
using testing::ReadAll;
using testing::Set;

// One row per column of the first result of `sql` on the store file, read
// with SQLite directly, as an administrator would.
std::vector<std::string> QueryStore(const std::string& file, const char* sql) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW) {
        out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_blob(s, 0)),
                         static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
      }
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return out;
}

// The permission bits of `path`; ~0 when it cannot be read.
unsigned Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : ~0u;
}

class RegistryLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.empty()); }

  void TearDown() override {
    EXPECT_EQ(RegistryOpenHandleCount(), 0u);
    RegistryDrainPool();
    EXPECT_EQ(RegistryOpenConnectionCount(), 0u);
  }

  testing::TempStore temp_{"data/refwarden/registry.sqlite"};
  const std::string folder_ = temp_.Folder();
  const std::string store_ = temp_.Path();
};

// Reading creates no file (a store never written is none at all); keys are rows of regkey, their
// paths in the case first written, as an administrator's query finds them.
TEST_F(RegistryLayerTest, KeysAreStoredInTheCaseFirstWritten) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  char name[8];
  DWORD cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(HKEY_CURRENT_USER, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(folder_ + "/data")) << "reading made a store";
  for (const char* path :
       {"Software\\Tarnwel", "SOFTWARE\\tarnwel\\Debug", kTraceKey, "software\\other"})
    RegCloseKey(Create(path));
  EXPECT_EQ(QueryStore(store_, "SELECT path FROM regkey ORDER BY id"),
            (std::vector<std::string>{"", "Software", "Software\\Tarnwel",
                                      "Software\\Tarnwel\\Debug", "Software\\other"}));
}

TEST_F(RegistryLayerTest, StoreThatCannotBeCreatedIsAnError) {
  std::ofstream(folder_ + "/plain-file") << "not a folder";
  UseStore(folder_ + "/plain-file/refwarden/registry.sqlite");
  HKEY key = reinterpret_cast<HKEY>(1);
  DWORD disposition = 0;
  EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegSetValueExA(key, "/a", 0, REG_SZ, kOk, 3), ERROR_INVALID_HANDLE);
}

constexpr uid_t kNobody = 65534;

// Makes a store at `path` through the layer, holding one trace value, with
// its connections closed again. Returns whether it could.
bool MakeStore(const std::string& path) {
  UseStore(path);
  HKEY key = nullptr;
  const bool made = RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) == ERROR_SUCCESS &&
                    RegSetValueExA(key, "/seen", 0, REG_SZ, kOk, 3) == ERROR_SUCCESS;
  RegCloseKey(key);
  RegistryDrainPool();
  return made;
}

// Makes a store at `path` and runs `sql` on it beside the layer, as one who
// can write the file could.
bool MakeStoreThenRun(const std::string& path, const char* sql) {
  if (!MakeStore(path)) return false;
  sqlite3* db = nullptr;
  const bool ran = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                   sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ran;
}

struct NotAStore {
  const char* name;
  // Makes it at `store`, as the test's own user; false when it cannot.
  bool (*make)(const std::string& store);
  LONG expected;               // what RegOpenKeyExA and RegCreateKeyExA answer
  bool asNobody;               // the calls run as "nobody", whom permission bits bind
  bool needsRoot;              // it takes root to make (another account's files)
  const char* path = nullptr;  // where it is, when not <folder>/store
};

const NotAStore kNotAStore[] = {
    {"folder", [](const std::string& s) { return mkdir(s.c_str(), 0700) == 0; }, ERROR_BADDB, false,
     false},
    {"FIFO", [](const std::string& s) { return mkfifo(s.c_str(), 0600) == 0; }, ERROR_BADDB, false,
     false},
    {"character device made here",
     [](const std::string& s) { return mknod(s.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
     ERROR_BADDB, false, true},
    {"/dev/null", [](const std::string&) { return true; }, ERROR_BADDB, false, false, "/dev/null"},
    {"text file",
     [](const std::string& s) { return static_cast<bool>(std::ofstream(s) << "not a store\n"); },
     ERROR_BADDB, false, false},
    {"another program's database",
     [](const std::string& s) {
       sqlite3* db = nullptr;
       const bool made = sqlite3_open(s.c_str(), &db) == SQLITE_OK &&
                         sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr,
                                      nullptr, nullptr) == SQLITE_OK;
       sqlite3_close(db);
       return made;
     },
     ERROR_BADDB, false, false},
    // A store holding more than the store makes would run someone else's code.
    {"store with a recursive trigger",
     [](const std::string& s) {
       return MakeStoreThenRun(s,
                               "CREATE TRIGGER t AFTER UPDATE ON regvalue BEGIN"
                               " UPDATE regvalue SET type = type + 1 WHERE id = new.id; END;");
     },
     ERROR_BADDB, false, false},
    {"store with a view",
     [](const std::string& s) {
       return MakeStoreThenRun(s, "CREATE VIEW v AS SELECT * FROM regvalue;");
     },
     ERROR_BADDB, false, false},
    {"store with another table",
     [](const std::string& s) { return MakeStoreThenRun(s, "CREATE TABLE extra(x);"); },
     ERROR_BADDB, false, false},
    {"store with another index",
     [](const std::string& s) {
       return MakeStoreThenRun(s, "CREATE INDEX regvalue_type ON regvalue(type);");
     },
     ERROR_BADDB, false, false},
    {"store whose table was altered",
     [](const std::string& s) {
       return MakeStoreThenRun(s, "ALTER TABLE regkey ADD COLUMN extra TEXT;");
     },
     ERROR_BADDB, false, false},
    {"symbolic link to nothing",
     [](const std::string& s) {
       return symlink((fs::path(s).parent_path() / "gone/registry.sqlite").c_str(), s.c_str()) == 0;
     },
     ERROR_PATH_NOT_FOUND, false, false},
    {"read-only store",
     [](const std::string& s) {
       return MakeStore(s) && chmod(s.c_str(), 0400) == 0 &&
              (geteuid() != 0 || chown(s.c_str(), kNobody, kNobody) == 0);
     },
     ERROR_ACCESS_DENIED, true, false},
    {"another account's store",
     [](const std::string& s) { return MakeStore(s) && chmod(s.c_str(), 0600) == 0; },
     ERROR_ACCESS_DENIED, true, true},
    {"another account's empty file, open to all",
     [](const std::string& s) {
       const int fd = open(s.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
       return fd >= 0 && close(fd) == 0 && chmod(s.c_str(), 0666) == 0;
     },
     ERROR_ACCESS_DENIED, true, true},
};

// Tries to open and to create the trace key in what `row` makes, as "nobody"
// when it says so and `root` can; returns what went wrong ("" when all held).
std::string TryNotAStore(const NotAStore& row, bool root) {
  const std::string folder = MakeTempFolder();
  const std::string store = row.path != nullptr ? row.path : folder + "/store";
  if (!row.make(store)) return "cannot be made here";
  const bool asNobody = root && row.asNobody;
  if (asNobody && chown(folder.c_str(), kNobody, kNobody) != 0) return "chown";
  // Outside the folder too: a faulty store would damage /dev/null itself,
  // so what it did there is undone below as well as reported.
  const std::set<std::string> before = Listing(folder);
  std::vector<std::string> absent;
  for (const char* suffix : {"-journal", "-wal", "-shm"})
    if (!fs::exists(store + suffix)) absent.push_back(store + suffix);
  struct stat was;
  const bool modeKnown = stat(store.c_str(), &was) == 0;
  UseStore(store);
  if (asNobody && (setegid(kNobody) != 0 || seteuid(kNobody) != 0)) return "cannot become nobody";

  std::string problems;
  for (const bool create : {false, true}) {
    HKEY key = reinterpret_cast<HKEY>(1);
    const LONG r = create ? RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0,
                                            KEY_ALL_ACCESS, nullptr, &key, nullptr)
                          : RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_READ, &key);
    if (r != row.expected || key != nullptr)
      problems += (create ? "RegCreateKeyExA" : "RegOpenKeyExA") + std::string(" answered ") +
                  std::to_string(r) + "; ";
  }
  if (RegistryOpenHandleCount() != 0) problems += "a handle stayed open; ";
  RegistryDrainPool();
  if (RegistryOpenConnectionCount() != 0) problems += "a connection stayed open; ";

  if (asNobody && (seteuid(0) != 0 || setegid(0) != 0)) return "cannot be root again";
  const std::set<std::string> after = Listing(folder);
  for (const std::string& line : after)
    if (before.count(line) == 0) problems += "now there is " + line + "; ";
  for (const std::string& line : before)
    if (after.count(line) == 0) problems += "gone or changed: " + line + "; ";
  for (const std::string& path : absent) {
    if (fs::exists(path)) {
      problems += path + " made; ";
      unlink(path.c_str());
    }
  }
  struct stat now;
  if (modeKnown && stat(store.c_str(), &now) == 0 && now.st_mode != was.st_mode) {
    problems += store + "'s mode changed; ";
    chmod(store.c_str(), was.st_mode & 07777);
  }
  fs::remove_all(folder);
  return problems;
}

// What is not a store is refused before SQLite opens it: both opening and
// creating a key answer the same error, and nothing is created beside it,
// nor changed in it (not even as root, for /dev/null). Each row runs in a
// child process, which may change its user without touching this one, and
// fails with what it found.
TEST_F(RegistryLayerTest, RefusesWhatIsNotAStore) {
  const bool root = geteuid() == 0;
  for (const NotAStore& row : kNotAStore) {
    if (row.needsRoot && !root) {
      std::printf("skipped '%s': it takes root to make\n", row.name);
      continue;
    }
    EXPECT_EXIT(
        {
          const std::string report = TryNotAStore(row, root);
          std::fputs(report.c_str(), stderr);
          _exit(report.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << row.name;
  }
}

// An empty file put there for the store (touch) becomes owner-only before
// SQLite makes it a store.
TEST_F(RegistryLayerTest, EmptyFileBecomesAnOwnerOnlyStore) {
  fs::create_directories(folder_ + "/data/refwarden");
  close(open(store_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  chmod(store_.c_str(), 0644);
  HKEY key = Create(kTraceKey);
  EXPECT_EQ(Set(key, "/a", "ok"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Mode(store_), 0600u);
}

TEST_F(RegistryLayerTest, StoreIsOwnerOnly) {
  mode_t old = umask(0);
  HKEY key = Create(kTraceKey);
  umask(old);
  ASSERT_EQ(Set(key, "/a", "ok"), ERROR_SUCCESS);
  for (const std::string& path : {store_, store_ + "-wal", store_ + "-shm"})
    EXPECT_EQ(Mode(path), 0600u) << path;
  for (const std::string& path : {folder_ + "/data", folder_ + "/data/refwarden"})
    EXPECT_EQ(Mode(path), 0700u) << path;
  RegCloseKey(key);
  EXPECT_EQ(QueryStore(store_, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST_F(RegistryLayerTest, ValuesOutlastThePool) {
  HKEY key = Create(kTraceKey);
  EXPECT_EQ(RegSetValueExA(key, "/index.html", 0, REG_SZ, kOk, 3), ERROR_SUCCESS);
  EXPECT_EQ(RegistryOpenConnectionCount(), 1u);
  RegCloseKey(key);
  RegistryDrainPool();
  EXPECT_EQ(RegistryOpenConnectionCount(), 0u);
  EXPECT_EQ(ReadAll(kTraceKey), (std::vector<Value>{{"/index.html", REG_SZ, {"ok\0", 3}}}));
  // The administrator's query of the trace.
  EXPECT_EQ(QueryStore(store_,
                       "SELECT v.name FROM regvalue v JOIN regkey k ON k.id = v.key_id"
                       " WHERE k.path = 'software\\tarnwel\\debug' ORDER BY v.id"),
            std::vector<std::string>{"/index.html"});
}

// The store copies its log back into the file as it grows, and starts it
// again from its beginning once copied, whether one thread writes or several
// at once: 12,000 new values write some 26,000 pages to the log, which stays
// near the 4,000 pages at which a copy is made.
TEST_F(RegistryLayerTest, LogIsCopiedBackAsItGrows) {
  for (int threads : {1, 4}) {
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
      writers.emplace_back([t, threads] {
        HKEY key = Create(kTraceKey);
        for (int i = t; i < 12000; i += threads)
          EXPECT_EQ(Set(key, "/p" + std::to_string(threads) + "/" + std::to_string(i), "ok"),
                    ERROR_SUCCESS);
        RegCloseKey(key);
      });
    }
    for (std::thread& writer : writers) writer.join();
    const std::uintmax_t pages = fs::file_size(store_ + "-wal") / (4096 + 24);
    EXPECT_LT(pages, 5000u) << "pages in the log, " << threads << " thread(s)";
  }
}

TEST_F(RegistryLayerTest, SeveralProcessesWriteTheExactSet) {
  constexpr int kChildren = 3;
  constexpr int kRounds = 300;
  RegistryDrainPool();  // no connection may cross the fork
  ASSERT_EQ(RegistryOpenConnectionCount(), 0u);
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kRounds; ++i) {
        for (const std::string& name : {"/shared/" + std::to_string(i % 41),
                                        "/p" + std::to_string(c) + "/" + std::to_string(i)}) {
          HKEY key = nullptr;
          if (RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr) != ERROR_SUCCESS ||
              RegSetValueExA(key, name.c_str(), 0, REG_SZ, kOk, 3) != ERROR_SUCCESS)
            ++failures;
          RegCloseKey(key);
        }
      }
      RegistryDrainPool();
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  std::set<std::string> expected;
  for (int c = 0; c < kChildren; ++c)
    for (int i = 0; i < kRounds; ++i) {
      expected.insert("/shared/" + std::to_string(i % 41));
      expected.insert("/p" + std::to_string(c) + "/" + std::to_string(i));
    }
  std::vector<std::string> names = Names(ReadAll(kTraceKey));
  EXPECT_EQ(names.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
}

TEST_F(RegistryLayerTest, RecoversWhenTheStoreIsDeleted) {
  HKEY key = Create(kTraceKey);
  ASSERT_EQ(Set(key, "/before", "ok"), ERROR_SUCCESS);
  fs::remove_all(folder_ + "/data");
  EXPECT_NE(Set(key, "/lost", "ok"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  DWORD disposition = 0;
  key = Create(kTraceKey, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(Set(key, "/after", "ok"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/after"});
}

TEST_F(RegistryLayerTest, RecoversWhenACorruptStoreIsReplaced) {
  fs::create_directories(folder_ + "/data/refwarden");
  std::ofstream(store_) << std::string(8192, 'G');
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_BADDB);
  EXPECT_EQ(key, nullptr);
  fs::remove(store_);
  key = Create(kTraceKey);
  EXPECT_EQ(Set(key, "/a", "ok"), ERROR_SUCCESS);
  RegCloseKey(key);
}

// SQLite finds the log and the shared memory by the store's name, so a swap
// of the store's folder while a connection opens them can leave the process
// with shared memory that does not describe the log. Here the log is cut
// short behind SQLite's back instead: a new connection then fails with an
// I/O error, and once the connection already open is let go, new ones work
// again (before, every new connection failed as long as it stayed pooled).
TEST_F(RegistryLayerTest, RecoversWhenTheLogIsNotWhatTheSharedMemorySays) {
  HKEY held = Create(kTraceKey);
  ASSERT_EQ(Set(held, "/before", "ok"), ERROR_SUCCESS);
  ASSERT_EQ(truncate((store_ + "-wal").c_str(), 0), 0);
  HKEY second = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &second, nullptr),
            ERROR_WRITE_FAULT);
  EXPECT_EQ(RegCloseKey(held), ERROR_SUCCESS);

  // Two keys at once: one connection may be the one pooled, the other is new.
  HKEY first = Create(kTraceKey);
  second = Create(kTraceKey);
  EXPECT_EQ(Set(first, "/after-1", "ok"), ERROR_SUCCESS);
  EXPECT_EQ(Set(second, "/after-2", "ok"), ERROR_SUCCESS);
  RegCloseKey(first);
  RegCloseKey(second);
  const std::vector<std::string> names = Names(ReadAll(kTraceKey));
  for (const char* name : {"/after-1", "/after-2"})
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
}

// Puts a copy of the store at `from` in place of the file at `to`, as a
// restore from a backup would: a new file under the old name.
void ReplaceStoreFile(const std::string& from, const std::string& to) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(from.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  fs::copy_file(from, to + ".new");
  fs::rename(to + ".new", to);
}

// Makes the store `folder`/other.sqlite holding the trace value
// "/in-the-new-file", to put in place of `store` with ReplaceStoreFile, and
// names `store` again. Returns the new store's path.
std::string MakeReplacementStore(const std::string& folder, const std::string& store) {
  const std::string other = folder + "/other.sqlite";
  UseStore(other);
  HKEY key = Create(kTraceKey);
  EXPECT_EQ(Set(key, "/in-the-new-file", "ok"), ERROR_SUCCESS);
  RegCloseKey(key);
  UseStore(store);
  return other;
}

// A connection left idle in the pool must not be lent again once its file
// was replaced: it would read the old file, where the new one's values are
// missing.
TEST_F(RegistryLayerTest, IdleConnectionIsNotReusedAfterTheFileIsReplaced) {
  const std::string other = MakeReplacementStore(folder_, store_);
  HKEY key = Create(kTraceKey);
  ASSERT_EQ(Set(key, "/in-the-old-file", "ok"), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegistryOpenConnectionCount(), 2u);  // both idle in the pool

  ReplaceStoreFile(other, store_);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/in-the-new-file"});
}

// A key held open while its file is replaced must refuse writes: they would
// land in the old file, which no one reads any more, and be acknowledged.
TEST_F(RegistryLayerTest, KeyHeldOpenRefusesWritesOnceTheFileIsReplaced) {
  const std::string other = MakeReplacementStore(folder_, store_);
  HKEY held = Create(kTraceKey);
  ASSERT_EQ(Set(held, "/before", "ok"), ERROR_SUCCESS);

  ReplaceStoreFile(other, store_);
  EXPECT_EQ(Set(held, "/into-the-old-file", "ok"), ERROR_WRITE_FAULT);
  EXPECT_EQ(RegCloseKey(held), ERROR_SUCCESS);
  HKEY key = Create(kTraceKey);
  EXPECT_EQ(Set(key, "/after", "ok"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), (std::vector<std::string>{"/in-the-new-file", "/after"}));
}

// A read-only store refuses writes, and serves again once writable. The
// owner's permission bits bind only an account without override rights, so
// as root the scenario runs in a child process as "nobody".
TEST_F(RegistryLayerTest, RecoversWhenTheStoreIsReadOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto scenario = [] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    std::string folder = MakeTempFolder();
    std::string store = folder + "/registry.sqlite";
    setenv("REFWARDEN_REGISTRY", store.c_str(), 1);
    HKEY key = nullptr;
    auto write = [&key](const char* name) {
      LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               &key, nullptr);
      if (r == ERROR_SUCCESS) r = RegSetValueExA(key, name, 0, REG_SZ, kOk, 3);
      if (key != nullptr) RegCloseKey(key);
      return r;
    };
    if (write("/a") != ERROR_SUCCESS) _exit(11);
    chmod(store.c_str(), 0400);
    if (write("/b") == ERROR_SUCCESS) _exit(12);
    chmod(store.c_str(), 0600);
    if (write("/c") != ERROR_SUCCESS) _exit(13);
    if (RegistryOpenHandleCount() != 0) _exit(14);
    fs::remove_all(folder);
    _exit(0);
  };
  EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
}

// A write the file system refuses (here: over the process's file size
// limit) is an error, and writes work again once it is lifted.
TEST_F(RegistryLayerTest, RecoversWhenWritesAreRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto scenario = [this] {
    signal(SIGXFSZ, SIG_IGN);
    HKEY key = Create(kTraceKey);
    if (Set(key, "/small", "ok") != ERROR_SUCCESS) _exit(11);
    RegCloseKey(key);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    struct rlimit small = limit;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    key = Create(kTraceKey);
    LONG r = ERROR_SUCCESS;
    for (int i = 0; i < 64 && r == ERROR_SUCCESS; ++i)
      r = Set(key, "/big/" + std::to_string(i), std::string(4096, 'b'));
    RegCloseKey(key);
    if (r == ERROR_SUCCESS) _exit(12);
    setrlimit(RLIMIT_FSIZE, &limit);
    key = Create(kTraceKey);
    if (Set(key, "/after", "ok") != ERROR_SUCCESS) _exit(13);
    RegCloseKey(key);
    std::vector<std::string> names = Names(ReadAll(kTraceKey));
    if (names.empty() || names.front() != "/small" || names.back() != "/after") _exit(14);
    _exit(0);
  };
  EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace refwarden
