// Another process in the middle of a write transaction on a store: the sqlite3
// shell after an administrator's BEGIN IMMEDIATE, until destroyed. POSIX only.
#pragma once

#include <sys/types.h>

#include <string>

namespace refwarden::testing {

class WriteTransactionElsewhere {
 public:
  // Starts `sqlite3` on the store file `store` and returns once it holds the
  // write lock, or after 10 s without it (then held() is false). Requires
  // the sqlite3 shell on the PATH for held() to become true.
  explicit WriteTransactionElsewhere(const std::string& store);
  // Rolls the transaction back and waits for the shell to end.
  ~WriteTransactionElsewhere();
  WriteTransactionElsewhere(const WriteTransactionElsewhere&) = delete;
  WriteTransactionElsewhere& operator=(const WriteTransactionElsewhere&) = delete;

  // True while the shell holds the transaction.
  bool held() const;

 private:
  void Send(const std::string& text);
  std::string flag_;  // made by the shell once BEGIN IMMEDIATE succeeded
  pid_t pid_ = -1;
  int to_ = -1;
};

}  // namespace refwarden::testing
