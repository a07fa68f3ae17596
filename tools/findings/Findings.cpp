#include "tools/findings/Findings.h"

#include <cstdio>

namespace refwarden {

namespace {

// Control characters as \xHH, so that text from outside cannot act on a terminal.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

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
  for (const Finding& finding : findings)
    if (static_cast<int>(finding.severity) > static_cast<int>(worst)) worst = finding.severity;
  return worst;
}

int ExitStatusFor(const std::vector<Finding>& findings) {
  switch (WorstSeverity(findings)) {
    case Severity::kOk:
      return kExitFindingsOk;
    case Severity::kWarning:
      return kExitFindingsWarnings;
    case Severity::kError:
      return kExitFindingsErrors;
  }
  return kExitFindingsErrors;
}

void PrintFindingsText(std::ostream& out, const std::vector<Finding>& findings) {
  std::vector<std::string> subjects;
  for (const Finding& finding : findings) {
    bool seen = false;
    for (const std::string& subject : subjects) seen = seen || subject == finding.subject;
    if (!seen) subjects.push_back(finding.subject);
  }
  for (const std::string& subject : subjects) {
    out << Printable(subject) << '\n';
    for (const Finding& finding : findings) {
      if (finding.subject != subject) continue;
      std::string severity = SeverityName(finding.severity);
      severity.resize(8, ' ');
      out << "  " << severity << ' ' << finding.check << ": " << Printable(finding.message) << '\n';
      size_t start = 0;
      while (!finding.fix.empty() && start <= finding.fix.size()) {
        size_t end = finding.fix.find('\n', start);
        if (end == std::string::npos) end = finding.fix.size();
        out << "             fix: " << Printable(finding.fix.substr(start, end - start)) << '\n';
        start = end + 1;
      }
    }
  }
}

void PrintFindingsJson(std::ostream& out, const std::vector<Finding>& findings) {
  out << "{\"findings\": [";
  for (size_t i = 0; i < findings.size(); ++i) {
    const Finding& f = findings[i];
    out << (i ? ", " : "") << "{\"check\": " << JsonString(f.check) << ", \"severity\": \""
        << SeverityName(f.severity) << "\", \"subject\": " << JsonString(f.subject)
        << ", \"message\": " << JsonString(f.message) << ", \"fix\": " << JsonString(f.fix) << '}';
  }
  out << "]}\n";
}

}  // namespace refwarden
