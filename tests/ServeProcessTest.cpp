// `refwarden serve` as a process, against clients that hold connections open:
// slow senders of header lines and downloads that are never read. Bounds are
// generous; the measured times are in BENCHMARKS.md.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/RawHttp.h"

extern char** environ;

namespace refwarden {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The tool on a free port of 127.0.0.1, serving a root of the test's own.
class ServeProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("refwarden-serve-process-" + std::to_string(getpid()));
    fs::create_directories(dir_ / "root");
    std::ofstream(dir_ / "root" / "index.html") << "home";
    // Sparse: a big download without the disk space.
    std::ofstream(dir_ / "root" / "big.bin");
    fs::resize_file(dir_ / "root" / "big.bin", 256 << 20);
    setenv("REFWARDEN_REGISTRY", (dir_ / "registry.sqlite").c_str(), 1);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string root = (dir_ / "root").string();
    const char* argv[] = {REFWARDEN_TOOL_PATH, "serve",       "--root", root.c_str(),
                          "--listen",          "127.0.0.1:0", nullptr};
    if (posix_spawn(&pid_, REFWARDEN_TOOL_PATH, &actions, nullptr, const_cast<char**>(argv),
                    environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = out[0];

    // "  own site:     http://127.0.0.1:PORT/"
    const std::string mark = "own site:";
    const std::string address = "http://127.0.0.1:";
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::size_t at = std::string::npos;
    while (pid_ > 0 && Clock::now() < deadline) {
      const std::size_t line = printed_.find(mark);
      at = line == std::string::npos ? line : printed_.find(address, line);
      if (at != std::string::npos && printed_.find('/', at + address.size()) != std::string::npos)
        break;
      pollfd ready{output_, POLLIN, 0};
      char buffer[4096];
      if (poll(&ready, 1, 100) <= 0) continue;
      const ssize_t n = read(output_, buffer, sizeof buffer);
      if (n <= 0) break;
      printed_.append(buffer, static_cast<std::size_t>(n));
    }
    if (at != std::string::npos) port_ = std::atoi(printed_.c_str() + at + address.size());
  }
  void TearDown() override {
    for (const int fd : sockets_) close(fd);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
    fs::remove_all(dir_);
  }

  // Sends `signal` and waits up to `limit` for the process to end. Returns
  // the time it took and its wait status, or nullopt while it still runs.
  std::optional<std::pair<Clock::duration, int>> Stop(int signal, Clock::duration limit) {
    const auto start = Clock::now();
    kill(pid_, signal);
    for (int status = 0; Clock::now() - start < limit;
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return std::make_pair(Clock::now() - start, status);
      }
    }
    return std::nullopt;
  }

  // A connection to the tool that has sent `request` and is left open, from
  // another address than the requests whose answers are timed.
  int Open(const std::string& request, int receiveBuffer = 0) {
    const int fd = rawhttp::Connect(port_, 10, "127.0.0.2");
    if (fd < 0) return fd;
    if (receiveBuffer > 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    sockets_.push_back(fd);
    return fd;
  }

  fs::path dir_;
  pid_t pid_ = -1;
  int output_ = -1;
  int port_ = 0;
  std::string printed_;
  std::vector<int> sockets_;
};

TEST_F(ServeProcessTest, SlowClientsDelayNoRequestNorTheStop) {
  ASSERT_GT(port_, 0) << printed_;

  std::vector<int> slow;
  for (int i = 0; i < 32; ++i) slow.push_back(Open("GET / HTTP/1.1\r\nHost: x\r\n"));
  for (int i = 0; i < 4; ++i) Open("GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n", 4096);
  std::thread drip([&slow] {
    for (int round = 0; round < 3; ++round) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      for (const int fd : slow) send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
    }
  });

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto start = Clock::now();
  const auto responses = rawhttp::ParseResponses(
      rawhttp::Exchange(port_, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const auto took = Clock::now() - start;
  drip.join();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].status, 200);
  EXPECT_EQ(responses[0].body, "home");
  EXPECT_LT(took, std::chrono::seconds(3)) << "while 32 clients dripped header lines";

  const auto stopped = Stop(SIGTERM, std::chrono::seconds(10));
  ASSERT_TRUE(stopped) << "still running 10 s after SIGTERM";
  EXPECT_LT(stopped->first, std::chrono::seconds(5));
  EXPECT_TRUE(WIFEXITED(stopped->second) && WEXITSTATUS(stopped->second) == 0)
      << "wait status " << stopped->second;
}

}  // namespace
}  // namespace refwarden
