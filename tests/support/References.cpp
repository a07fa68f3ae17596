#include "tests/support/References.h"

namespace refwarden::reference {

int NaiveFindChar(std::string_view source, char ch, int start) {
  for (std::size_t i = static_cast<std::size_t>(start - 1); i < source.size(); ++i) {
    if (source[i] == ch) return static_cast<int>(i) + 1;
  }
  return 0;
}

int NaiveFind(std::string_view source, std::string_view find, int start) {
  if (find.empty()) return 0;
  for (std::size_t i = static_cast<std::size_t>(start - 1); i + find.size() <= source.size(); ++i) {
    if (source.compare(i, find.size(), find) == 0) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::int32_t NaiveShift(std::string_view find, unsigned char b) {
  for (std::size_t j = find.size() - 1; j-- > 0;) {
    if (static_cast<unsigned char>(find[j]) == b) {
      return static_cast<std::int32_t>(find.size() - 1 - j);
    }
  }
  return static_cast<std::int32_t>(find.size());
}

bool SegmentMatch(std::string_view text, std::string_view pattern) {
  std::vector<std::string_view> segments;
  std::size_t from = 0;
  for (std::size_t star; (star = pattern.find('*', from)) != std::string_view::npos;
       from = star + 1) {
    segments.push_back(pattern.substr(from, star - from));
  }
  segments.push_back(pattern.substr(from));
  if (segments.size() == 1) return text == pattern;

  if (text.substr(0, segments.front().size()) != segments.front()) return false;
  std::size_t cursor = segments.front().size();
  for (std::size_t i = 1; i + 1 < segments.size(); ++i) {
    if (segments[i].empty()) continue;
    const std::size_t at = text.find(segments[i], cursor);
    if (at == std::string_view::npos) return false;
    cursor = at + segments[i].size();
  }
  const std::string_view last = segments.back();
  if (last.empty()) return true;
  const std::size_t at = text.find(last, cursor);
  return at != std::string_view::npos && at + last.size() == text.size();
}

bool ProtectedByRule(std::string_view path) {
  for (std::string_view pattern : {"*.jpg", "*.gif", "*.png", "*.bmp"}) {
    if (SegmentMatch(path, pattern)) return true;
  }
  return false;
}

std::string RuleReplacement(std::string_view path, std::string_view host,
                            std::string_view referer) {
  if (!ProtectedByRule(path)) return "";
  if (SegmentMatch(referer, "*/" + std::string(host) + "/*")) return "";
  return "/refwarden" + std::string(path.substr(path.size() - 4));
}

std::vector<std::string> AllStrings(std::string_view alphabet, std::size_t maxLength) {
  std::vector<std::string> all{""};
  for (std::size_t begin = 0, length = 1; length <= maxLength; ++length) {
    const std::size_t end = all.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : alphabet) all.push_back(all[i] + c);
    }
    begin = end;
  }
  return all;
}

}  // namespace refwarden::reference
