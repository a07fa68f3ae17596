// The hot-link decision: pure logic over one request's path, host and referer.
#pragma once

#include <string>
#include <string_view>

namespace refwarden {

// Every replacement URL starts with this; the site must serve content there.
inline constexpr std::string_view ReplacementPrefix = "/refwarden";

// Returns whether `path` (a URL without its query) is one the filter guards:
// it matches "*.jpg", "*.gif", "*.png" or "*.bmp" by the greedy wildcard
// rule, so "/a.jpg.jpg" is not one. Exact and case-sensitive.
bool IsProtectedPath(std::string_view path);

struct Decision {
  bool rewrite = false;     // false: the request passes untouched
  std::string replacement;  // the replacement URL when rewrite is true
};

// Returns the decision for a request whose query-less path, host (the
// HTTP_HOST value) and referer (the HTTP_REFERER value, empty when absent)
// are given as received.
//
// A path matching none of "*.jpg", "*.gif", "*.png", "*.bmp" passes without
// the host or referer being looked at. A protected path passes when the
// referer matches "*/" + host + "/*" (the host verbatim, so an asterisk in it
// is a wildcard); otherwise it is rewritten to ReplacementPrefix followed by
// the path's last four bytes, its protected suffix ("/refwarden.jpg").
// No side effects; allocates nothing for hosts of ordinary length.
Decision DecideRewrite(std::string_view path, std::string_view host, std::string_view referer);

}  // namespace refwarden
