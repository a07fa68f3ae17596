// The combined format's parser (see MakeCombinedParser).
#include <cstring>

#include "tools/replay/LogDates.h"
#include "tools/replay/LogParser.h"
#include "tools/replay/LogTokens.h"

namespace refwarden {

namespace {

// Removes a double-quoted value from the front of *rest (and the blanks
// after it) and stores it, unescaped, in *value. Returns false when *rest
// does not start with a quote, the closing quote is missing, or an escape
// stands for a NUL byte. `scratch` holds the value when it carried escapes.
bool NextQuoted(std::string_view* rest, std::string_view* value, std::string* scratch) {
  if (rest->empty() || rest->front() != '"') return false;
  std::size_t i = 1;
  bool escaped = false;
  for (; i < rest->size() && (*rest)[i] != '"'; ++i) {
    if ((*rest)[i] == '\\') {
      escaped = true;
      ++i;
    }
  }
  if (i >= rest->size()) return false;
  const std::string_view raw = rest->substr(1, i - 1);
  std::size_t end = i + 1;
  if (end < rest->size() && !IsLogBlank((*rest)[end])) return false;
  while (end < rest->size() && IsLogBlank((*rest)[end])) ++end;
  rest->remove_prefix(end);
  if (!escaped) {
    *value = raw;
    return true;
  }
  scratch->clear();
  for (std::size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] != '\\' || k + 1 == raw.size()) {
      scratch->push_back(raw[k]);
      continue;
    }
    const char next = raw[k + 1];
    if (next == '"' || next == '\\') {
      scratch->push_back(next);
      ++k;
    } else if (next == 'x' && k + 3 < raw.size() && HexDigitValue(raw[k + 2]) >= 0 &&
               HexDigitValue(raw[k + 3]) >= 0) {
      const char byte =
          static_cast<char>(HexDigitValue(raw[k + 2]) * 16 + HexDigitValue(raw[k + 3]));
      if (byte == '\0') return false;
      scratch->push_back(byte);
      k += 3;
    } else {
      scratch->push_back('\\');
    }
  }
  *value = *scratch;
  return true;
}

class CombinedParser final : public LineParser {
 public:
  LineKind Parse(std::string_view line, LogRequest* request) override;
  const LogFields& fields() const override { return kFields; }

 private:
  static constexpr LogFields kFields{true, false, true};
  std::string requestLine_, referer_;  // values that carried escapes
};

// host ident user [date] "METHOD URL PROTOCOL" status bytes "referer" "agent"
// Anything after the referer (the agent, fields some servers add) is not read.
LineKind CombinedParser::Parse(std::string_view line, LogRequest* request) {
  std::string_view rest = TrimLogBlanks(line);
  if (rest.empty()) return LineKind::kIgnored;
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) return LineKind::kMalformed;
  for (int i = 0; i < 3; ++i) {
    if (NextLogToken(&rest).empty()) return LineKind::kMalformed;
  }
  if (rest.empty() || rest.front() != '[') return LineKind::kMalformed;
  const std::size_t close = rest.find(']');
  if (close == std::string_view::npos) return LineKind::kMalformed;
  const std::uint32_t date = ParseCombinedDate(rest.substr(1, close - 1));
  rest.remove_prefix(close + 1);
  rest = TrimLogBlanks(rest);

  std::string_view requestLine, referer;
  if (!NextQuoted(&rest, &requestLine, &requestLine_)) return LineKind::kMalformed;
  if (NextLogToken(&rest).empty() || NextLogToken(&rest).empty()) return LineKind::kMalformed;
  if (!NextQuoted(&rest, &referer, &referer_)) return LineKind::kMalformed;

  // The URL is what stands between the method and the protocol; HTTP/0.9
  // request lines have no protocol.
  const std::size_t methodEnd = requestLine.find(' ');
  if (methodEnd == 0 || methodEnd == std::string_view::npos) return LineKind::kMalformed;
  std::string_view url = requestLine.substr(methodEnd + 1);
  const std::size_t protocolStart = url.rfind(' ');
  if (protocolStart != std::string_view::npos && url.substr(protocolStart + 1, 5) == "HTTP/") {
    url = url.substr(0, protocolStart);
  }
  if (url.empty()) return LineKind::kMalformed;

  request->hasHost = false;
  request->hasReferer = true;
  request->host = {};
  request->referer = referer == "-" ? std::string_view() : referer;
  request->url = url;
  request->date = date;
  return LineKind::kRequest;
}

}  // namespace

std::unique_ptr<LineParser> MakeCombinedParser() { return std::make_unique<CombinedParser>(); }

}  // namespace refwarden
