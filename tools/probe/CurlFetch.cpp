// The Linux fetcher: libcurl, one easy handle per request.
#include <curl/curl.h>

#include <mutex>

#include "tools/probe/HttpFetch.h"

namespace refwarden {

namespace {

struct Transfer {
  HttpResponse* response;
  std::size_t maxBody;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (transfer->response->body.size() + bytes > transfer->maxBody) return 0;  // curl fails it
  transfer->response->body.append(data, bytes);
  return bytes;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  AddRawHeaderLine(static_cast<Transfer*>(user)->response, std::string_view(data, size * count));
  return size * count;
}

class CurlFetcher : public HttpFetcher {
 public:
  explicit CurlFetcher(const FetchSettings& settings) : settings_(settings) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }

  HttpResponse Get(const std::string& url, const std::string& referer) override {
    HttpResponse response;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      response.error = "libcurl could not start a transfer";
      return response;
    }
    Transfer transfer{&response, settings_.maxBody};
    char reason[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, settings_.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings_.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "refwarden-probe/1.0");
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(settings_.maxBody));
    if (!referer.empty()) curl_easy_setopt(curl, CURLOPT_REFERER, referer.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings_.insecure ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings_.insecure ? 0L : 2L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_slist* accept = curl_slist_append(nullptr, "Accept: image/*,*/*;q=0.8");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, accept);

    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      response.status = static_cast<int>(status);
    } else if (code == CURLE_WRITE_ERROR || code == CURLE_FILESIZE_EXCEEDED) {
      response.error =
          "the answer is longer than " + std::to_string(settings_.maxBody >> 20) + " MiB";
    } else {
      response.error = reason[0] != '\0' ? reason : curl_easy_strerror(code);
    }
    if (!response.error.empty()) {
      response.status = 0;
      response.headers.clear();
      response.body.clear();
    }
    curl_slist_free_all(accept);
    curl_easy_cleanup(curl);
    return response;
  }

 private:
  FetchSettings settings_;
};

}  // namespace

std::unique_ptr<HttpFetcher> MakeHttpFetcher(const FetchSettings& settings) {
  return std::make_unique<CurlFetcher>(settings);
}

}  // namespace refwarden
