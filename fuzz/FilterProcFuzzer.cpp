// The filter library's exported HttpFilterProc, loaded by name as a server
// loads it, fed arbitrary host, referer and URL bytes by a server that writes
// exactly what it is given into the filter's buffers, up to the size it is
// handed. Checked against DecideRewrite on what the filter should have read:
// each value up to the first NUL within its 4097-byte buffer, the URL cut at
// its first '?'. The trace goes to a store of the fuzzer's own, read back
// after each request: a traced request gets DecideRewrite's answer, exactly
// one SetHeader("url", replacement) or none; every call returns
// SF_STATUS_REQ_NEXT_NOTIFICATION.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "filter/HotlinkDecision.h"
#include "filter/RequestTrace.h"
#include "fuzz/FuzzInput.h"
#include "tools/FilterHost.h"

namespace refwarden::fuzz {
namespace {

constexpr DWORD kBufferSize = 4097;
// The store starts afresh after this many requests, so that it stays small.
constexpr int kRequestsPerStore = 20000;

struct Server {
  std::string host, referer, url;
  int setHeaderCalls = 0;
  std::string setName, setValue;
  std::string problem;
};

Server& Of(HTTP_FILTER_CONTEXT* context) { return *static_cast<Server*>(context->ServerContext); }

// Writes `value` as it stands, NULs included and without adding one, cut at
// the size handed in; the filter must have zeroed the buffer and said 4097.
BOOL WriteValue(Server& server, const std::string& value, void* buffer, DWORD* size) {
  if (*size != kBufferSize) server.problem = "size handed to the server is not 4097";
  const char* bytes = static_cast<const char*>(buffer);
  for (DWORD i = 0; i < kBufferSize; ++i) {
    if (bytes[i] != '\0') {
      server.problem = "buffer not zeroed before the call";
      break;
    }
  }
  const std::size_t n = std::min<std::size_t>(value.size(), *size);
  std::memcpy(buffer, value.data(), n);
  return TRUE;
}

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, char* name, void* buffer, DWORD* size) {
  Server& server = Of(context);
  const std::string_view variable = name;
  if (variable == "HTTP_HOST") return WriteValue(server, server.host, buffer, size);
  if (variable == "HTTP_REFERER") return WriteValue(server, server.referer, buffer, size);
  server.problem = "asked for server variable " + std::string(variable);
  return FALSE;
}

BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* context, char* name, void* buffer, DWORD* size) {
  Server& server = Of(context);
  if (std::string_view(name) == "url") return WriteValue(server, server.url, buffer, size);
  server.problem = "asked for header " + std::string(name);
  return FALSE;
}

BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* context, char* name, char* value) {
  Server& server = Of(context);
  ++server.setHeaderCalls;
  server.setName = name;
  server.setValue = value;
  return TRUE;
}

// What the filter reads from a buffer the server wrote `value` into.
std::string_view AsRead(const std::string& value) {
  std::string_view v(value.data(), std::min<std::size_t>(value.size(), kBufferSize));
  return v.substr(0, v.find('\0'));
}

// True when the trace key holds `path` as REG_SZ "ok".
bool Traced(std::string_view path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const std::string name(path);
  BYTE data[8] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  const LONG r = RegQueryValueExA(key, name.c_str(), nullptr, &type, data, &size);
  RegCloseKey(key);
  return r == ERROR_SUCCESS && type == REG_SZ && size == 3 && std::memcmp(data, "ok", 3) == 0;
}

// A value for one of the three fields: raw bytes or bytes of a small
// alphabet, now and then stretched by repetition to fill the buffer or
// overrun it.
std::string ConsumeField(FuzzedDataProvider& input, std::string_view alphabet) {
  const std::uint8_t shape = input.ConsumeIntegral<std::uint8_t>();
  std::string s = ConsumeString(input, (shape & 1) != 0, 300, alphabet);
  if ((shape & 6) == 0 && !s.empty()) {
    const std::size_t target = kBufferSize - 1 + (shape >> 3) % 4;  // 4096 to 4099
    std::string stretched;
    while (stretched.size() < target) stretched += s;
    stretched.resize(target);
    s.swap(stretched);
  }
  return s;
}

struct Fixture {
  Fixture() {
    char pattern[] = "/tmp/refwarden-fuzz-XXXXXX";
    folder = mkdtemp(pattern);
    store = folder + "/registry.sqlite";
    setenv("REFWARDEN_REGISTRY", store.c_str(), 1);
    filter = std::make_unique<FilterLibrary>(REFWARDEN_FILTER_LIBRARY);
  }
  ~Fixture() {
    filter.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  // Deleting the file is a fault the store recovers from on the next open.
  void Rotate() {
    if (++requests % kRequestsPerStore != 0) return;
    unlink(store.c_str());
  }
  std::string folder, store;
  std::unique_ptr<FilterLibrary> filter;
  int requests = 0;
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

}  // namespace
}  // namespace refwarden::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  refwarden::fuzz::TheFixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace refwarden;
  using namespace refwarden::fuzz;
  Fixture& fixture = TheFixture();
  fixture.Rotate();
  FuzzedDataProvider input(data, size);
  Server server;
  server.host = ConsumeField(input, "ab.:8");
  server.referer = ConsumeField(input, "ab.:8/h");
  server.url = ConsumeField(input, "ab/.jpgif?");

  HTTP_FILTER_CONTEXT context{};
  context.cbSize = sizeof context;
  context.Revision = HTTP_FILTER_REVISION;
  context.ServerContext = &server;
  context.GetServerVariable = &GetServerVariable;
  HTTP_FILTER_PREPROC_HEADERS headers{};
  headers.GetHeader = &GetHeader;
  headers.SetHeader = &SetHeader;
  const DWORD status =
      fixture.filter->HttpFilterProc(&context, SF_NOTIFY_PREPROC_HEADERS, &headers);

  const std::string_view host = AsRead(server.host);
  const std::string_view referer = AsRead(server.referer);
  const std::string_view url = AsRead(server.url);
  const std::string_view path = url.substr(0, url.find('?'));
  const std::string inputs =
      "host " + Printable(host) + ", referer " + Printable(referer) + ", url " + Printable(url);
  if (!server.problem.empty()) Mismatch(server.problem + " for " + inputs);
  if (status != SF_STATUS_REQ_NEXT_NOTIFICATION)
    Mismatch("status not NEXT_NOTIFICATION for " + inputs);
  // Every path the filter can read (at most 4097 bytes, no NUL) is one the
  // store must hold; a refusal would also have to let the request pass.
  if (!Traced(path)) Mismatch("path not traced: " + inputs);
  const Decision expected = DecideRewrite(path, host, referer);
  if (!expected.rewrite && server.setHeaderCalls != 0) {
    Mismatch("rewritten to " + Printable(server.setValue) + " but should pass: " + inputs);
  }
  if (expected.rewrite && (server.setHeaderCalls != 1 || server.setName != "url" ||
                           server.setValue != expected.replacement)) {
    Mismatch(std::to_string(server.setHeaderCalls) + " SetHeader calls (last " +
             Printable(server.setName) + " = " + Printable(server.setValue) +
             ") where one SetHeader(\"url\", " + Printable(expected.replacement) +
             ") was due: " + inputs);
  }
  return 0;
}
