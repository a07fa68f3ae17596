// A web server of the tests' own for one request: it answers the filter's
// callbacks as a server does and records every call with its arguments.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "tools/FilterHost.h"

namespace refwarden::testing {

// The size of the buffers the filter owes the server for each value it reads.
inline constexpr DWORD kServerValueBuffer = 4097;

// One callback as the filter made it.
struct Call {
  Call(std::string f, std::string n, std::string v = "", DWORD s = 0, bool zeroed = false)
      : function(std::move(f)),
        name(std::move(n)),
        value(std::move(v)),
        size(s),
        bufferZeroed(zeroed) {}
  std::string function;  // "GetServerVariable", "GetHeader", "SetHeader", ...
  std::string name;      // the variable or header named
  std::string value;     // the value SetHeader or AddHeader was given
  DWORD size;            // a read's *size on entry
  bool bufferZeroed;     // a read's buffer was zero throughout on entry
};

// How the server writes a value into the filter's buffer.
enum class ValueWriting {
  kAsIis,     // the value and its NUL; FALSE when there is none or it does not fit
  kRawBytes,  // the value's bytes as they stand, NULs included and none added, cut
              // at the size handed in; TRUE
};

class RecordingServer : public FilterServer {
 public:
  // A request with these values of HTTP_HOST, HTTP_REFERER and the "url"
  // header; an empty host or referer is one the request does not carry.
  RecordingServer(std::string host, std::string referer, std::string url,
                  ValueWriting writing = ValueWriting::kAsIis);

  // Sends one notification through `httpFilterProc`, recording its calls.
  // Returns what it returned.
  DWORD Send(HttpFilterProcFunction httpFilterProc, DWORD notification = SF_NOTIFY_PREPROC_HEADERS);

  const std::vector<Call>& calls() const { return calls_; }

  // Checks the calls against what the filter owes the server for one request:
  // HTTP_HOST, HTTP_REFERER and "url" read in this order, each into a zeroed
  // buffer of kServerValueBuffer bytes, then one SetHeader("url", rewrite)
  // when `rewrite` is not empty, and nothing else. Returns "" when they are
  // that, else what they were.
  std::string CheckRequestCalls(std::string_view rewrite) const;

  BOOL GetServerVariable(const char* name, void* buffer, DWORD* size) override;
  BOOL GetHeader(const char* name, void* buffer, DWORD* size) override;
  BOOL SetHeader(const char* name, const char* value) override;
  BOOL AddHeader(const char* name, const char* value) override;
  BOOL AddResponseHeaders(const char* headers) override;
  BOOL WriteClient(const void* data, DWORD* size) override;
  void* AllocMem(DWORD size) override;
  BOOL ServerSupportFunction(SF_REQ_TYPE request) override;

 private:
  BOOL Read(const char* function, const char* name, const std::string* value, void* buffer,
            DWORD* size);

  std::string host_, referer_, url_;
  ValueWriting writing_;
  std::vector<Call> calls_;
};

}  // namespace refwarden::testing
