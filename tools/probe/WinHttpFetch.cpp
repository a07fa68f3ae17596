// The Windows fetcher: WinHTTP, which is part of Windows. One session per
// request, so that nothing (connections, cookies, credentials) carries over
// from one referer's request to the next.
#include <windows.h>
#include <winhttp.h>

#include <chrono>

#include "tools/probe/HttpFetch.h"

namespace refwarden {

namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length,
                      nullptr, nullptr);
  return narrow;
}

// WinHTTP's errors in words; the common ones named here, since not every
// system has their message texts.
std::string ErrorText(DWORD code) {
  // Wine's WinHTTP passes some socket errors on as they are.
  constexpr DWORD kSocketReset = 10054;     // WSAECONNRESET
  constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT
  switch (code) {
    case kSocketTimedOut:
    case ERROR_WINHTTP_TIMEOUT:
      return "the request timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "the server name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "the connection to the server could not be made";
    case kSocketReset:
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection to the server was reset or ended";
    case ERROR_WINHTTP_SECURE_FAILURE:
      return "the secure connection failed: the certificate could not be verified "
             "(--insecure does not verify it)";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return "the secure connection could not be made: the handshake failed or the "
             "certificate could not be verified (--insecure does not verify it)";
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      return "the certificate is not issued by a trusted authority (--insecure does not "
             "verify it)";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return "the certificate is for another host name (--insecure does not verify it)";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return "the certificate has expired or is not yet valid (--insecure does not verify it)";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the server's answer is not HTTP";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_INVALID_URL:
      return "the URL is not valid";
    default:
      break;
  }
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      GetModuleHandleA("winhttp.dll"), code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length > 0 && text != nullptr ? std::string(text, length) : "";
  LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' '))
    words.pop_back();
  return (words.empty() ? std::string("WinHTTP error") : words) + " (" + std::to_string(code) + ")";
}

// What WinHTTP found wrong with a certificate, from the flags of
// WINHTTP_CALLBACK_STATUS_SECURE_FAILURE; empty for none it names.
std::string CertificateFaults(DWORD flags) {
  std::string faults;
  const auto add = [&faults](const char* fault) {
    faults += (faults.empty() ? "" : ", ") + std::string(fault);
  };
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) add("not issued by a trusted authority");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) add("for another host name");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) add("expired or not yet valid");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) add("revoked");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED)
    add("its revocation could not be checked");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT) add("not valid");
  return faults;
}

// Keeps the certificate faults of a failed secure connection in the DWORD
// that the request's context points to.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && info != nullptr &&
      length >= sizeof(DWORD))
    *reinterpret_cast<DWORD*>(context) = *static_cast<const DWORD*>(info);
}

// Closes a WinHTTP handle when it goes.
struct Handle {
  HINTERNET handle = nullptr;
  explicit Handle(HINTERNET h) : handle(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle != nullptr) WinHttpCloseHandle(handle);
  }
};

class WinHttpFetcher : public HttpFetcher {
 public:
  explicit WinHttpFetcher(const FetchSettings& settings) : settings_(settings) {}

  HttpResponse Get(const std::string& url, const std::string& referer) override {
    HttpResponse response;
    Fetch(url, referer, &response);
    if (!response.error.empty()) {
      response.status = 0;
      response.headers.clear();
      response.body.clear();
    }
    return response;
  }

 private:
  // Sets `response->error` from the thread's last error and returns false;
  // called before any handle closes, since closing one resets that error.
  bool Failed(HttpResponse* response) const {
    const DWORD code = GetLastError();
    const std::string faults = CertificateFaults(secureFlags_);
    response->error = code == ERROR_WINHTTP_SECURE_FAILURE && !faults.empty()
                          ? "the certificate could not be verified: " + faults +
                                " (--insecure does not verify it)"
                          : ErrorText(code);
    return false;
  }

  // Fills `response`, or its `error`; false when WinHTTP failed.
  bool Fetch(const std::string& url, const std::string& referer, HttpResponse* response) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeoutMs);
    std::wstring wideUrl = Wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts))
      return Failed(response);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    // The query goes to the server, the fragment does not.
    std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const std::size_t hash = extra.find(L'#');
    if (hash != std::wstring::npos) extra.erase(hash);
    path += extra;
    if (path.empty()) path = L"/";
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    Handle session(WinHttpOpen(L"refwarden-probe/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session.handle == nullptr) return Failed(response);
    const int timeout = static_cast<int>(settings_.timeoutMs);
    if (!WinHttpSetTimeouts(session.handle, timeout, timeout, timeout, timeout))
      return Failed(response);
    Handle connection(WinHttpConnect(session.handle, host.c_str(), parts.nPort, 0));
    if (connection.handle == nullptr) return Failed(response);
    const wchar_t* accept[] = {L"image/*", L"*/*;q=0.8", nullptr};
    Handle request(WinHttpOpenRequest(connection.handle, L"GET", path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, accept,
                                      secure ? WINHTTP_FLAG_SECURE : 0));
    if (request.handle == nullptr) return Failed(response);
    // WinHttpSetTimeouts leaves the wait for the answer's headers at its own
    // default (90 s on Windows; none under Wine, measured): bound it too.
    DWORD responseTimeout = static_cast<DWORD>(timeout);
    if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                          sizeof responseTimeout))
      return Failed(response);
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_REDIRECT_POLICY, &redirects,
                          sizeof redirects))
      return Failed(response);
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(request.handle, WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof noCookies);
    if (settings_.insecure && secure) {
      DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                     SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      if (!WinHttpSetOption(request.handle, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore))
        return Failed(response);
    }
    secureFlags_ = 0;
    WinHttpSetStatusCallback(request.handle, OnStatus, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    std::wstring headers;
    if (!referer.empty()) headers = L"Referer: " + Wide(referer) + L"\r\n";
    if (!WinHttpSendRequest(request.handle,
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA,
                            0, 0, reinterpret_cast<DWORD_PTR>(&secureFlags_)) ||
        !WinHttpReceiveResponse(request.handle, nullptr))
      return Failed(response);

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      return Failed(response);
    response->status = static_cast<int>(status);
    size = 0;
    WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                        WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
      std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
      if (WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                              WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                              WINHTTP_NO_HEADER_INDEX)) {
        raw.resize(size / sizeof(wchar_t));
        const std::string text = Narrow(raw);
        for (std::size_t start = 0; start < text.size();) {
          std::size_t end = text.find("\r\n", start);
          if (end == std::string::npos) end = text.size();
          AddRawHeaderLine(response, std::string_view(text).substr(start, end - start));
          start = end + 2;
        }
      }
    }

    for (;;) {
      DWORD available = 0;
      if (!WinHttpQueryDataAvailable(request.handle, &available)) return Failed(response);
      if (available == 0) break;
      if (response->body.size() + available > settings_.maxBody) {
        response->error =
            "the answer is longer than " + std::to_string(settings_.maxBody >> 20) + " MiB";
        return true;
      }
      const std::size_t had = response->body.size();
      response->body.resize(had + available);
      DWORD read = 0;
      if (!WinHttpReadData(request.handle, response->body.data() + had, available, &read))
        return Failed(response);
      response->body.resize(had + read);
      if (std::chrono::steady_clock::now() > deadline) {
        response->error = "the request timed out";
        return true;
      }
    }
    return true;
  }

  FetchSettings settings_;
  DWORD secureFlags_ = 0;  // the certificate faults of the request under way
};

}  // namespace

std::unique_ptr<HttpFetcher> MakeHttpFetcher(const FetchSettings& settings) {
  return std::make_unique<WinHttpFetcher>(settings);
}

}  // namespace refwarden
