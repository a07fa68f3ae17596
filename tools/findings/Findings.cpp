#include "tools/findings/Findings.h"

#include <algorithm>
#include <iomanip>
#include <nlohmann/json.hpp>

#include "tools/replay/TerminalText.h"

namespace refwarden {

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kOk:
      return "ok";
    case Severity::kWarning:
      return "warning";
    case Severity::kError:
      return "error";
  }
  return "error";
}

Severity WorstSeverity(const std::vector<Finding>& findings) {
  Severity worst = Severity::kOk;
  for (const Finding& finding : findings) worst = std::max(worst, finding.severity);
  return worst;
}

ExitStatus ExitStatusFor(const std::vector<Finding>& findings) {
  switch (WorstSeverity(findings)) {
    case Severity::kOk:
      return kExitOk;
    case Severity::kWarning:
      return kExitWarnings;
    case Severity::kError:
      return kExitErrors;
  }
  return kExitErrors;
}

void PrintFindingsText(std::ostream& out, const std::vector<Finding>& findings) {
  // Subjects in the order they first appear, each with all of its findings.
  std::vector<std::string> subjects;
  for (const Finding& finding : findings) {
    if (std::find(subjects.begin(), subjects.end(), finding.subject) == subjects.end())
      subjects.push_back(finding.subject);
  }
  // Findings hold paths, URLs and header values from outside: NameText turns
  // control bytes and invalid UTF-8 into \xHH, and keeps Windows' backslashes.
  bool first = true;
  for (const std::string& subject : subjects) {
    if (!first) out << '\n';
    first = false;
    out << NameText(subject) << '\n';
    for (const Finding& finding : findings) {
      if (finding.subject != subject) continue;
      out << "  " << std::left << std::setw(9) << SeverityName(finding.severity)
          << NameText(finding.check) << ": " << NameText(finding.message) << '\n';
      if (!finding.fix.empty()) out << "           fix: " << NameText(finding.fix) << '\n';
    }
  }
}

void PrintFindingsJson(std::ostream& out, const std::vector<Finding>& findings) {
  nlohmann::json list = nlohmann::json::array();
  for (const Finding& finding : findings) {
    list.push_back({{"check", finding.check},
                    {"severity", SeverityName(finding.severity)},
                    {"subject", finding.subject},
                    {"message", finding.message},
                    {"fix", finding.fix}});
  }
  // Bytes that are not UTF-8 (a header value, a path) become U+FFFD rather
  // than an exception: JSON holds text only.
  out << nlohmann::json{{"findings", list}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace)
      << '\n';
}

}  // namespace refwarden
