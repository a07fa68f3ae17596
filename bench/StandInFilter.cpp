// A stand-in for the filter library when measuring replay without its store:
// the same three reads into zeroed 4097-byte buffers, the same decision and
// SetHeader as the filter's own request handling, but the trace kept in a
// process-local set under a lock (what a memory store costs per request).
// The first request for each path is also traced for real, so that replay's
// read-back of the trace finds it. Load it with `refwarden --filter`.
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "filter/HotlinkDecision.h"
#include "filter/RequestHandling.h"
#include "filter/RequestTrace.h"

namespace {

using namespace refwarden;

std::string_view Read(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_PREPROC_HEADERS* headers,
                      const char* name, char (&buffer)[kValueBufferSize]) {
  std::memset(buffer, 0, kValueBufferSize);
  DWORD size = kValueBufferSize;
  if (headers == nullptr) {
    context->GetServerVariable(context, const_cast<char*>(name), buffer, &size);
  } else {
    headers->GetHeader(context, const_cast<char*>(name), buffer, &size);
  }
  const void* nul = std::memchr(buffer, '\0', kValueBufferSize);
  return {buffer, nul == nullptr
                      ? kValueBufferSize
                      : static_cast<std::size_t>(static_cast<const char*>(nul) - buffer)};
}

std::mutex traceLock;
std::unordered_set<std::string> traced;

void Trace(std::string_view path) {
  {
    std::lock_guard<std::mutex> hold(traceLock);
    if (traced.count(std::string(path)) != 0) return;
    traced.emplace(path);
  }
  TraceRequestPath(path);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI
GetFilterVersion(HTTP_FILTER_VERSION* version) {
  return RegisterFilter(version);
}

extern "C" __attribute__((visibility("default"))) DWORD WINAPI
HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notification, VOID* data) {
  if (notification != SF_NOTIFY_PREPROC_HEADERS) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  auto* headers = static_cast<HTTP_FILTER_PREPROC_HEADERS*>(data);
  char host[kValueBufferSize], referer[kValueBufferSize], url[kValueBufferSize];
  const std::string_view h = Read(context, nullptr, "HTTP_HOST", host);
  const std::string_view r = Read(context, nullptr, "HTTP_REFERER", referer);
  const std::string_view u = Read(context, headers, "url", url);
  const std::string_view path = u.substr(0, u.find('?'));
  Trace(path);
  const Decision decision = DecideRewrite(path, h, r);
  if (!decision.rewrite || decision.replacement.size() >= kValueBufferSize)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  std::memset(url, 0, kValueBufferSize);
  std::memcpy(url, decision.replacement.data(), decision.replacement.size());
  headers->SetHeader(context, const_cast<char*>("url"), url);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

extern "C" __attribute__((visibility("default"))) BOOL WINAPI TerminateFilter(DWORD) {
  return TRUE;
}
