// Faults of the store applied and removed while server threads send requests:
// every request is answered, none is rewritten while its trace fails, nothing
// crashes, and the trace works again once the fault is gone. Each scenario
// runs in a child process of its own (a death test), so that it can change
// its user or mount a file system without touching the rest of the run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/RegistryStats.h"
#include "tests/hardening/HardeningSupport.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"
#include "tests/support/WriteTransactionElsewhere.h"

namespace refwarden::hardening {
namespace {

namespace fs = std::filesystem;

using testing::WriteTransactionElsewhere;

// Where a request stood against the fault when it began and when it ended.
enum Phase : int { kBefore, kFault, kRemoving, kAfter };

struct Record {
  std::string path;
  int start;
  int end;
  bool judged;  // a foreign image: rewritten exactly when its trace was written
  bool traced;
  double seconds;  // how long the request took
};

// Request `i` of thread `t`: mostly new image paths, some repeated ones, a
// page and an image from the site's own pages.
TestRequest FaultRequest(int t, std::uint64_t i) {
  const std::string own = "/fault/t" + std::to_string(t) + "/" + std::to_string(i);
  TestRequest r;
  r.host = std::string(kSiteHost);
  r.referer = "http://elsewhere.example/page.html";
  switch (i % 10) {
    case 6:
    case 7:
      r.path = "/fault/shared/" + std::to_string(i % 16) + ".gif";
      break;
    case 8:
      r.path = own + ".html";
      break;
    case 9:
      r.path = own + ".bmp";
      r.referer = "http://site.example/gallery";
      break;
    default:
      r.path = own + (i % 2 == 0 ? ".jpg" : ".png");
  }
  r.url = i % 3 == 0 ? r.path + "?n=" + std::to_string(i) : r.path;
  return r;
}

// Server threads sending requests until stopped; each answer is judged on
// the spot and every request is recorded for the checks afterwards.
class RequestLoad {
 public:
  explicit RequestLoad(int threads) : perThread_(static_cast<std::size_t>(threads)) {
    for (int t = 0; t < threads; ++t) threads_.emplace_back([this, t] { Run(t); });
  }
  ~RequestLoad() { Stop(); }

  void SetPhase(Phase p) { phase_.store(p); }

