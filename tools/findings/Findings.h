// What doctor and probe tell an administrator: one finding per line, each
// with a severity, the thing it is about, what it means for protection and
// how to mend it. Both verbs print findings the same way, as text grouped by
// subject or as JSON, and derive their exit status from the worst severity.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/ExitStatus.h"

namespace refwarden {

enum class Severity { kOk, kWarning, kError };

struct Finding {
  std::string check;    // a stable ID such as "enable-cache"
  Severity severity = Severity::kOk;
  std::string subject;  // what it is about: "site 'Default Web Site'", "pool 'DefaultAppPool'", a URL
  std::string message;  // what was found and what it means for protection
  std::string fix;      // the command or step that mends it; empty when there is none
};

// "ok", "warning" or "error".
const char* SeverityName(Severity severity);

// The worst severity among `findings`; kOk for none.
Severity WorstSeverity(const std::vector<Finding>& findings);

// kExitOk, kExitWarnings or kExitErrors for the worst severity among
// `findings`.
ExitStatus ExitStatusFor(const std::vector<Finding>& findings);

// One block per subject, in the order subjects first appear; one line per
// finding ("  error    enable-cache: ...") with its fix indented below it.
// Text taken from outside (paths, URLs, headers) is escaped for the terminal.
void PrintFindingsText(std::ostream& out, const std::vector<Finding>& findings);

// {"findings": [{"check": ..., "severity": "ok"|"warning"|"error",
//   "subject": ..., "message": ..., "fix": ...}]} on one line, then a newline.
void PrintFindingsJson(std::ostream& out, const std::vector<Finding>& findings);

}  // namespace refwarden
