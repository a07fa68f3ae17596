#include "tests/support/WriteTransactionElsewhere.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace refwarden::testing {

WriteTransactionElsewhere::WriteTransactionElsewhere(const std::string& store)
    : flag_(store + ".held") {
  // A socket rather than a pipe, so that writing to a shell that already
  // quit (-bail after an error) fails instead of raising SIGPIPE.
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(ends[1], 0);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 1);
    execlp("sqlite3", "sqlite3", "-bail", store.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ends[1]);
  to_ = ends[0];
  Send(".timeout 5000\nBEGIN IMMEDIATE;\n.shell touch '" + flag_ + "'\n");
  for (int i = 0; i < 1000 && !held(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

WriteTransactionElsewhere::~WriteTransactionElsewhere() {
  Send("ROLLBACK;\n.quit\n");
  if (to_ >= 0) close(to_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  unlink(flag_.c_str());
}

bool WriteTransactionElsewhere::held() const {
  std::error_code ignored;
  return std::filesystem::exists(flag_, ignored);
}

void WriteTransactionElsewhere::Send(const std::string& text) {
  if (to_ >= 0 && send(to_, text.data(), text.size(), MSG_NOSIGNAL) < 0) std::perror("send");
}

}  // namespace refwarden::testing
