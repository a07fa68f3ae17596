#include "filter/RequestHandling.h"

#include <cstring>
#include <string_view>

#include "filter/HotlinkDecision.h"
#include "filter/RequestTrace.h"

namespace refwarden {

namespace {

// A server value: the bytes up to the first NUL within the buffer, so a
// server that fills the buffer without one cannot make us read past it.
std::string_view ValueIn(const char (&buffer)[kValueBufferSize]) {
  const void* nul = std::memchr(buffer, '\0', kValueBufferSize);
  const std::size_t length = nul == nullptr
                                 ? kValueBufferSize
                                 : static_cast<std::size_t>(static_cast<const char*>(nul) - buffer);
  return {buffer, length};
}

std::string_view ReadServerVariable(HTTP_FILTER_CONTEXT* context, const char* name,
                                    char (&buffer)[kValueBufferSize]) {
  std::memset(buffer, 0, kValueBufferSize);
  DWORD size = kValueBufferSize;
  if (context->GetServerVariable != nullptr) {
    context->GetServerVariable(context, const_cast<char*>(name), buffer, &size);
  }
  return ValueIn(buffer);
}

std::string_view ReadHeader(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_PREPROC_HEADERS* headers,
                            const char* name, char (&buffer)[kValueBufferSize]) {
  std::memset(buffer, 0, kValueBufferSize);
  DWORD size = kValueBufferSize;
  if (headers->GetHeader != nullptr) {
    headers->GetHeader(context, const_cast<char*>(name), buffer, &size);
  }
  return ValueIn(buffer);
}

void HandlePreprocHeaders(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_PREPROC_HEADERS* headers) {
  char hostBuffer[kValueBufferSize];
  char refererBuffer[kValueBufferSize];
  char urlBuffer[kValueBufferSize];
  const std::string_view host = ReadServerVariable(context, "HTTP_HOST", hostBuffer);
  const std::string_view referer = ReadServerVariable(context, "HTTP_REFERER", refererBuffer);
  const std::string_view url = ReadHeader(context, headers, "url", urlBuffer);
  const std::string_view path = url.substr(0, url.find('?'));

  TraceRequestPath(path);

  const Decision decision = DecideRewrite(path, host, referer);
  if (!decision.rewrite || headers->SetHeader == nullptr) return;
  if (decision.replacement.size() >= kValueBufferSize) return;
  std::memset(urlBuffer, 0, kValueBufferSize);
  std::memcpy(urlBuffer, decision.replacement.data(), decision.replacement.size());
  headers->SetHeader(context, const_cast<char*>("url"), urlBuffer);
}

}  // namespace

BOOL RegisterFilter(HTTP_FILTER_VERSION* version) noexcept {
  if (version == nullptr) return FALSE;
  version->dwFilterVersion = kFilterVersion;
  std::strncpy(version->lpszFilterDesc, kFilterDescription, SF_MAX_FILTER_DESC_LEN - 1);
  version->lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  version->dwFlags = kFilterFlags;
  // All bits set (0xFFFFFFFF), not 1: the registration's fixed answer. A
  // server tests it only for non-zero, so either reads as TRUE there.
  return kRegisteredTrue;
}

DWORD HandleNotification(HTTP_FILTER_CONTEXT* context, DWORD notification, void* data) noexcept {
  if (notification == SF_NOTIFY_PREPROC_HEADERS && context != nullptr && data != nullptr) {
    try {
      HandlePreprocHeaders(context, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(data));
    } catch (...) {
      // The request continues as it stood; the filter reports nothing.
    }
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace refwarden
