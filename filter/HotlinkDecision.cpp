#include "filter/HotlinkDecision.h"

#include <cstring>

#include "strings/FastStringFuncs.h"

namespace refwarden {

namespace {

constexpr std::string_view kRefererBefore = "*/";
constexpr std::string_view kRefererAfter = "/*";
constexpr int kReplacementPieceLength = 4;

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

// The patterns in test order, each a constant at its call so that the
// matcher folds its own work on the pattern away.
bool IsProtectedPath(std::string_view path) {
  return WildcardMatch(path, "*.jpg") || WildcardMatch(path, "*.gif") ||
         WildcardMatch(path, "*.png") || WildcardMatch(path, "*.bmp");
}

Decision DecideRewrite(std::string_view path, std::string_view host, std::string_view referer) {
  if (!IsProtectedPath(path) || RefererNamesHost(referer, host)) return {};
  Decision decision;
  decision.rewrite = true;
  decision.replacement.reserve(ReplacementPrefix.size() + kReplacementPieceLength);
  decision.replacement.append(ReplacementPrefix);
  decision.replacement.append(TrailingChars(path, kReplacementPieceLength));
  return decision;
}

}  // namespace refwarden
