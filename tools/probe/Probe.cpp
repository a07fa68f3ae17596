#include "tools/probe/Probe.h"

#include <algorithm>
#include <cstdlib>

#include "strings/AsciiText.h"

namespace refwarden {

namespace {

std::string Lower(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

struct UrlParts {
  std::string scheme;     // lower case
  std::string authority;  // host[:port], without user information
  std::string path;       // up to '?' or '#'
};

// Splits `url`; false when it has no "scheme://".
bool SplitUrl(const std::string& url, UrlParts* parts) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  parts->scheme = Lower(std::string_view(url).substr(0, colon));
  const std::size_t start = colon + 3;
  std::size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  parts->authority = url.substr(start, end - start);
  const std::size_t at = parts->authority.rfind('@');
  if (at != std::string::npos) parts->authority.erase(0, at + 1);
  const std::size_t pathEnd = url.find_first_of("?#", end);
  parts->path = url.substr(end, pathEnd == std::string::npos ? std::string::npos : pathEnd - end);
  return true;
}

// The suffix of the last path segment, lower case, with its dot (".jpg");
// empty when it has none.
std::string Suffix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(std::string_view(path).substr(dot));
}

bool IsSuccess(const HttpResponse& r) {
  return r.error.empty() && r.status >= 200 && r.status < 300;
}

// "12345 bytes, image/jpeg" or "404, 120 bytes".
std::string Described(const HttpResponse& r) {
  std::string type = r.Header("content-type");
  std::string text = IsSuccess(r) ? "" : "status " + std::to_string(r.status) + ", ";
  text += std::to_string(r.body.size()) + " bytes";
  if (!type.empty()) text += ", " + type;
  return text;
}

// The directives of a Cache-Control value, lower case: "max-age=60, public"
// gives {"max-age", "60"}, {"public", ""}.
std::vector<std::pair<std::string, std::string>> Directives(const std::string& value) {
  std::vector<std::pair<std::string, std::string>> directives;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    std::string item = Lower(std::string_view(value).substr(start, end - start));
    const std::size_t first = item.find_first_not_of(" \t");
    const std::size_t last = item.find_last_not_of(" \t");
    if (first != std::string::npos) {
      item = item.substr(first, last - first + 1);
      const std::size_t eq = item.find('=');
      std::string argument = eq == std::string::npos ? "" : item.substr(eq + 1);
      if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
        argument = argument.substr(1, argument.size() - 2);
      directives.emplace_back(item.substr(0, eq), argument);
    }
    start = end + 1;
  }
  return directives;
}

bool VariesOnReferer(const HttpResponse& r) {
  for (const auto& [name, unused] : Directives(r.Header("vary"))) {
    if (name == "referer" || name == "*") return true;
  }
  return false;
}

Finding Make(const std::string& url, const char* check, Severity severity, std::string message,
             std::string fix = "") {
  return Finding{check, severity, url, std::move(message), std::move(fix)};
}

}  // namespace

std::string UrlRefusal(const std::string& url) {
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F)
      return "the URL holds a space or a control character; percent-encode it";
  }
  UrlParts parts;
  if (!SplitUrl(url, &parts))
    return "'" + url + "' is not an absolute URL such as https://www.example.com/images/a.jpg";
  if (parts.scheme != "http" && parts.scheme != "https")
    return "only http:// and https:// URLs can be probed, not " + parts.scheme + "://";
  if (parts.authority.empty() || parts.authority.front() == ':')
    return "'" + url + "' names no host";
  static const char* const kImages[] = {".jpg", ".jpeg", ".gif", ".png", ".bmp", ".webp"};
  const std::string suffix = Suffix(parts.path);
  for (const char* image : kImages) {
    if (suffix == image) return "";
  }
  return "'" + (parts.path.empty() ? std::string("/") : parts.path) +
         "' is not an image path: probe the URL of an image (.jpg, .gif, .png or .bmp, which the "
         "filter protects)";
}

std::string OwnReferer(const std::string& url) {
  UrlParts parts;
  SplitUrl(url, &parts);
  return parts.scheme + "://" + parts.authority + "/";
}

