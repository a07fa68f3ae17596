// A web server of the tests' own for one request: it answers the filter's
// callbacks as the server does and records every call with its arguments.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace refwarden::testing {

using HttpFilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);

// One server callback as the filter made it.
struct Call {
  Call(std::string f, std::string n, std::string v = "")
      : function(std::move(f)), name(std::move(n)), value(std::move(v)) {}
  std::string function;
  std::string name;
  std::string value;          // SetHeader's value
  DWORD size = 0;             // *lpdwSize on entry
  bool bufferZeroed = false;  // the whole buffer was zero on entry
};

// The server's side of one request.
struct RecordingServer {
  // With `withoutNul` every value is written over the caller's whole buffer,
  // repeated as needed, with no terminating NUL.
  RecordingServer(std::string h, std::string r, std::string u, bool noNul = false)
      : host(std::move(h)), referer(std::move(r)), url(std::move(u)), withoutNul(noNul) {}
  std::string host, referer, url;
  bool withoutNul;
  std::vector<Call> calls;

  static RecordingServer& Of(HTTP_FILTER_CONTEXT* pfc) {
    return *static_cast<RecordingServer*>(pfc->ServerContext);
  }
  // Answers as IIS does: the value and its NUL, or FALSE when there is none
  // or it does not fit.
  static BOOL Answer(RecordingServer& server, Call call, const std::string* value, void* buffer,
                     DWORD* size) {
    call.size = *size;
    const char* bytes = static_cast<const char*>(buffer);
    call.bufferZeroed = std::all_of(bytes, bytes + *size, [](char b) { return b == 0; });
    server.calls.push_back(call);
    if (value == nullptr || value->empty()) return FALSE;
    if (server.withoutNul) {
      for (DWORD i = 0; i < *size; ++i) static_cast<char*>(buffer)[i] = (*value)[i % value->size()];
      return TRUE;
    }
    if (value->size() + 1 > *size) {
      *size = static_cast<DWORD>(value->size() + 1);
      return FALSE;
    }
    std::memcpy(buffer, value->c_str(), value->size() + 1);
    return TRUE;
  }
  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size) {
    RecordingServer& server = Of(pfc);
    const std::string variable = name;
    const std::string* value = variable == "HTTP_HOST"      ? &server.host
                               : variable == "HTTP_REFERER" ? &server.referer
                                                            : nullptr;
    return Answer(server, {"GetServerVariable", variable}, value, buffer, size);
  }
  static BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
    RecordingServer& server = Of(pfc);
    const std::string header = name;
    return Answer(server, {"GetHeader", header}, header == "url" ? &server.url : nullptr, buffer,
                  size);
  }
  static BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
    Of(pfc).calls.push_back({"SetHeader", name, value});
    return TRUE;
  }
  static BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
    Of(pfc).calls.push_back({"AddHeader", name, value});
    return TRUE;
  }
  static BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD) {
    Of(pfc).calls.push_back({"AddResponseHeaders", headers});
    return TRUE;
  }
  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID, LPDWORD, DWORD) {
    Of(pfc).calls.push_back({"WriteClient", ""});
    return TRUE;
  }
  static VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* pfc, DWORD, DWORD) {
    Of(pfc).calls.push_back({"AllocMem", ""});
    return nullptr;
  }
  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE, PVOID,
                                           ULONG_PTR, ULONG_PTR) {
    Of(pfc).calls.push_back({"ServerSupportFunction", ""});
    return TRUE;
  }

  DWORD Send(HttpFilterProcFn proc, DWORD notification = SF_NOTIFY_PREPROC_HEADERS) {
    HTTP_FILTER_CONTEXT context{};
    context.cbSize = sizeof context;
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = this;
    context.GetServerVariable = &GetServerVariable;
    context.AddResponseHeaders = &AddResponseHeaders;
    context.WriteClient = &WriteClient;
    context.AllocMem = &AllocMem;
    context.ServerSupportFunction = &ServerSupportFunction;
    HTTP_FILTER_PREPROC_HEADERS headers{};
    headers.GetHeader = &GetHeader;
    headers.SetHeader = &SetHeader;
    headers.AddHeader = &AddHeader;
    return proc(&context, notification, &headers);
  }
};

}  // namespace refwarden::testing
