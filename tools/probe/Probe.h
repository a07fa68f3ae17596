// refwarden probe: the live site seen from outside, as a hot-linker meets it.
// Three GETs of one image URL (with the site's own referer, with a foreign
// one, with none), compared, and the caching headers that could hand one
// party's answer to the other, reported as findings.
#pragma once

#include <string>
#include <vector>

#include "tools/findings/Findings.h"
#include "tools/probe/HttpFetch.h"

namespace refwarden {

// The check ID of the finding that leads to kExitUnreachable: the site could
// not be reached or answered nothing usable to its own referer (no image to
// compare with), so nothing is known about protection. A URL probe refuses
// (see UrlRefusal) exits kExitUsage before any request.
inline constexpr char kCheckUnreachable[] = "unreachable";

struct ProbeOptions {
  std::string url;  // http(s), a path ending in an image suffix
  std::string foreignReferer = "http://hotlinker.invalid/page.html";
  long timeoutSeconds = 10;  // per request
  bool insecure = false;     // TLS certificates not verified; the report says so
};

// Why `url` cannot be probed (not http or https, no host, not an image
// path); empty when it can.
std::string UrlRefusal(const std::string& url);

// "scheme://host[:port]/" of `url`, which UrlRefusal accepts: the referer of
// a page on the site itself.
std::string OwnReferer(const std::string& url);

// Why a browser or shared cache may keep `response` and give it to a request
// with another referer ("Cache-Control: max-age=3600, no Vary: Referer");
// empty when no cache may (no-store, no-cache, max-age=0, Vary: Referer).
std::string CacheRisk(const HttpResponse& response);

// Probes `options.url` with the platform's fetcher; with `fetcher` given,
// through that one. A refused URL is one "url-refused" error. Every finding's
// subject is the URL.
std::vector<Finding> ProbeUrl(const ProbeOptions& options);
std::vector<Finding> ProbeUrl(const ProbeOptions& options, HttpFetcher& fetcher);

// kExitUnreachable when a finding is kCheckUnreachable, else
// ExitStatusFor(findings).
ExitStatus ProbeExitStatus(const std::vector<Finding>& findings);

}  // namespace refwarden