std::string CacheRisk(const HttpResponse& response) {
  if (VariesOnReferer(response)) return "";
  const std::string cacheControl = response.Header("cache-control");
  std::vector<std::string> reasons;
  bool freshnessGiven = false;
  for (const auto& [name, argument] : Directives(cacheControl)) {
    if (name == "no-store" || name == "no-cache") return "";
    if (name == "max-age" || name == "s-maxage") {
      freshnessGiven = true;
      if (std::atol(argument.c_str()) > 0) reasons.push_back(name + "=" + argument);
    } else if (name == "public") {
      reasons.push_back("public");
    }
  }
  std::string risk;
  if (!reasons.empty()) {
    risk = "Cache-Control: ";
    for (std::size_t i = 0; i < reasons.size(); ++i) risk += (i ? ", " : "") + reasons[i];
  }
  // max-age overrides Expires; without either a cache may pick a freshness
  // of its own from Last-Modified.
  const std::string expires = response.Header("expires");
  if (!freshnessGiven && !expires.empty()) {
    risk += (risk.empty() ? "" : "; ") + std::string("Expires: ") + expires;
  } else if (!freshnessGiven && risk.empty() && !response.Header("last-modified").empty()) {
    risk = "Last-Modified without Cache-Control or Expires, so caches choose how long to keep it";
  }
  if (risk.empty()) return "";
  return risk + ", no Vary: Referer";
}

std::vector<Finding> ProbeUrl(const ProbeOptions& options) {
  FetchSettings settings;
  settings.timeoutMs = options.timeoutSeconds * 1000;
  settings.insecure = options.insecure;
  const auto fetcher = MakeHttpFetcher(settings);
  return ProbeUrl(options, *fetcher);
}

