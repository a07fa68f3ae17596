// The filter library as a web server sees it: loaded from a file, driven only
// through its three exported functions, with the server's side of the ISAPI
// callbacks supplied here.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace refwarden {

using HttpFilterProcFunction = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);

class FilterLibrary {
 public:
  // Loads the library at `path` and resolves GetFilterVersion, HttpFilterProc
  // and TerminateFilter by name. Throws std::runtime_error with a message
  // naming the file and the cause when it cannot.
  explicit FilterLibrary(const std::string& path);
  // Calls TerminateFilter, then unloads the library.
  ~FilterLibrary();
  FilterLibrary(const FilterLibrary&) = delete;
  FilterLibrary& operator=(const FilterLibrary&) = delete;

  // Returns the filter library built beside the running executable.
  static std::string DefaultPath();

  BOOL GetFilterVersion(HTTP_FILTER_VERSION* version) const;
  DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notification, void* data) const;
  BOOL TerminateFilter(DWORD flags) const;
  // The exported HttpFilterProc itself.
  HttpFilterProcFunction Function() const { return httpFilterProc_; }

 private:
  void* module_ = nullptr;
  BOOL(WINAPI* getFilterVersion_)(HTTP_FILTER_VERSION*) = nullptr;
  HttpFilterProcFunction httpFilterProc_ = nullptr;
  BOOL(WINAPI* terminateFilter_)(DWORD) = nullptr;
};

// The server's side of the callbacks the filter may make on the records
// HttpFilterProc receives. Each override answers as the ISAPI describes; the
// defaults refuse (FALSE, and no memory from AllocMem). An exception thrown by
// a callback never reaches the filter: the call answers as refused instead.
class FilterServer {
 public:
  virtual ~FilterServer() = default;
  virtual BOOL GetServerVariable(const char* name, void* buffer, DWORD* size);
  virtual BOOL GetHeader(const char* name, void* buffer, DWORD* size);
  virtual BOOL SetHeader(const char* name, const char* value);
  virtual BOOL AddHeader(const char* name, const char* value);
  virtual BOOL AddResponseHeaders(const char* headers);
  virtual BOOL WriteClient(const void* data, DWORD* size);
  virtual void* AllocMem(DWORD size);
  virtual BOOL ServerSupportFunction(SF_REQ_TYPE request);
};

// Calls `httpFilterProc` once with `notification`, an HTTP_FILTER_CONTEXT and
// an HTTP_FILTER_PREPROC_HEADERS record whose every callback reaches `server`.
// Returns what the filter returned.
DWORD SendNotification(HttpFilterProcFunction httpFilterProc, FilterServer& server,
                       DWORD notification = SF_NOTIFY_PREPROC_HEADERS);

// Copies `value` and its NUL into the filter's buffer as the ISAPI calls do.
// Returns TRUE when it fits, else FALSE with *size set to the size needed.
BOOL CopyServerValue(std::string_view value, void* buffer, DWORD* size);

// One request as the server holds it when the headers have been read. An
// empty host or referer is a request without that header.
struct FilterRequest {
  std::string_view host;
  std::string_view referer;
  std::string_view url;
};

struct FilterOutcome {
  DWORD status = 0;        // what HttpFilterProc returned
  bool rewritten = false;  // the filter called SetHeader("url", ...)
  std::string url;         // the request URL after the filter
};

// Runs one SF_NOTIFY_PREPROC_HEADERS notification for `request` through the
// loaded filter, answering its GetServerVariable, GetHeader and SetHeader
// calls as a server does. Safe to call from several threads at once.
FilterOutcome RunPreprocHeaders(const FilterLibrary& filter, const FilterRequest& request);

// The same through any function of HttpFilterProc's type (tests and
// benchmarks hand in the filter's code linked directly).
FilterOutcome RunPreprocHeaders(HttpFilterProcFunction httpFilterProc,
                                const FilterRequest& request);

// The same, returning only whether the filter rewrote the URL; nothing of
// the request is copied (replay calls it for every line of a log).
bool RewritesUrl(HttpFilterProcFunction httpFilterProc, const FilterRequest& request);

}  // namespace refwarden
