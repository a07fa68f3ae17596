#include "tools/replay/LogParser.h"

#include <cstring>

#include "strings/AsciiText.h"
#include "tools/replay/LogDates.h"

namespace refwarden {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void SkipBlanks(std::string_view* rest) {
  std::size_t n = 0;
  while (n < rest->size() && IsBlank((*rest)[n])) ++n;
  rest->remove_prefix(n);
}

// Removes and returns the run of non-blank bytes at the front of *rest,
// together with the blanks after it.
std::string_view NextToken(std::string_view* rest) {
  std::size_t end = 0;
  while (end < rest->size() && !IsBlank((*rest)[end])) ++end;
  const std::string_view token = rest->substr(0, end);
  rest->remove_prefix(end);
  SkipBlanks(rest);
  return token;
}

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringAsciiCase(s.substr(0, prefix.size()), prefix);
}

// Removes a W3C field from the front of *rest, with the blanks after it, and
// stores its value in *value: a bare token as it stands, a quoted one without
// its quotes and with "" made one quote (in *scratch when that was needed).
// Returns false for an unclosed quote or a closing quote followed by more
// than blanks.
bool NextW3cField(std::string_view* rest, std::string_view* value, std::string* scratch) {
  if (rest->front() != '"') {
    *value = NextToken(rest);
    return true;
  }
  std::size_t i = 1;
  bool doubled = false;
  for (;;) {
    const void* quote = std::memchr(rest->data() + i, '"', rest->size() - i);
    if (quote == nullptr) return false;
    i = static_cast<std::size_t>(static_cast<const char*>(quote) - rest->data());
    if (i + 1 < rest->size() && (*rest)[i + 1] == '"') {
      doubled = true;
      i += 2;
      continue;
    }
    break;
  }
  const std::string_view raw = rest->substr(1, i - 1);
  if (i + 1 < rest->size() && !IsBlank((*rest)[i + 1])) return false;
  rest->remove_prefix(i + 1);
  SkipBlanks(rest);
  if (!doubled) {
    *value = raw;
    return true;
  }
  scratch->clear();
  for (std::size_t k = 0; k < raw.size(); ++k) {
    scratch->push_back(raw[k]);
    if (raw[k] == '"') ++k;  // the second of a doubled quote
  }
  *value = *scratch;
  return true;
}

// Removes a double-quoted combined-format value from the front of *rest (and
// the blanks after it) and stores it, unescaped, in *value. Returns false
// when *rest does not start with a quote, the closing quote is missing, or an
// escape stands for a NUL byte. `scratch` holds the value when it carried
// escapes.
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
  if (end < rest->size() && !IsBlank((*rest)[end])) return false;
  while (end < rest->size() && IsBlank((*rest)[end])) ++end;
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

// A W3C value: '-' is an absent one.
std::string_view W3cValue(std::string_view field) {
  return field == "-" ? std::string_view() : field;
}

}  // namespace

LogFormat DetectLogFormat(std::string_view firstLine) {
  return !firstLine.empty() && firstLine.front() == '#' ? LogFormat::kW3c : LogFormat::kCombined;
}

LineKind LogParser::Parse(std::string_view line, LogRequest* request) {
  if (TrimBlanks(line).empty()) return LineKind::kIgnored;
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) return LineKind::kMalformed;
  return format_ == LogFormat::kW3c ? ParseW3c(line, request) : ParseCombined(line, request);
}