std::vector<Finding> ProbeUrl(const ProbeOptions& options, HttpFetcher& fetcher) {
  const std::string& url = options.url;
  std::vector<Finding> findings;
  const std::string refusal = UrlRefusal(url);
  if (!refusal.empty()) {
    findings.push_back(Make(url, "url-refused", Severity::kError, refusal,
                            "give the full URL of an image the site's own pages show"));
    return findings;
  }
  UrlParts parts;
  SplitUrl(url, &parts);
  if (options.insecure && parts.scheme == "https") {
    findings.push_back(Make(url, "tls-unverified", Severity::kWarning,
                            "the certificate was not verified (--insecure): the answers may come "
                            "from another server than the site",
                            "probe without --insecure once the site's certificate is trusted"));
  }

  const std::string ownReferer = OwnReferer(url);
  const HttpResponse own = fetcher.Get(url, ownReferer);
  if (!own.error.empty()) {
    findings.push_back(Make(
        url, kCheckUnreachable, Severity::kError, "the site could not be reached: " + own.error,
        "check the URL, the name, the port, the network path to the site and its certificate"));
    return findings;
  }
  if (!IsSuccess(own)) {
    findings.push_back(Make(url, kCheckUnreachable, Severity::kError,
                            "with its own referer (" + ownReferer + ") the site answered " +
                                Described(own) +
                                ", not an image: there is nothing to compare the others with",
                            "probe the URL of an image that the site's own pages show"));
    return findings;
  }

  const HttpResponse foreign = fetcher.Get(url, options.foreignReferer);
  const HttpResponse none = fetcher.Get(url, "");
  const std::string ownText = " than the site's own referer (" + Described(own) + ")";
  const std::string foreignText = "a foreign referer (" + options.foreignReferer + ") got ";
  const std::string suffix = Suffix(parts.path);
  const bool filterSuffix =
      suffix == ".jpg" || suffix == ".gif" || suffix == ".png" || suffix == ".bmp";
  if (!foreign.error.empty()) {
    findings.push_back(Make(url, "foreign-referer", Severity::kWarning,
                            foreignText + "no answer (" + foreign.error +
                                "): hot-linkers get no image, but no placeholder either"));
  } else if (IsSuccess(foreign) && foreign.body == own.body) {
    findings.push_back(
        Make(url, "foreign-referer", Severity::kError,
             "NOT protected: " + foreignText + "the same bytes (" + Described(foreign) + ")" +
                 (filterSuffix ? "" : "; the filter protects only .jpg, .gif, .png and .bmp"),
             "install the filter for this site and run refwarden.exe doctor on the server"));
  } else if (IsSuccess(foreign)) {
    findings.push_back(
        Make(url, "foreign-referer", Severity::kOk,
             "protected: " + foreignText + "other bytes (" + Described(foreign) + ")" + ownText));
  } else if (foreign.status == 404 || foreign.status == 410) {
    const std::string placeholder = "/refwarden" + (filterSuffix ? suffix : std::string(".jpg"));
    findings.push_back(Make(url, "placeholder-missing", Severity::kWarning,
                            "protected, but the placeholder is missing: " + foreignText +
                                Described(foreign) + ", so hot-linkers see a broken image",
                            "put " + placeholder.substr(1) +
                                " from the package into the site's root folder (" + placeholder +
                                ")"));
  } else if (foreign.status >= 300 && foreign.status < 400) {
    findings.push_back(Make(url, "foreign-referer", Severity::kOk,
                            "protected: " + foreignText + "a redirect (" + Described(foreign) +
                                ", Location: " + foreign.Header("location") + ")"));
  } else {
    findings.push_back(
        Make(url, "foreign-referer", foreign.status == 403 ? Severity::kOk : Severity::kWarning,
             (foreign.status == 403 ? "protected: " : "") + foreignText + Described(foreign) +
                 ": hot-linkers get no image, but no placeholder either"));
  }

  const std::string noneText =
      "a request without a referer (a typed address, a browser or proxy "
      "that sends none) got ";
  if (!none.error.empty()) {
    findings.push_back(
        Make(url, "no-referer", Severity::kWarning, noneText + "no answer: " + none.error));
  } else if (IsSuccess(none) && none.body == own.body) {
    findings.push_back(Make(url, "no-referer", Severity::kOk,
                            noneText + "the image itself, as the site's own referer does"));
  } else if (foreign.error.empty() && none.status == foreign.status && none.body == foreign.body) {
    findings.push_back(Make(url, "no-referer", Severity::kOk,
                            noneText + "what a foreign referer gets (" + Described(none) +
                                "): such visitors see the image only on the site's own pages"));
  } else {
    findings.push_back(Make(url, "no-referer", Severity::kOk,
                            noneText + Described(none) + ", unlike both others"));
  }

  // A cached answer to one referer, given to another, undoes the filter:
  // hot-linkers get the image, or the site's own pages the placeholder.
  const std::pair<const char*, const HttpResponse*> answers[] = {
      {"own referer", &own}, {"foreign referer", &foreign}, {"no referer", &none}};
  // One finding per distinct risk, naming every answer that carries it.
  std::vector<std::pair<std::string, std::string>> risks;  // risk, whose answers
  for (const auto& [who, response] : answers) {
    if (!response->error.empty() || response->status >= 400) continue;
    const std::string risk = CacheRisk(*response);
    if (risk.empty()) continue;
    auto same = std::find_if(risks.begin(), risks.end(),
                             [&risk](const auto& entry) { return entry.first == risk; });
    if (same == risks.end()) {
      risks.emplace_back(risk, who);
    } else {
      same->second += std::string(", ") + who;
    }
  }
  const bool anyRisk = !risks.empty();
  for (const auto& [risk, whose] : risks) {
    findings.push_back(Make(
        url, "cache-headers", Severity::kWarning,
        "a browser or shared cache may keep these answers and give them to a request with "
        "another referer (" +
            whose + "): " + risk,
        "send images with Cache-Control: no-store, or Vary: Referer; on IIS: appcmd set config "
        "\"SITE\" /section:staticContent /clientCache.cacheControlMode:DisableCache"));
  }
  if (!anyRisk) {
    findings.push_back(
        Make(url, "cache-headers", Severity::kOk,
             "no answer may be kept by a cache for another referer (Cache-Control: " +
                 (own.Header("cache-control").empty() ? std::string("none")
                                                      : own.Header("cache-control")) +
                 ")"));
  }
  return findings;
}

ExitStatus ProbeExitStatus(const std::vector<Finding>& findings) {
  for (const Finding& finding : findings) {
    if (finding.check == kCheckUnreachable) return kExitUnreachable;
  }
  return ExitStatusFor(findings);
}

}  // namespace refwarden
