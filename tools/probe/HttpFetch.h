// One GET request and the answer to it, as probe needs them: the status, the
// headers and the body, or why no answer came. Two implementations, one per
// platform: libcurl on Linux (CurlFetch.cpp), WinHTTP on Windows
// (WinHttpFetch.cpp). Neither follows redirects nor keeps cookies, so each
// answer is the server's own to that one request.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace refwarden {

struct HttpResponse {
  std::string error;  // why no answer came (connection, TLS, timeout); empty when one did
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // names lower-case, in order
  std::string body;

  // The values of every header named `lowerName`, joined with ", "; empty
  // when there is none.
  std::string Header(std::string_view lowerName) const;
};

struct FetchSettings {
  long timeoutMs = 10000;           // the bound on each request, connecting included
  bool insecure = false;            // true: TLS certificates are not verified
  std::size_t maxBody = 64u << 20;  // a longer body fails the request
};

class HttpFetcher {
 public:
  virtual ~HttpFetcher() = default;
  // GETs `url` (http or https), with `referer` as the Referer header or
  // without one when it is empty. Never throws for a network or server fault:
  // that is the answer's `error`.
  virtual HttpResponse Get(const std::string& url, const std::string& referer) = 0;
};

// The platform's fetcher with `settings`.
std::unique_ptr<HttpFetcher> MakeHttpFetcher(const FetchSettings& settings);

// Adds one raw header line ("Name: value", without its line end) to
// `response`; a status line ("HTTP/1.1 200 OK") starts the headers afresh, so
// that only the final answer's are kept. Shared by both fetchers.
void AddRawHeaderLine(HttpResponse* response, std::string_view line);

}  // namespace refwarden