  // Returns once `n` more requests have been answered.
  void WaitForRequests(std::uint64_t n) {
    const std::uint64_t target = done_.load() + n;
    while (done_.load() < target) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // Returns once every thread has answered `n` more requests, so that those
  // in flight before the call are done.
  void WaitForEachThread(std::uint64_t n) {
    std::vector<std::uint64_t> targets;
    for (const auto& count : perThread_) targets.push_back(count.load() + n);
    for (std::size_t t = 0; t < targets.size(); ++t) {
      while (perThread_[t].load() < targets[t])
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Returns once every thread is between two requests, where it stays until
  // Resume(): meanwhile no request reads or writes the store.
  void Pause() {
    std::unique_lock<std::mutex> hold(pauseLock_);
    paused_ = true;
    pauseChanged_.wait(hold, [this] { return parked_ == threads_.size(); });
  }

  void Resume() {
    {
      std::lock_guard<std::mutex> hold(pauseLock_);
      paused_ = false;
    }
    pauseChanged_.notify_all();
  }

  void Stop() {
    stop_.store(true);
    Resume();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  const std::vector<Record>& records() const { return records_; }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void WaitWhilePaused() {
    std::unique_lock<std::mutex> hold(pauseLock_);
    if (!paused_) return;
    ++parked_;
    pauseChanged_.notify_all();
    pauseChanged_.wait(hold, [this] { return !paused_; });
    --parked_;
  }

  void Run(int t) {
    std::vector<Record> mine;
    std::vector<std::string> wrong;
    for (std::uint64_t i = 0; !stop_.load(); ++i) {
      WaitWhilePaused();
      const TestRequest r = FaultRequest(t, i);
      const int start = phase_.load();
      const auto began = std::chrono::steady_clock::now();
      const FilterOutcome o = Send(r);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
      const int end = phase_.load();
      std::string why = CheckOutcome(r, o);
      if (!why.empty()) wrong.push_back(std::move(why));
      mine.push_back({r.path, start, end, !RuleReplacement(r).empty(), o.rewritten, took.count()});
      done_.fetch_add(1);
      perThread_[static_cast<std::size_t>(t)].fetch_add(1);
    }
    std::lock_guard<std::mutex> hold(lock_);
    records_.insert(records_.end(), mine.begin(), mine.end());
    problems_.insert(problems_.end(), wrong.begin(), wrong.end());
  }

  std::atomic<int> phase_{kBefore};
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> done_{0};
  std::vector<std::atomic<std::uint64_t>> perThread_;
  std::vector<std::thread> threads_;
  std::mutex pauseLock_;
  std::condition_variable pauseChanged_;
  bool paused_ = false;
  std::size_t parked_ = 0;
  std::mutex lock_;
  std::vector<Record> records_;
  std::vector<std::string> problems_;
};

// When a fault is applied: while requests run; between two requests of every
// thread (no request runs, connections stay open), as when the disk fills
// between two writes; or while the server is stopped (no connection is open
// either), so that what is read afterwards comes from the files.
enum Timing { kWhileRunning, kBetweenRequests, kWhileStopped };

struct Fault {
  const char* name;
  std::function<void(const std::string& store)> apply;
  std::function<void(const std::string& store)> remove;
  int applications;         // apply runs this often, with requests in between
  bool everyTraceFails;     // while applied, no trace can be written
  bool mustRefuseSome;      // some trace must have failed
  bool keepsEarlierValues;  // values traced before the fault are still there after it
  Timing timing = kWhileRunning;
  std::uint64_t requestsWhileApplied = 300;
  // Looks at the store while the fault is applied; returns what is wrong.
  std::function<std::string(const std::string& store)> inspect = nullptr;
  // Looks at the store once the requests are done; returns what is wrong.
  std::function<std::string(const std::string& store)> inspectAfter = nullptr;
};

// However the store fails, no request waits on it for long: a lock held
// elsewhere costs about a second (kMaxStoreWait), far under this bound.
constexpr double kLongestRequestSeconds = 5.0;

// Runs `fault` against a store under `folder` with requests running, and
// returns what went wrong (empty when all held).
std::vector<std::string> RunScenario(const Fault& fault, const std::string& folder) {
  const std::string store = folder + "/data/registry.sqlite";
  testing::UseStore(store);
  std::vector<std::string> problems;
  RequestLoad load(3);
  load.WaitForRequests(300);
  for (int n = 0; n < fault.applications; ++n) {
    if (fault.timing != kWhileRunning) load.Pause();
    // Connections lent out during a drain would be pooled again, with pages of
    // the file as it was in their caches: hence the pause first.
    if (fault.timing == kWhileStopped) {
      RegistryDrainPool();
      if (RegistryOpenConnectionCount() != 0) problems.push_back("connections open while stopped");
    }
    fault.apply(store);
    load.SetPhase(kFault);
    if (fault.timing != kWhileRunning) load.Resume();
    load.WaitForRequests(fault.requestsWhileApplied);
  }
  const auto note = [&problems](std::string wrong) {
    if (!wrong.empty()) problems.push_back(std::move(wrong));
  };
  if (fault.inspect) note(fault.inspect(store));
  load.SetPhase(kRemoving);
  fault.remove(store);
  // Requests in flight as the fault went may still hold what it left behind.
  load.WaitForEachThread(2);
  load.SetPhase(kAfter);
  load.WaitForRequests(300);
  load.Stop();
  if (fault.inspectAfter) note(fault.inspectAfter(store));

  problems.insert(problems.end(), load.problems().begin(), load.problems().end());
  if (problems.size() > 10) problems.resize(10);
  if (RegistryOpenHandleCount() != 0) problems.push_back("key handles left open");
  RegistryDrainPool();
  if (RegistryOpenConnectionCount() != 0) problems.push_back("connections left open");

  std::set<std::string> stored, asked;
  for (const testing::StoredValue& v : testing::ReadValues(kTraceKey)) {
    stored.insert(v.name);
    if (v.type != REG_SZ || v.data != std::string("ok\0", 3))
      problems.push_back("value '" + v.name + "' has the wrong type or data");
  }
  std::size_t inside = 0, insideRefused = 0, refused = 0, afterRefused = 0, lost = 0;
  double longest = 0;
  for (const Record& r : load.records()) {
    asked.insert(r.path);
    longest = std::max(longest, r.seconds);
    if (!r.judged) continue;
    if (!r.traced) ++refused;
    if (r.start == kFault && r.end == kFault) {
      ++inside;
      if (!r.traced) ++insideRefused;
    }
    if (r.start == kAfter && !r.traced) ++afterRefused;
    if (r.traced && (fault.keepsEarlierValues || r.start == kAfter) && stored.count(r.path) == 0) {
      if (++lost <= 5) problems.push_back("acknowledged trace lost: " + r.path);
    }
  }
  for (const std::string& name : stored) {
    if (asked.count(name) == 0) problems.push_back("stored a path never asked for: " + name);
  }
  if (inside == 0) problems.push_back("no request ran wholly while the fault was applied");
  if (fault.everyTraceFails && insideRefused != inside) {
    problems.push_back(std::to_string(inside - insideRefused) + " of " + std::to_string(inside) +
                       " requests were traced while no trace can be written");
  }
  if (fault.mustRefuseSome && refused == 0) problems.push_back("the fault refused no trace");
  if (afterRefused != 0) {
    problems.push_back(std::to_string(afterRefused) + " requests failed after the fault was gone");
  }
  if (longest > kLongestRequestSeconds)
    problems.push_back("a request took " + std::to_string(longest) + " s");
  const std::string integrity = IntegrityCheck(store);
  if (integrity != "ok") problems.push_back("integrity_check: " + integrity);
  std::printf(
      "%s: %zu requests, %zu wholly during the fault (%zu refused), %zu refused, longest %.3f s\n",
      fault.name, load.records().size(), inside, insideRefused, refused, longest);
  return problems;
}

// Runs the scenario in a death-test child; `setUp` prepares the child and
// returns the folder for the store.
void ExpectScenarioHolds(const Fault& fault, const std::function<std::string()>& setUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto child = [&] {
    const std::string folder = setUp();
    if (folder.empty()) _exit(3);
    const std::vector<std::string> problems = RunScenario(fault, folder);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    umount2(folder.c_str(), MNT_DETACH);
    rmdir(folder.c_str());
    for (const std::string& p : problems) std::fprintf(stderr, "%s: %s\n", fault.name, p.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(problems.empty() ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "") << fault.name;
}

std::string MakeFolder() { return testing::MakeTempFolder(); }

// Writes pseudo-random bytes over `path` from `offset` to its end.
void Scribble(const std::string& path, off_t offset) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  fstat(fd, &st);
  std::mt19937 random(7);
  std::vector<char> garbage(
      static_cast<std::size_t>(st.st_size > offset ? st.st_size - offset : 0));
  for (char& c : garbage) c = static_cast<char>(random());
  if (pwrite(fd, garbage.data(), garbage.size(), offset) < 0) std::perror("pwrite");
  close(fd);
}

// Moves what the write-ahead log holds into the file and empties the log, so
// that readers find what is written over the file next and writers need new
// room. Requires that no other connection is reading the store.
void Checkpoint(const std::string& store) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
}

void Nothing(const std::string&) {}

void RemoveStoreFolder(const std::string& store) {
  std::error_code ignored;
  fs::remove_all(fs::path(store).parent_path(), ignored);
}

TEST(StoreFaultTest, ReadOnlyStoreFile) {
  // Permission bits do not bind root: the scenario runs as "nobody".
  const Fault fault{"read-only",
                    [](const std::string& s) { chmod(s.c_str(), 0400); },
                    [](const std::string& s) { chmod(s.c_str(), 0600); },
                    1,
                    true,
                    true,
                    true};
  ExpectScenarioHolds(fault, [] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return std::string();
    return MakeFolder();
  });
}

TEST(StoreFaultTest, StoreFileAndFolderDeleted) {
  // Deleted again and again under the running requests; each time a later
  // request creates the store afresh.
  const Fault fault{"deleted", &RemoveStoreFolder, &Nothing, 5, false, false, false};
  ExpectScenarioHolds(fault, &MakeFolder);
}

// Garbage is never taken for a store: every trace fails until the file is
// gone, and the next request starts a new store.
TEST(StoreFaultTest, CorruptedThenRemoved) {
  Fault fault{"corrupted-removed",
              [](const std::string& s) {
                Checkpoint(s);
                Scribble(s, 0);
              },
              [](const std::string& s) { unlink(s.c_str()); },
              1,
              true,
              true,
              false};
  fault.timing = kWhileStopped;
  ExpectScenarioHolds(fault, &MakeFolder);
}

TEST(StoreFaultTest, CorruptedPagesThenReplaced) {
  // The header survives, so the file still opens as a database; it is then
  // replaced by a new empty file, as a restore from elsewhere would.
  Fault fault{"corrupted-replaced",
              [](const std::string& s) {
                Checkpoint(s);
                Scribble(s, 100);
              },
              [](const std::string& s) {
                const std::string fresh = s + ".new";
                close(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
                rename(fresh.c_str(), s.c_str());
              },
              1,
              true,
              true,
              false};
  fault.timing = kWhileStopped;
  ExpectScenarioHolds(fault, &MakeFolder);
}

// The store's log alone grows to about 16.5 MB (4,000 pages) before SQLite
// copies it into the file, and further while a reader holds that back; a
// thread of the load left waiting by the scheduler lets the others send
// thousands of requests. The disk is four times the log.
constexpr std::uint64_t kDiskBytes = std::uint64_t{64} << 20;
// Room that must be left at the end: more than one write and the checkpoint
// after it take. A store that filled the disk itself stays full (its log is
// only removed once copied back, which needs room), and the traces it then
// refused after the fault would be blamed on recovery.
constexpr std::uint64_t kRoomAfterwards = std::uint64_t{16} << 20;

// A tmpfs of the child's own (in a private mount namespace, gone with the
// child) holds the store; a filler file takes the rest of its space.
bool MountTmpfs(const std::string& folder) {
  const std::string options = "size=" + std::to_string(kDiskBytes) + ",mode=0700";
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("refwarden-full", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool CanMountTmpfs() {
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string folder = MakeFolder();
    const bool ok = !folder.empty() && MountTmpfs(folder);
    if (ok) umount(folder.c_str());
    rmdir(folder.c_str());
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void FillDisk(const std::string& store) {
  const std::string filler = fs::path(store).parent_path().parent_path() / "filler";
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  std::vector<char> block(1 << 16, 'f');
  for (std::size_t size = block.size(); size > 0; size /= 2) {
    while (write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
    }
  }
  close(fd);
}

void EmptyDisk(const std::string& store) {
  unlink((fs::path(store).parent_path().parent_path() / "filler").c_str());
}

std::string RoomLeft(const std::string& store) {
  struct statvfs disk;
  if (statvfs(fs::path(store).parent_path().c_str(), &disk) != 0) return "statvfs failed";
  const std::uint64_t room = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
  if (room >= kRoomAfterwards) return "";
  return "the store itself filled the disk (" + std::to_string(room) +
         " bytes left), so refusals after the fault prove nothing";
}

TEST(StoreFaultTest, DiskFull) {
  if (!CanMountTmpfs()) GTEST_SKIP() << "no tmpfs can be mounted here (needs CAP_SYS_ADMIN)";
  // The log is emptied first, so that every new trace needs new room: a log
  // SQLite has started over takes new frames over its old ones.
  Fault fault{"disk-full",
              [](const std::string& s) {
                Checkpoint(s);
                FillDisk(s);
              },
              &EmptyDisk,
              1,
              false,
              true,
              true};
  fault.timing = kBetweenRequests;
  fault.inspectAfter = &RoomLeft;
  ExpectScenarioHolds(fault, [] {
    const std::string folder = MakeFolder();
    return !folder.empty() && MountTmpfs(folder) ? folder : std::string();
  });
}

// Swaps two folders in one step, so that the store's path is never missing
// (a request would create a new store there).
void Exchange(const fs::path& a, const fs::path& b) {
  if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
    std::perror(("exchange " + a.string()).c_str());
}

// Puts something that is not a store where the store was, keeping the store
// (and its log) aside with its folder, then brings the store back: every
// trace meanwhile is refused without anything being made beside the
// impostor, and none of the values traced before is lost.
Fault ReplacedBy(const char* name, void (*make)(const std::string& store)) {
  Fault fault{name,
              [make](const std::string& s) {
                const fs::path folder = fs::path(s).parent_path();
                const fs::path impostor = folder.string() + ".impostor";
                fs::create_directory(impostor);
                make((impostor / fs::path(s).filename()).string());
                Exchange(folder, impostor);
              },
              [](const std::string& s) {
                const fs::path folder = fs::path(s).parent_path();
                const fs::path impostor = folder.string() + ".impostor";
                Exchange(folder, impostor);
                fs::remove_all(impostor);
              },
              1,
              true,
              true,
              true};
  // A connection that opened the store just before the swap and reads it
  // just after opens the log by name beside the impostor; it then notices
  // and gives up, leaving an empty log and its shared memory. That is all
  // that may be there.
  fault.inspect = [](const std::string& s) -> std::string {
    std::string found;
    for (const auto& entry : fs::directory_iterator(fs::path(s).parent_path())) {
      const std::string entryName = entry.path().filename().string();
      if (entry.path() == s || (entryName == "registry.sqlite-wal" && fs::file_size(entry) == 0) ||
          entryName == "registry.sqlite-shm")
        continue;
      found += " " + entryName;
    }
    return found.empty() ? "" : "made beside it:" + found;
  };
  return fault;
}

TEST(StoreFaultTest, ReplacedByWhatIsNotAStore) {
  const struct {
    const char* name;
    void (*make)(const std::string& store);
    bool needsRoot;
  } impostors[] = {
      {"replaced by a folder", [](const std::string& s) { fs::create_directory(s); }, false},
      {"replaced by a FIFO", [](const std::string& s) { mkfifo(s.c_str(), 0600); }, false},
      {"replaced by a text file", [](const std::string& s) { std::ofstream(s) << "not a store\n"; },
       false},
      {"replaced by a link to nothing",
       [](const std::string& s) { fs::create_symlink("gone/registry.sqlite", s); }, false},
      {"replaced by a character device",
       [](const std::string& s) { mknod(s.c_str(), S_IFCHR | 0600, makedev(1, 3)); }, true},
  };
  for (const auto& impostor : impostors)
    if (!impostor.needsRoot || geteuid() == 0)
      ExpectScenarioHolds(ReplacedBy(impostor.name, impostor.make), &MakeFolder);
}

TEST(StoreFaultTest, ReplacedByAnotherAccountsStore) {
  if (geteuid() != 0) GTEST_SKIP() << "it takes root to make another account's store";
  // The scenario runs as "nobody"; the impostor, made first as root, is a
  // store that only root may read, in a folder nobody may move. Swapping the
  // folders again brings the store back.
  const auto swap = [](const std::string& s) {
    const fs::path data = fs::path(s).parent_path();
    Exchange(data, data.parent_path() / "foreign");
  };
  const Fault fault{"another account's store", swap, swap, 1, true, true, true};
  ExpectScenarioHolds(fault, [] {
    const std::string folder = MakeFolder();
    const std::string foreign = folder + "/foreign/registry.sqlite";
    fs::create_directory(folder + "/foreign");
    testing::UseStore(foreign);
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegCloseKey(key);
    RegistryDrainPool();
    constexpr uid_t kNobody = 65534;
    if (chown(folder.c_str(), kNobody, kNobody) != 0 ||
        chown((folder + "/foreign").c_str(), kNobody, kNobody) != 0 || setgid(kNobody) != 0 ||
        setuid(kNobody) != 0)
      return std::string();
    return folder;
  });
}

// While another process holds the store's write lock, a request for a new
// path gives up after about a second and passes; paths already traced are
// still answered at once, and nothing is lost once the lock goes.
TEST(StoreFaultTest, WriteTransactionHeldByAnotherProcess) {
  static std::unique_ptr<WriteTransactionElsewhere> elsewhere;
  Fault fault{
      "write transaction elsewhere",
      [](const std::string& s) { elsewhere = std::make_unique<WriteTransactionElsewhere>(s); },
      [](const std::string&) { elsewhere.reset(); },
      1,
      false,
      true,
      true};
  fault.requestsWhileApplied = 12;
  fault.inspect = [](const std::string&) -> std::string {
    return elsewhere != nullptr && elsewhere->held() ? "" : "the sqlite3 shell held no lock";
  };
  ExpectScenarioHolds(fault, &MakeFolder);
}

}  // namespace
}  // namespace refwarden::hardening
