// The W3C extended format's parser (see MakeW3cParser).
#include <cstring>
#include <vector>

#include "tools/replay/LogDates.h"
#include "tools/replay/LogParser.h"
#include "tools/replay/LogTokens.h"

namespace refwarden {

namespace {

// Removes a W3C field from the front of *rest, with the blanks after it, and
// stores its value in *value: a bare token as it stands, a quoted one without
// its quotes and with "" made one quote (in *scratch when that was needed).
// Returns false for an unclosed quote or a closing quote followed by more
// than blanks.
bool NextW3cField(std::string_view* rest, std::string_view* value, std::string* scratch) {
  if (rest->front() != '"') {
    *value = NextLogToken(rest);
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
  if (i + 1 < rest->size() && !IsLogBlank((*rest)[i + 1])) return false;
  rest->remove_prefix(i + 1);
  SkipLogBlanks(rest);
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

// A W3C value: '-' is an absent one.
std::string_view W3cValue(std::string_view field) {
  return field == "-" ? std::string_view() : field;
}

class W3cParser final : public LineParser {
 public:
  LineKind Parse(std::string_view line, LogRequest* request) override;
  const LogFields& fields() const override { return fields_; }

 private:
  LineKind ParseDirective(std::string_view line);

  static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);
  enum Kept { kStem, kQuery, kHost, kReferer, kDate, kKeptCount };

  bool haveFields_ = false;
  LogFields fields_;
  std::size_t columnCount_ = 0;
  std::size_t columns_[kKeptCount] = {kNoColumn, kNoColumn, kNoColumn, kNoColumn, kNoColumn};
  std::vector<unsigned char> keptOfColumn_;  // a Kept, or kKeptCount for a column not read
  std::string url_;                          // a URL joined from stem and query
  std::string unquoted_[kKeptCount + 1];     // values that carried doubled quotes
};

LineKind W3cParser::ParseDirective(std::string_view line) {
  constexpr std::string_view kFields = "#Fields:";
  if (!StartsWithIgnoringAsciiCase(line, kFields)) return LineKind::kIgnored;
  std::string_view rest = TrimLogBlanks(line.substr(kFields.size()));
  haveFields_ = true;
  columnCount_ = 0;
  for (std::size_t& column : columns_) column = kNoColumn;
  const auto keep = [this](Kept kept) {
    if (columns_[kept] == kNoColumn) columns_[kept] = columnCount_;
  };
  while (!rest.empty()) {
    const std::string_view name = NextLogToken(&rest);
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

LineKind W3cParser::Parse(std::string_view line, LogRequest* request) {
  std::string_view rest = TrimLogBlanks(line);
  if (rest.empty()) return LineKind::kIgnored;
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) return LineKind::kMalformed;
  if (line.front() == '#') return ParseDirective(line);
  if (!haveFields_ || !fields_.url) return LineKind::kMalformed;

  std::string_view values[kKeptCount + 1];
  std::size_t column = 0;
  if (std::memchr(rest.data(), '"', rest.size()) == nullptr) {
    // No quoted field: each field is a run of non-blanks (most logs, and
    // the fast way through them).
    const char* p = rest.data();
    const char* const end = p + rest.size();
    for (; p < end; ++column) {
      const char* const fieldEnd = FindLogBlank(p, end);
      if (column < keptOfColumn_.size()) {
        values[keptOfColumn_[column]] =
            W3cValue(std::string_view(p, static_cast<std::size_t>(fieldEnd - p)));
      }
      p = fieldEnd;
      while (p < end && IsLogBlank(*p)) ++p;
    }
  } else {
    for (; !rest.empty(); ++column) {
      const int kept = column < keptOfColumn_.size() ? int{keptOfColumn_[column]} : int{kKeptCount};
      std::string_view field;
      if (!NextW3cField(&rest, &field, &unquoted_[kept])) return LineKind::kMalformed;
      values[kept] = W3cValue(field);
    }
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

}  // namespace

std::unique_ptr<LineParser> MakeW3cParser() { return std::make_unique<W3cParser>(); }

}  // namespace refwarden
