// The hot-link decision: pure logic over one request's path, host and referer.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace refwarden {

// Every replacement URL starts with this; the site must serve content there.
inline constexpr std::string_view ReplacementPrefix = "/refwarden";

// The suffixes of the paths the filter guards, in test order: a path is
// tested against "*" + suffix for each, and a rewritten one is replaced by
// ReplacementPrefix + the suffix that matched, so the site must serve
// ReplacementPrefix + each of these. At most kMaxSuffixLength bytes each.
inline constexpr std::array<std::string_view, 4> ProtectedSuffixes = {".jpg", ".gif", ".png",
                                                                      ".bmp"};
inline constexpr std::size_t kMaxSuffixLength = 15;

// Returns the first of ProtectedSuffixes whose pattern "*" + suffix `path`
// (a URL without its query) matches by the greedy wildcard rule, or "" when
// it matches none: "/a.jpg.jpg" matches none. Exact and case-sensitive; a
// view of the constant, not of `path`.
std::string_view ProtectedSuffix(std::string_view path);

// Returns whether `path` is one the filter guards: ProtectedSuffix is not "".
bool IsProtectedPath(std::string_view path);

struct Decision {
  bool rewrite = false;     // false: the request passes untouched
  std::string replacement;  // the replacement URL when rewrite is true
};

// Returns the decision for a request whose query-less path, host (the
// HTTP_HOST value) and referer (the HTTP_REFERER value, empty when absent)
// are given as received.
//
// A path with no ProtectedSuffix passes without the host or referer being
// looked at. A protected path passes when the referer matches "*/" + host +
// "/*" (the host verbatim, so an asterisk in it is a wildcard); otherwise it
// is rewritten to ReplacementPrefix followed by the suffix that matched,
// which ends the path ("/refwarden.jpg").
// No side effects; allocates nothing for hosts of ordinary length.
Decision DecideRewrite(std::string_view path, std::string_view host, std::string_view referer);

}  // namespace refwarden
