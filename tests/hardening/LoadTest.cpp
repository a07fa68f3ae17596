// Eight server threads send a long run of requests through the filter, with
// the trace on the real store: every answer right, the exact set of paths
// stored, nothing left open and memory flat.
// REFWARDEN_LOAD_REQUESTS sets the requests per thread (default 1,000,000).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/posix/RegistryStats.h"
#include "tests/hardening/HardeningSupport.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"

namespace refwarden::hardening {
namespace {

constexpr int kThreads = 8;
constexpr std::uint64_t kRepeatedPaths = 1000;

// Page caches of up to eight connections (8 MiB each) fill as the store
// grows; beyond that the run may not grow. A per-request leak of 12 bytes
// over 8,000,000 requests already exceeds it.
constexpr std::uint64_t kMaxGrowthBytes = 96u << 20;

// Sanitizers hold freed memory back and map shadow memory as the run goes, so
// resident memory says nothing there; LeakSanitizer watches leaks instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeans = false;
#else
constexpr bool kResidentMemoryMeans = true;
#endif

std::uint64_t Mix(std::uint64_t t, std::uint64_t i) {
  std::uint64_t x = (t << 40) ^ i;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// Request `i` of thread `t`: one in ten asks for a path of its own, the rest
// for one of kRepeatedPaths shared paths; suffixes, referers and queries vary.
TestRequest LoadRequest(std::uint64_t t, std::uint64_t i) {
  static const char* const kSuffixes[] = {".jpg", ".gif", ".png", ".bmp", ".html", ".css"};
  const std::uint64_t h = Mix(t, i);
  TestRequest r;
  r.host = std::string(kSiteHost);
  if (i % 10 == 9) {
    r.path = "/load/t" + std::to_string(t) + "/" + std::to_string(i) + kSuffixes[h % 6];
  } else {
    const std::uint64_t k = h % kRepeatedPaths;
    r.path = "/load/shared/" + std::to_string(k) + kSuffixes[k % 6];
  }
  switch ((h >> 8) % 8) {
    case 0:
      break;  // no Referer header
    case 1:
      r.referer = "http://site.example/page";
      break;
    case 2:
      r.referer = "https://site.example/a/b?c=d";
      break;
    default:
      r.referer = "http://other" + std::to_string((h >> 16) % 5) + ".example/p.html";
  }
  r.url = (h >> 24) % 4 == 0 ? r.path + "?v=" + std::to_string(i) : r.path;
  return r;
}

TEST(LoadTest, EveryRequestRightExactTraceNoLeakFlatMemory) {
  const std::uint64_t perThread = SizeFromEnvironment("REFWARDEN_LOAD_REQUESTS", 1'000'000);
  const std::uint64_t total = perThread * kThreads;
  testing::TempStore store;

  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> wrong{0};
  std::mutex wrongLock;
  std::vector<std::string> firstWrong;
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint64_t i = 0; i < perThread; ++i) {
        const TestRequest r = LoadRequest(static_cast<std::uint64_t>(t), i);
        const FilterOutcome o = Send(r);
        std::string why = CheckOutcome(r, o);
        if (why.empty() && o.rewritten != !RuleReplacement(r).empty()) {
          why = "url '" + r.url + "' referer '" + r.referer + "': not rewritten, trace failed";
        }
        if (!why.empty()) {
          ++wrong;
          std::lock_guard<std::mutex> hold(wrongLock);
          if (firstWrong.size() < 10) firstWrong.push_back(why);
        }
        done.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  // Warm-up: a tenth of the run, by which the pool and caches are in use.
  while (done.load() < total / 10) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::uint64_t warmResident = ResidentBytes();
  for (std::thread& thread : threads) thread.join();
  const std::uint64_t endResident = ResidentBytes();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "load: " << total << " requests by " << kThreads << " threads in " << seconds
            << " s; resident " << (warmResident >> 20) << " MiB after warm-up, "
            << (endResident >> 20) << " MiB at the end\n";

  EXPECT_EQ(wrong.load(), 0u);
  for (const std::string& why : firstWrong) ADD_FAILURE() << why;
  EXPECT_EQ(RegistryOpenHandleCount(), 0u);
  if (kResidentMemoryMeans) {
    EXPECT_LE(endResident, warmResident + kMaxGrowthBytes)
        << "resident memory grew from " << warmResident << " to " << endResident << " bytes";
  }

  // The exact set: every path asked for once, nothing else.
  std::unordered_set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (std::uint64_t i = 0; i < perThread; ++i)
      expected.insert(LoadRequest(static_cast<std::uint64_t>(t), i).path);
  const std::size_t expectedCount = expected.size();
  std::size_t stored = 0, unexpected = 0, badData = 0;
  const LONG read = testing::ForEachValue(kTraceKey, [&](const testing::StoredValue& value) {
    ++stored;
    if (expected.erase(value.name) == 0 && ++unexpected <= 10)
      ADD_FAILURE() << "stored but never asked for, or twice: " << value.name;
    if (value.type != REG_SZ || value.data != testing::kTraceData) ++badData;
  });
  EXPECT_EQ(read, ERROR_SUCCESS);
  EXPECT_EQ(stored, expectedCount);
  EXPECT_EQ(unexpected, 0u);
  EXPECT_EQ(badData, 0u);
  EXPECT_TRUE(expected.empty()) << expected.size() << " paths missing, e.g. "
                                << (expected.empty() ? "" : *expected.begin());
  EXPECT_EQ(IntegrityCheck(store.Path()), "ok");

  EXPECT_EQ(RegistryOpenHandleCount(), 0u);
  RegistryDrainPool();
  EXPECT_EQ(RegistryOpenConnectionCount(), 0u);
}

}  // namespace
}  // namespace refwarden::hardening
