// A process writing traces is killed with SIGKILL in the middle of its load,
// round after round. It reports each path whose request was rewritten, that is
// whose trace write succeeded, through a pipe before going on; after every kill
// the store passes integrity_check and holds every reported path.
// REFWARDEN_CRASH_ROUNDS sets the number of rounds (default 30).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/RegistryStats.h"
#include "tests/hardening/HardeningSupport.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"

namespace refwarden::hardening {
namespace {

constexpr int kWriterThreads = 3;
constexpr std::uint64_t kMaxRequestsPerThread = 200'000;  // bounds a writer never killed

void WriteAll(int fd, const std::string& line) {
  // A line is shorter than PIPE_BUF, so each write lands whole.
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(2);
}

// The writer: threads sending requests with new and repeated paths, each
// rewritten path reported as "+path", a request that went wrong as "!why".
[[noreturn]] void RunWriter(int round, int fd) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriterThreads; ++t) {
    threads.emplace_back([round, t, fd] {
      for (std::uint64_t i = 0; i < kMaxRequestsPerThread; ++i) {
        TestRequest r;
        r.host = std::string(kSiteHost);
        r.referer = "http://elsewhere.example/";
        r.path = i % 4 == 3 ? "/crash/shared/" + std::to_string(i % 64) + ".png"
                            : "/crash/r" + std::to_string(round) + "/t" + std::to_string(t) + "/" +
                                  std::to_string(i) + ".jpg";
        r.url = r.path;
        const FilterOutcome o = Send(r);
        const std::string why = CheckOutcome(r, o);
        if (!why.empty()) {
          WriteAll(fd, "!" + why + "\n");
        } else if (!o.rewritten) {
          WriteAll(fd, "!not rewritten, trace failed: " + r.path + "\n");
        } else {
          WriteAll(fd, "+" + r.path + "\n");
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  _exit(3);
}

// Reads lines from `fd` until `enough` of them came or the writer closed it;
// appends them to *lines. Returns false at the end of the pipe.
bool ReadLines(int fd, std::size_t enough, std::string* pending, std::vector<std::string>* lines) {
  char buffer[8192];
  while (lines->size() < enough) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending->append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending->find('\n', start)) != std::string::npos; start = nl + 1)
      lines->push_back(pending->substr(start, nl - start));
    pending->erase(0, start);
  }
  return true;
}

TEST(CrashSafetyTest, KilledWritersLoseNoAcknowledgedTrace) {
  const int rounds = static_cast<int>(SizeFromEnvironment("REFWARDEN_CRASH_ROUNDS", 30));
  testing::TempStore store;
  std::mt19937 random(1234);
  std::size_t acknowledged = 0;
  for (int round = 0; round < rounds; ++round) {
    RegistryDrainPool();  // no connection may cross the fork
    ASSERT_EQ(RegistryOpenConnectionCount(), 0u);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      RunWriter(round, fds[1]);
    }
    close(fds[1]);
    // Kill after a varying number of acknowledgements, then take what was
    // already in the pipe: everything the writer acknowledged before it died.
    const std::size_t killAfter = 20 + random() % 1500;
    std::vector<std::string> lines;
    std::string pending;
    ReadLines(fds[0], killAfter, &pending, &lines);
    kill(pid, SIGKILL);
    ReadLines(fds[0], SIZE_MAX, &pending, &lines);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "round " << round << ": writer ended with status " << status;

    EXPECT_EQ(IntegrityCheck(store.Path()), "ok") << "round " << round;
    std::size_t missing = 0;
    for (const std::string& line : lines) {
      if (line.empty() || line[0] != '+') {
        ADD_FAILURE() << "round " << round << ": writer reported " << line;
        continue;
      }
      ++acknowledged;
      const std::string path = line.substr(1);
      if (!testing::IsTraced(path) && ++missing <= 5)
        ADD_FAILURE() << "round " << round << ": acknowledged but not stored: " << path;
    }
    EXPECT_EQ(missing, 0u) << "round " << round;
    EXPECT_EQ(RegistryOpenHandleCount(), 0u);
  }
  RecordProperty("acknowledged", static_cast<int>(acknowledged));
}

}  // namespace
}  // namespace refwarden::hardening