LineKind LogParser::ParseW3cDirective(std::string_view line) {
  constexpr std::string_view kFields = "#Fields:";
  if (!StartsWithIgnoreCase(line, kFields)) return LineKind::kIgnored;
  std::string_view rest = TrimBlanks(line.substr(kFields.size()));
  haveFields_ = true;
  columnCount_ = 0;
  for (std::size_t& column : columns_) column = kNoColumn;
  const auto keep = [this](Kept kept) {
    if (columns_[kept] == kNoColumn) columns_[kept] = columnCount_;
  };
  while (!rest.empty()) {
    const std::string_view name = NextToken(&rest);
    if (EqualsIgnoringAsciiCase(name, "cs-uri-stem")) keep(kStem);
    if (EqualsIgnoringAsciiCase(name, "cs-uri-query")) keep(kQuery);
    if (EqualsIgnoringAsciiCase(name, "cs-host") || EqualsIgnoringAsciiCase(name, "cs(Host)"))
      keep(kHost);
    if (EqualsIgnoringAsciiCase(name, "cs(Referer)")) keep(kReferer);
    // The UTC day wins over the local one when a log has both.
    if (EqualsIgnoringAsciiCase(name, "date")) columns_[kDate] = columnCount_;
    if (EqualsIgnoringAsciiCase(name, "date-local")) keep(kDate);
    ++columnCount_;
  }
  keptOfColumn_.assign(columnCount_, kKeptCount);
  for (int k = 0; k < kKeptCount; ++k) {
    if (columns_[k] != kNoColumn) keptOfColumn_[columns_[k]] = static_cast<unsigned char>(k);
  }
  fields_.url = columns_[kStem] != kNoColumn;
  fields_.host = columns_[kHost] != kNoColumn;
  fields_.referer = columns_[kReferer] != kNoColumn;
  return LineKind::kFields;
}

LineKind LogParser::ParseW3c(std::string_view line, LogRequest* request) {
  if (line.front() == '#') return ParseW3cDirective(line);
  if (!haveFields_ || !fields_.url) return LineKind::kMalformed;

  std::string_view rest = TrimBlanks(line);
  std::string_view values[kKeptCount + 1];
  std::size_t column = 0;
  for (; !rest.empty(); ++column) {
    const int kept = column < keptOfColumn_.size() ? int{keptOfColumn_[column]} : int{kKeptCount};
    std::string_view field;
    if (!NextW3cField(&rest, &field, &unquoted_[kept])) return LineKind::kMalformed;
    values[kept] = W3cValue(field);
  }
  if (column != columnCount_ || values[kStem].empty()) return LineKind::kMalformed;

  request->hasHost = fields_.host;
  request->hasReferer = fields_.referer;
  request->host = values[kHost];
  request->referer = values[kReferer];
  request->date = ParseW3cDate(values[kDate]);
  const std::string_view stem = values[kStem];
  const std::string_view query = values[kQuery];
  if (query.empty()) {
    request->url = stem;
  } else {
    url_.assign(stem.data(), stem.size());
    url_.push_back('?');
    url_.append(query.data(), query.size());
    request->url = url_;
  }
  return LineKind::kRequest;
}

// host ident user [date] "METHOD URL PROTOCOL" status bytes "referer" "agent"
// Anything after the referer (the agent, fields some servers add) is not read.
LineKind LogParser::ParseCombined(std::string_view line, LogRequest* request) {
  std::string_view rest = TrimBlanks(line);
  for (int i = 0; i < 3; ++i) {
    if (NextToken(&rest).empty()) return LineKind::kMalformed;
  }
  if (rest.empty() || rest.front() != '[') return LineKind::kMalformed;
  const std::size_t close = rest.find(']');
  if (close == std::string_view::npos) return LineKind::kMalformed;
  const std::uint32_t date = ParseCombinedDate(rest.substr(1, close - 1));
  rest.remove_prefix(close + 1);
  rest = TrimBlanks(rest);

  std::string_view requestLine, referer;
  if (!NextQuoted(&rest, &requestLine, &unquoted_[kStem])) return LineKind::kMalformed;
  if (NextToken(&rest).empty() || NextToken(&rest).empty()) return LineKind::kMalformed;
  if (!NextQuoted(&rest, &referer, &unquoted_[kReferer])) return LineKind::kMalformed;

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

}  // namespace refwarden
