// The cost of a whole request through the filter library's exported
// HttpFilterProc, with the trace writing to a store on disk, and of the trace
// write alone as the trace key grows. Ends with the targets, met or MISSED.
//
// Trace sizes: 1k and 100k values by default; REFWARDEN_BENCH_LARGE=1 adds
// 1M (its prefilled store is built once, about ten seconds, and kept under
// the binary's folder in store-cache/).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "bench/RequestMix.h"
#include "filter/RequestTrace.h"
#include "platform/posix/RegistryStats.h"
#include "tests/support/TempStore.h"
#include "tools/FilterHost.h"

namespace refwarden::bench {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kHotPaths = 1000;
constexpr int kNewOneIn = 10;  // one request in ten asks for a path never seen

using testing::UseStore;

// A file in a folder of our own under the temporary directory, removed at exit.
std::string ScratchFile(const std::string& name) {
  static const testing::TempStore scratch;
  return scratch.Folder() + "/" + name;
}

// A prefix no earlier run used, so that "new" paths are new in cached stores too.
const std::string& RunTag() {
  static const std::string tag =
      std::to_string(getpid()) + "-" +
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
  return tag;
}

std::string NewPath(std::uint64_t n, std::string_view like) {
  const std::size_t dot = like.rfind('.');
  std::string path = "/new/" + RunTag() + "/" + std::to_string(n);
  if (dot != std::string_view::npos && like.size() - dot <= 5) path.append(like.substr(dot));
  return path;
}

// The filter library as the server loads it, with its own store.
struct RequestSetup {
  RequestSetup() : filter(REFWARDEN_FILTER_LIBRARY), hot(MakeRequestMix(kHotPaths)) {
    UseStore(ScratchFile("requests.sqlite"));
    for (const Request& r : hot) Run(r.path, r);
  }
  FilterOutcome Run(const std::string& url, const Request& r) const {
    return RunPreprocHeaders(filter, {r.host, r.referer, url});
  }
  FilterLibrary filter;
  std::vector<Request> hot;
  std::atomic<std::uint64_t> fresh{0};
};

RequestSetup& Requests() {
  static RequestSetup setup;
  return setup;
}

// 90% of the requests repeat one of kHotPaths paths, 10% ask for a new one.
void BM_RequestRepeat90(benchmark::State& state) {
  RequestSetup& setup = Requests();
  UseStore(ScratchFile("requests.sqlite"));
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    const Request& r = setup.hot[i % setup.hot.size()];
    if (++i % kNewOneIn == 0) {
      benchmark::DoNotOptimize(setup.Run(NewPath(setup.fresh++, r.path), r));
    } else {
      benchmark::DoNotOptimize(setup.Run(r.path, r));
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Every request asks for a path never seen; reports percentiles of the
// per-request time.
void BM_RequestNewPath(benchmark::State& state) {
  RequestSetup& setup = Requests();
  UseStore(ScratchFile("requests.sqlite"));
  std::vector<double> us;
  us.reserve(200000);
  std::size_t i = 0;
  for (auto _ : state) {
    const Request& r = setup.hot[i++ % setup.hot.size()];
    const std::string url = NewPath(setup.fresh++, r.path);
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(setup.Run(url, r));
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(us.begin(), us.end());
  auto at = [&us](double q) {
    return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p90_us"] = at(0.90);
  state.counters["p99_us"] = at(0.99);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// --- the trace alone, as the key grows ---

std::string PrefillName(std::int64_t i) {
  char name[48];
  std::snprintf(name, sizeof name, "/images/gallery/p%08lld.jpg", static_cast<long long>(i));
  return name;
}

bool Sql(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  std::fprintf(stderr, "prefill: %s: %s\n", sql, error != nullptr ? error : "?");
  sqlite3_free(error);
  return false;
}

// Adds values 1..count-1 to the trace key that value 0 created, in one
// transaction straight through SQLite: the rows the store's own write makes.
bool InsertPrefill(const std::string& path, std::int64_t count) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK && Sql(db, "BEGIN IMMEDIATE");
  sqlite3_stmt* key = nullptr;
  sqlite3_stmt* add = nullptr;
  ok =
      ok &&
      sqlite3_prepare_v2(db, "SELECT id FROM regkey WHERE path = ?1", -1, &key, nullptr) ==
          SQLITE_OK &&
      sqlite3_prepare_v2(db, "INSERT INTO regvalue(key_id, name, type, data) VALUES(?1, ?2, 1, ?3)",
                         -1, &add, nullptr) == SQLITE_OK;
  sqlite3_int64 keyId = 0;
  if (ok) {
    sqlite3_bind_text(key, 1, kTraceKey, -1, SQLITE_STATIC);
    ok = sqlite3_step(key) == SQLITE_ROW;
    if (ok) keyId = sqlite3_column_int64(key, 0);
  }
  for (std::int64_t i = 1; ok && i < count; ++i) {
    const std::string name = PrefillName(i);
    sqlite3_bind_int64(add, 1, keyId);
    sqlite3_bind_text(add, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(add, 3, "ok", 3, SQLITE_STATIC);
    ok = sqlite3_step(add) == SQLITE_DONE;
    sqlite3_reset(add);
  }
  sqlite3_finalize(key);
  sqlite3_finalize(add);
  ok = ok && Sql(db, "COMMIT") && Sql(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  sqlite3_close(db);
  return ok;
}

std::string CacheFolder() {
  std::error_code ignored;
  fs::path exe = fs::read_symlink("/proc/self/exe", ignored);
  return (exe.empty() ? fs::path(".") : exe.parent_path() / "store-cache").string();
}

// A store whose trace key holds `count` values, fresh for each run: a copy
// of a prefilled store kept across runs.
bool FreshTraceStore(std::int64_t count, const std::string& work) {
  const std::string cached = CacheFolder() + "/trace-" + std::to_string(count) + ".sqlite";
  RegistryDrainPool();
  std::error_code ignored;
  if (!fs::exists(cached)) {
    fs::create_directories(CacheFolder(), ignored);
    const std::string building = cached + ".building";
    fs::remove(building, ignored);
    UseStore(building);
    TraceRequestPath(PrefillName(0));
    RegistryDrainPool();
    if (!InsertPrefill(building, count)) return false;
    fs::remove(building + "-wal", ignored);
    fs::remove(building + "-shm", ignored);
    fs::rename(building, cached);
  }
  fs::remove(work + "-wal", ignored);
  fs::remove(work + "-shm", ignored);
  fs::copy_file(cached, work, fs::copy_options::overwrite_existing, ignored);
  if (ignored) return false;
  UseStore(work);
  return true;
}

// Warms the connection's cache as a running server's would be.
void Warm(std::int64_t count) {
  for (std::int64_t i = 0; i < 2000; ++i) TraceRequestPath(PrefillName((i * 7919) % count));
}

// A trace of a path the key does not hold yet: an insert.
void BM_TraceNew(benchmark::State& state) {
  const std::int64_t count = state.range(0);
  if (!FreshTraceStore(count, ScratchFile("trace.sqlite"))) {
    state.SkipWithError("cannot build the prefilled store");
    return;
  }
  Warm(count);
  std::uint64_t n = 0;
  std::vector<std::string> names;
  for (std::uint64_t k = 0; k < static_cast<std::uint64_t>(state.max_iterations); ++k)
    names.push_back(NewPath(k, ".jpg"));
  for (auto _ : state) TraceRequestPath(names[n++]);
}

// A trace of a path the key holds already, anywhere in it: a lookup.
void BM_TraceRepeat(benchmark::State& state) {
  const std::int64_t count = state.range(0);
  static std::map<std::int64_t, bool> built;
  if (!built[count]) {
    if (!FreshTraceStore(count, ScratchFile("trace-repeat.sqlite"))) {
      state.SkipWithError("cannot build the prefilled store");
      return;
    }
    built[count] = true;
  }
  UseStore(ScratchFile("trace-repeat.sqlite"));
  Warm(count);
  std::vector<std::string> names;
  for (std::int64_t k = 0; k < 4096; ++k) names.push_back(PrefillName((k * 104729) % count));
  std::size_t n = 0;
  for (auto _ : state) TraceRequestPath(names[n++ % names.size()]);
}

// --- SQLite alone, for reference ---

// The floor under any store on SQLite: one indexed SELECT per iteration on a
// WAL database, each thread on a connection of its own, nothing else. Its
// two-thread ratio bounds what the trace's repeated-path read can reach.
void BM_SqliteRead(benchmark::State& state) {
  static const std::string path = [] {
    const std::string file = ScratchFile("reads.sqlite");
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK && Sql(db, "PRAGMA journal_mode=WAL") &&
              Sql(db, "CREATE TABLE t(name TEXT PRIMARY KEY, data BLOB)") &&
              Sql(db,
                  "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
                  "INSERT INTO t SELECT '/img/' || i || '.jpg', x'01' FROM n");
    sqlite3_close(db);
    return ok ? file : std::string();
  }();
  sqlite3* db = nullptr;
  sqlite3_stmt* read = nullptr;
  if (path.empty() ||
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
          SQLITE_OK ||
      // Two connections opening the log at once: one waits for the other.
      sqlite3_busy_timeout(db, 1000) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "SELECT data FROM t WHERE name = ?1", -1, &read, nullptr) !=
          SQLITE_OK) {
    state.SkipWithError("cannot open the reference database");
    sqlite3_close(db);
    return;
  }
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
  char name[32];
  for (auto _ : state) {
    const int n = std::snprintf(name, sizeof name, "/img/%zu.jpg", i++ % 1000);
    sqlite3_bind_text(read, 1, name, n, SQLITE_STATIC);
    benchmark::DoNotOptimize(sqlite3_step(read));
    sqlite3_reset(read);
  }
  sqlite3_finalize(read);
  sqlite3_close(db);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Prints the targets once every benchmark has run.
class TargetReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      bool median;
      if (!KeptRun(run, &median)) continue;
      std::string name = run.run_name.str();
      Seen& seen = seen_[name];
      if (median || !seen.any) {
        seen = {true, run.GetAdjustedRealTime(), {}};
        for (const auto& counter : run.counters)
          seen.counters[counter.first] = counter.second.value;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    out << "\nTargets\n" << std::fixed << std::setprecision(2);
    const double one = Counter("BM_RequestRepeat90/real_time/threads:1", "items_per_second");
    const double two = Counter("BM_RequestRepeat90/real_time/threads:2", "items_per_second");
    Line(out, "requests/s, 1 thread, 90% repeats", one, ">= 100000", one >= 100000);
    Line(out, "requests/s, 2 threads / 1 thread", one > 0 ? two / one : 0, ">= 1.5",
         two >= 1.5 * one);
    const double readOne = Counter("BM_SqliteRead/real_time/threads:1", "items_per_second");
    const double readTwo = Counter("BM_SqliteRead/real_time/threads:2", "items_per_second");
    out << "  " << std::left << std::setw(36) << "SQLite reads, 2 threads / 1 thread" << std::right
        << std::setw(12) << (readOne > 0 ? readTwo / readOne : 0)
        << "  (reference: the ceiling of the line above)\n";
    const double p50 = Counter("BM_RequestNewPath/real_time", "p50_us");
    Line(out, "new-path request, median us", p50, "<= 30", p50 > 0 && p50 <= 30);
    for (const char* kind : {"BM_TraceNew", "BM_TraceRepeat"}) {
      const double small = Time(std::string(kind) + "/1000");
      const double large = Time(std::string(kind) + "/1000000");
      Line(out, std::string(kind) + " 1M / 1k", small > 0 ? large / small : 0, "<= 1.5",
           small > 0 && large > 0 && large / small <= 1.5);
    }
    out.flush();
  }

 private:
  struct Seen {
    bool any = false;
    double realTime = 0;
    std::map<std::string, double> counters;
  };

  double Counter(const std::string& run, const std::string& counter) {
    auto it = seen_.find(run);
    if (it == seen_.end()) return 0;
    auto c = it->second.counters.find(counter);
    return c == it->second.counters.end() ? 0 : c->second;
  }
  double Time(const std::string& prefix) {
    for (const auto& entry : seen_)
      if (entry.first.rfind(prefix, 0) == 0) return entry.second.realTime;
    return 0;
  }
  static void Line(std::ostream& out, const std::string& what, double value, const char* target,
                   bool met) {
    out << "  " << std::left << std::setw(36) << what << std::right << std::setw(12) << value
        << "  target " << target << ": ";
    if (value <= 0) {
      out << "not measured\n";
    } else {
      out << (met ? "met" : "MISSED") << "\n";
    }
  }

  std::map<std::string, Seen> seen_;
};

}  // namespace
}  // namespace refwarden::bench

int main(int argc, char** argv) {
  using namespace refwarden::bench;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RegisterBenchmark("BM_RequestRepeat90", BM_RequestRepeat90)
      ->UseRealTime()
      ->Threads(1)
      ->Threads(2);
  benchmark::RegisterBenchmark("BM_SqliteRead", BM_SqliteRead)->UseRealTime()->Threads(1)->Threads(2);
  benchmark::RegisterBenchmark("BM_RequestNewPath", BM_RequestNewPath)->UseRealTime();
  std::vector<std::int64_t> sizes = {1000, 100000};
  const char* large = std::getenv("REFWARDEN_BENCH_LARGE");
  if (large != nullptr && large[0] == '1') sizes.push_back(1000000);
  for (std::int64_t size : sizes) {
    benchmark::RegisterBenchmark("BM_TraceNew", BM_TraceNew)
        ->Arg(size)
        ->Iterations(2000)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_TraceRepeat", BM_TraceRepeat)->Arg(size)->UseRealTime();
  }
  TargetReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
