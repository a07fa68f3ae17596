#include "tools/replay/RewriteKinds.h"

#include "strings/AsciiText.h"

namespace refwarden {

namespace {

struct Authority {
  std::string_view name;  // without port, userinfo and one trailing dot
  std::string_view port;  // empty when none was written
};

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Splits "name[:port]" or "[v6]:port"; drops one trailing dot of the name.
Authority SplitHostPort(std::string_view hostPort) {
  Authority out;
  std::size_t colon = std::string_view::npos;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const std::size_t close = hostPort.find(']');
    if (close != std::string_view::npos && close + 1 < hostPort.size() &&
        hostPort[close + 1] == ':')
      colon = close + 1;
  } else {
    colon = hostPort.rfind(':');
  }
  out.name = hostPort.substr(0, colon);
  if (colon != std::string_view::npos) out.port = hostPort.substr(colon + 1);
  if (!out.name.empty() && out.name.back() == '.') out.name.remove_suffix(1);
  return out;
}

// The default port of a scheme this classification knows, or "".
std::string_view DefaultPort(std::string_view scheme) {
  if (EqualsIgnoringAsciiCase(scheme, "http")) return "80";
  if (EqualsIgnoringAsciiCase(scheme, "https")) return "443";
  return {};
}

bool IsIpLiteral(std::string_view name) {
  if (!name.empty() && name.front() == '[') return true;
  return !name.empty() && name.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::string_view WithoutWww(std::string_view name) {
  if (name.size() > 4 && EqualsIgnoringAsciiCase(name.substr(0, 4), "www.")) name.remove_prefix(4);
  return name;
}

// The last two dot-separated labels, or "" when the name has fewer than two
// non-empty ones.
std::string_view LastTwoLabels(std::string_view name) {
  const std::size_t last = name.rfind('.');
  if (last == std::string_view::npos || last == 0 || last + 1 == name.size()) return {};
  const std::size_t before = name.rfind('.', last - 1);
  const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
  if (start == last) return {};
  return name.substr(start);
}

}  // namespace

RewriteKind ClassifyRewrite(std::string_view host, std::string_view referer) {
  if (referer.empty()) return RewriteKind::kNoReferer;
  const std::size_t slashes = referer.find("//");
  if (slashes == std::string_view::npos) return RewriteKind::kOtherSite;
  std::string_view scheme;
  if (slashes > 0) {
    // "scheme:" must be all that stands before the slashes.
    if (referer[slashes - 1] != ':' || !IsAsciiLetter(referer.front()))
      return RewriteKind::kOtherSite;
    scheme = referer.substr(0, slashes - 1);
    if (scheme.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") !=
        std::string_view::npos)
      return RewriteKind::kOtherSite;
  }
  std::string_view authority = referer.substr(slashes + 2);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  const Authority from = SplitHostPort(authority);
  const Authority site = SplitHostPort(host);
  if (from.name.empty() || site.name.empty()) return RewriteKind::kOtherSite;

  const std::string_view fallback = DefaultPort(scheme);
  const std::string_view fromPort = from.port.empty() ? fallback : from.port;
  const std::string_view sitePort = site.port.empty() ? fallback : site.port;
  const bool sameName = EqualsIgnoringAsciiCase(from.name, site.name);
  if (sameName && fromPort == sitePort) return RewriteKind::kSameSite;
  if (sameName || EqualsIgnoringAsciiCase(WithoutWww(from.name), WithoutWww(site.name)))
    return RewriteKind::kLikelyAlias;
  if (IsIpLiteral(from.name) || IsIpLiteral(site.name)) return RewriteKind::kOtherSite;
  const std::string_view fromLast = LastTwoLabels(from.name);
  if (!fromLast.empty() && EqualsIgnoringAsciiCase(fromLast, LastTwoLabels(site.name)))
    return RewriteKind::kLikelyAlias;
  return RewriteKind::kOtherSite;
}

std::string_view RewriteKindKey(RewriteKind kind) {
  switch (kind) {
    case RewriteKind::kNoReferer:
      return "no_referer";
    case RewriteKind::kSameSite:
      return "same_site";
    case RewriteKind::kLikelyAlias:
      return "likely_alias";
    case RewriteKind::kOtherSite:
      break;
  }
  return "other_sites";
}

std::string_view RewriteKindTitle(RewriteKind kind) {
  switch (kind) {
    case RewriteKind::kNoReferer:
      return "no referer";
    case RewriteKind::kSameSite:
      return "the site itself, written another way";
    case RewriteKind::kLikelyAlias:
      return "a likely alias of the site (a guess)";
    case RewriteKind::kOtherSite:
      break;
  }
  return "other sites";
}

std::string_view RewriteKindMeaning(RewriteKind kind) {
  switch (kind) {
    case RewriteKind::kNoReferer:
      return "Visitors who open a picture directly, from a bookmark or a mail, or whose browser "
             "or privacy tool strips the Referer, would see the placeholder: many are the "
             "site's own.";
    case RewriteKind::kSameSite:
      return "These are the site's own pages, naming the host in other letters, with a default "
             "port or without a slash: their visitors would see the placeholder.";
    case RewriteKind::kLikelyAlias:
      return "Probably the site's own pages under another of its names: their visitors would "
             "see the placeholder unless the pictures are served under one host name or the "
             "aliases redirect to it.";
    case RewriteKind::kOtherSite:
      break;
  }
  return "Pages of other sites showing these pictures: this is the hot-linking the filter "
         "stops (check the top entries for names of your own it does not recognise).";
}

}  // namespace refwarden
