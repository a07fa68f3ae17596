#include "filter/HotlinkDecision.h"

#include <cstring>
#include <utility>

#include "strings/FastStringFuncs.h"

namespace refwarden {

namespace {

constexpr std::string_view kRefererBefore = "*/";
constexpr std::string_view kRefererAfter = "/*";

// "*" + suffix, made at compile time, so that each test hands the matcher a
// constant pattern and the matcher folds its own work on it away.
struct SuffixPattern {
  char bytes[kMaxSuffixLength + 1] = {};
  std::size_t size = 0;
  constexpr std::string_view view() const { return {bytes, size}; }
};

constexpr SuffixPattern MakePattern(std::string_view suffix) {
  SuffixPattern pattern;
  pattern.bytes[0] = '*';
  for (std::size_t i = 0; i < suffix.size(); ++i) pattern.bytes[i + 1] = suffix[i];
  pattern.size = suffix.size() + 1;
  return pattern;
}

constexpr bool SuffixesFit() {
  for (std::string_view suffix : ProtectedSuffixes) {
    if (suffix.empty() || suffix.size() > kMaxSuffixLength) return false;
  }
  return true;
}
static_assert(SuffixesFit(), "a protected suffix is empty or longer than kMaxSuffixLength");

template <std::size_t... I>
constexpr std::array<SuffixPattern, sizeof...(I)> MakePatterns(std::index_sequence<I...>) {
  return {MakePattern(ProtectedSuffixes[I])...};
}

constexpr std::array<SuffixPattern, ProtectedSuffixes.size()> kPatterns =
    MakePatterns(std::make_index_sequence<ProtectedSuffixes.size()>());

// The tests in order, unrolled: each one's pattern is a constant at its call.
template <std::size_t... I>
std::string_view FirstMatchingSuffix(std::string_view path, std::index_sequence<I...>) {
  std::string_view found;
  static_cast<void>(
      ((WildcardMatch(path, kPatterns[I].view()) && (found = ProtectedSuffixes[I], true)) || ...));
  return found;
}

// Matches the referer against "*/" + host + "/*", joining the pattern on the
// stack unless the host is unusually long.
bool RefererNamesHost(std::string_view referer, std::string_view host) {
  constexpr std::size_t kInline = 512;
  const std::size_t length = kRefererBefore.size() + host.size() + kRefererAfter.size();
  char inlineBuffer[kInline];
  std::string heapBuffer;
  char* joined = inlineBuffer;
  if (length > kInline) {
    heapBuffer.resize(length);
    joined = heapBuffer.data();
  }
  std::memcpy(joined, kRefererBefore.data(), kRefererBefore.size());
  if (!host.empty()) std::memcpy(joined + kRefererBefore.size(), host.data(), host.size());
  std::memcpy(joined + kRefererBefore.size() + host.size(), kRefererAfter.data(),
              kRefererAfter.size());
  return WildcardMatch(referer, std::string_view(joined, length));
}

}  // namespace

std::string_view ProtectedSuffix(std::string_view path) {
  return FirstMatchingSuffix(path, std::make_index_sequence<ProtectedSuffixes.size()>());
}

bool IsProtectedPath(std::string_view path) { return !ProtectedSuffix(path).empty(); }

Decision DecideRewrite(std::string_view path, std::string_view host, std::string_view referer) {
  const std::string_view suffix = ProtectedSuffix(path);
  if (suffix.empty() || RefererNamesHost(referer, host)) return {};
  Decision decision;
  decision.rewrite = true;
  decision.replacement.reserve(ReplacementPrefix.size() + suffix.size());
  decision.replacement.append(ReplacementPrefix);
  decision.replacement.append(suffix);
  return decision;
}

}  // namespace refwarden
