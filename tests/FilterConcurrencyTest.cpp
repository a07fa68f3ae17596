// Many server threads at once through the filter's request handling, with the
// real store: every path traced exactly once, nothing left open.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "filter/RequestTrace.h"
#include "platform/posix/RegistryStats.h"
#include "tests/support/LinkedFilter.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"
#include "tools/FilterHost.h"

namespace refwarden {
namespace {

TEST(FilterConcurrencyTest, ThreadsTraceEveryPathOnceAndLeaveNothingOpen) {
  testing::TempStore store;
  constexpr int kThreads = 6;
  constexpr int kRequests = 400;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < kRequests; ++i) {
        // Half the paths are shared by every thread, half are the thread's own.
        const std::string url =
            i % 2 == 0 ? "/shared/" + std::to_string(i % 50) + ".jpg?t=" + std::to_string(t)
                       : "/own/" + std::to_string(t) + "/" + std::to_string(i) + ".png";
        const FilterOutcome outcome =
            RunPreprocHeaders(&testing::LinkedHttpFilterProc, {"h.org", "http://other.net/", url});
        const std::string expected = i % 2 == 0 ? "/refwarden.jpg" : "/refwarden.png";
        if (outcome.status != SF_STATUS_REQ_NEXT_NOTIFICATION || !outcome.rewritten ||
            outcome.url != expected) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(RegistryOpenHandleCount(), 0u);

  std::set<std::string> expected;
  for (int i = 0; i < 50; i += 2) expected.insert("/shared/" + std::to_string(i) + ".jpg");
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 1; i < kRequests; i += 2)
      expected.insert("/own/" + std::to_string(t) + "/" + std::to_string(i) + ".png");
  }
  const std::vector<testing::StoredValue> values = testing::ReadValues(kTraceKey);
  std::set<std::string> names;
  for (const testing::StoredValue& value : values) {
    names.insert(value.name);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ)) << value.name;
    EXPECT_EQ(value.data, testing::kTraceData) << value.name;
  }
  EXPECT_EQ(values.size(), names.size()) << "a path was stored twice";
  EXPECT_EQ(names, expected);
  RegistryDrainPool();
  EXPECT_EQ(RegistryOpenConnectionCount(), 0u);
}

}  // namespace
}  // namespace refwarden
