// Who would get the placeholder: each rewritten request sorted by how its
// referer relates to the site it asked. The filter's rule is exact (the
// referer must hold "/" + Host + "/"); this only explains its decisions to an
// administrator, who may find that many rewrites are the site's own visitors.
#pragma once

#include <cstddef>
#include <string_view>

namespace refwarden {

enum class RewriteKind {
  kNoReferer,    // the request had no Referer: typed in, bookmarked, or stripped by a privacy tool
  kSameSite,     // the referer names the request's host, written another way
  kLikelyAlias,  // the referer names another name of the same site, by a guess
  kOtherSite,    // anything else: hot-linking, or a site the guess does not recognise
};
inline constexpr std::size_t kRewriteKindCount = 4;

// Returns the kind of a request for `host` (the Host header as received,
// perhaps with a port) with `referer` (empty when there was none).
//
// The referer's host is what follows "//" (after an optional scheme, letters
// first) up to the next '/', '?' or '#', without userinfo (up to the last
// '@') and port; a bracketed IPv6 literal keeps its brackets. A referer
// without "//" names no host: kOtherSite.
// kSameSite: both hosts are equal ignoring ASCII case and one trailing dot,
// and so are the ports, where a missing port is the scheme's default (80 for
// http, 443 for https; for a referer without scheme or another scheme, only
// a missing port matches a missing port). A missing slash after the host
// ("https://shop.example") changes nothing.
// kLikelyAlias: not kSameSite, and the names are equal but for a leading
// "www." or a port, or both have at least two labels and share the last two
// ("img.shop.example" and "shop.example"). Not applied to IP literals. A
// guess: "a.co.uk" and "b.co.uk" share theirs too.
RewriteKind ClassifyRewrite(std::string_view host, std::string_view referer);

// A short name of the kind, for JSON keys and HTML ids: "no_referer",
// "same_site", "likely_alias", "other_sites".
std::string_view RewriteKindKey(RewriteKind kind);
// A heading for a person ("no referer", "the site itself, written another
// way", ...).
std::string_view RewriteKindTitle(RewriteKind kind);
// One sentence on what switching the filter on means for the site's own
// visitors in this kind of request.
std::string_view RewriteKindMeaning(RewriteKind kind);

}  // namespace refwarden
