// The exit statuses of the refwarden tool: one table for every verb, each
// value with one meaning wherever it is given, so that a script can test a
// status without knowing which verb ran. Each verb's --help lists the rows it
// can give and `refwarden --help` prints the whole table, both rendered from
// kExitStatuses below; the README carries the same table (a test compares).
//
// A new status takes the next free number and a row here, never a number a
// row already has; see ARCHITECTURE.md, "where a change goes".
#pragma once

#include <initializer_list>
#include <string>

namespace refwarden {

// Unscoped so that a status is the int the process exits with.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitTraceNotWritten = 3,
  kExitNoSuchKey = 4,
  kExitWarnings = 5,
  kExitErrors = 6,
  kExitUnreachable = 7,
  kExitLogRefused = 8,
  kExitAccessDenied = 9,
  kExitNotAStore = 10,
  kExitNotConfirmed = 11,
  // An interrupted run exits 128 + the signal's number, as a shell reports
  // it; the row below stands for all of them.
  kExitSignalBase = 128,
};

struct ExitStatusRow {
  ExitStatus status;
  const char* shown;    // the number as --help prints it ("3", "128+N")
  const char* meaning;  // one line, the same for every verb that gives it
};

inline constexpr ExitStatusRow kExitStatuses[] = {
    {kExitOk, "0", "ok: done, nothing worse than ok"},
    {kExitFailed, "1",
     "failed: the filter cannot be loaded, a file or server cannot be opened,\n"
     "read or written, or another store error (the message says which)"},
    {kExitUsage, "2", "usage: the command line is refused (the message says why)"},
    {kExitTraceNotWritten, "3", "trace not written: requests passed unchanged (check, replay)"},
    {kExitNoSuchKey, "4", "no such key or value, or a root the registry does not hold (reg)"},
    {kExitWarnings, "5", "warnings only, no error (doctor, probe)"},
    {kExitErrors, "6", "errors: the site is NOT protected, or misconfigured (doctor, probe)"},
    {kExitUnreachable, "7", "unreachable, or nothing usable to the site's own referer (probe)"},
    {kExitLogRefused, "8",
     "a log refused: not a log of a format replay reads, it records no\n"
     "referer, or a #Fields directive is refused (replay)"},
    {kExitAccessDenied, "9", "Access is denied (reg)"},
    {kExitNotAStore, "10", "not a registry store (reg)"},
    {kExitNotConfirmed, "11",
     "not confirmed: the answer was No, or no terminal to ask (reg delete)"},
    {kExitSignalBase, "128+N",
     "interrupted by signal N (130: Ctrl-C), with the summary so far (replay)"},
};

// The rows of `statuses`, in that order, one "  3      meaning" block each
// (a meaning's further lines indented under it), each line ending in '\n'.
// Every status given must have a row.
inline std::string ExitStatusLines(std::initializer_list<ExitStatus> statuses) {
  std::string out;
  for (ExitStatus status : statuses) {
    for (const ExitStatusRow& row : kExitStatuses) {
      if (row.status != status) continue;
      std::string number = row.shown;
      number.resize(7, ' ');
      out += "  " + number;
      for (const char* c = row.meaning; *c != '\0'; ++c) {
        out += *c;
        if (*c == '\n') out += "         ";
      }
      out += '\n';
    }
  }
  return out;
}

// The whole table, under the heading `refwarden --help` prints it with.
inline std::string ExitStatusTable() {
  std::string out = "Exit statuses (every verb; --help and --version exit 0):\n";
  for (const ExitStatusRow& row : kExitStatuses) out += ExitStatusLines({row.status});
  return out;
}

}  // namespace refwarden
