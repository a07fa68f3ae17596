#include "tools/probe/HttpFetch.h"

#include "strings/AsciiText.h"

namespace refwarden {

std::string HttpResponse::Header(std::string_view lowerName) const {
  std::string joined;
  for (const auto& [name, value] : headers) {
    if (name != lowerName) continue;
    if (!joined.empty()) joined += ", ";
    joined += value;
  }
  return joined;
}

namespace {

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

void AddRawHeaderLine(HttpResponse* response, std::string_view line) {
  line = Trimmed(line);
  if (line.substr(0, 5) == "HTTP/") {
    response->headers.clear();
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return;
  std::string name(Trimmed(line.substr(0, colon)));
  for (char& c : name) c = LowerAscii(c);
  response->headers.emplace_back(std::move(name), std::string(Trimmed(line.substr(colon + 1))));
}

}  // namespace refwarden
