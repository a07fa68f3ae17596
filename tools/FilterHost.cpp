#include "tools/FilterHost.h"

#include <cstring>
#include <stdexcept>

#ifndef _WIN32
#include <dlfcn.h>
#include <unistd.h>
#include <climits>
#endif

namespace refwarden {

namespace {

#ifdef _WIN32
constexpr const char* kLibraryName = "refwarden.dll";
constexpr char kPathSeparator = '\\';

void* OpenLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const DWORD code = GetLastError();
    error = "LoadLibrary failed with error " + std::to_string(code);
    // The two causes an administrator meets: a wrong path, and the filter of
    // the other bitness (each refwarden.exe loads only its own).
    if (code == ERROR_MOD_NOT_FOUND) error += " (no such file, or a DLL it needs is missing)";
    if (code == ERROR_BAD_EXE_FORMAT) {
      error += sizeof(void*) == 8 ? " (not a 64-bit DLL; this refwarden.exe is the 64-bit one)"
                                  : " (not a 32-bit DLL; this refwarden.exe is the 32-bit one)";
    }
  }
  return reinterpret_cast<void*>(module);
}
void* FindSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void CloseLibrary(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
std::string ExecutableDirectory() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  const auto slash = s.find_last_of("\\/");
  return slash == std::string::npos ? "." : s.substr(0, slash);
}
#else
constexpr const char* kLibraryName = "librefwarden.so";
constexpr char kPathSeparator = '/';

void* OpenLibrary(const std::string& path, std::string& error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) error = dlerror();
  return module;
}
void* FindSymbol(void* module, const char* name) { return dlsym(module, name); }
void CloseLibrary(void* module) { dlclose(module); }
std::string ExecutableDirectory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0) return ".";
  std::string s(path, static_cast<std::size_t>(n));
  return s.substr(0, s.find_last_of('/'));
}
#endif

FilterServer& ServerOf(HTTP_FILTER_CONTEXT* context) {
  return *static_cast<FilterServer*>(context->ServerContext);
}

// The callbacks handed to the filter: each passes the call on to the server
// and keeps any exception on this side of the filter's frames.
template <typename Call>
auto Refusing(Call call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    return {};
  }
}

BOOL WINAPI GetServerVariableCall(HTTP_FILTER_CONTEXT* context, LPSTR name, LPVOID buffer,
                                  LPDWORD size) {
  return Refusing([&] { return ServerOf(context).GetServerVariable(name, buffer, size); });
}
BOOL WINAPI AddResponseHeadersCall(HTTP_FILTER_CONTEXT* context, LPSTR headers, DWORD) {
  return Refusing([&] { return ServerOf(context).AddResponseHeaders(headers); });
}
BOOL WINAPI WriteClientCall(HTTP_FILTER_CONTEXT* context, LPVOID data, LPDWORD size, DWORD) {
  return Refusing([&] { return ServerOf(context).WriteClient(data, size); });
}
VOID* WINAPI AllocMemCall(HTTP_FILTER_CONTEXT* context, DWORD size, DWORD) {
  return Refusing([&] { return ServerOf(context).AllocMem(size); });
}
BOOL WINAPI ServerSupportFunctionCall(HTTP_FILTER_CONTEXT* context, enum SF_REQ_TYPE request, PVOID,
                                      ULONG_PTR, ULONG_PTR) {
  return Refusing([&] { return ServerOf(context).ServerSupportFunction(request); });
}
BOOL WINAPI GetHeaderCall(HTTP_FILTER_CONTEXT* context, LPSTR name, LPVOID buffer, LPDWORD size) {
  return Refusing([&] { return ServerOf(context).GetHeader(name, buffer, size); });
}
BOOL WINAPI SetHeaderCall(HTTP_FILTER_CONTEXT* context, LPSTR name, LPSTR value) {
  return Refusing([&] { return ServerOf(context).SetHeader(name, value); });
}
BOOL WINAPI AddHeaderCall(HTTP_FILTER_CONTEXT* context, LPSTR name, LPSTR value) {
  return Refusing([&] { return ServerOf(context).AddHeader(name, value); });
}

// The tool's server for one request: the request's values, and its URL as
// the filter leaves it.
struct RequestServer : FilterServer {
  explicit RequestServer(const FilterRequest& r) : request(r), url(r.url) {}
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  BOOL GetServerVariable(const char* name, void* buffer, DWORD* size) override {
    const std::string_view variable = name;
    std::string_view value;
    if (variable == "HTTP_HOST" || variable == "SERVER_NAME") {
      value = request.host;
    } else if (variable == "HTTP_REFERER") {
      value = request.referer;
    } else if (variable == "URL") {
      value = url;
    }
    if (value.empty() && variable != "URL") return FALSE;  // no such header
    return CopyServerValue(value, buffer, size);
  }
  BOOL GetHeader(const char* name, void* buffer, DWORD* size) override {
    const std::string_view header = name;
    if (header == "url") return CopyServerValue(url, buffer, size);
    if (header == "Host:" && !request.host.empty())
      return CopyServerValue(request.host, buffer, size);
    if (header == "Referer:" && !request.referer.empty())
      return CopyServerValue(request.referer, buffer, size);
    return FALSE;
  }
  BOOL SetHeader(const char* name, const char* value) override {
    if (std::string_view(name) == "url") {
      newUrl = value;
      url = newUrl;
      rewritten = true;
    }
    return TRUE;
  }

  FilterRequest request;
  std::string_view url;  // the request's, until the filter sets one (newUrl)
  std::string newUrl;
  bool rewritten = false;
};

}  // namespace

FilterLibrary::FilterLibrary(const std::string& path) {
  std::string error;
  module_ = OpenLibrary(path, error);
  if (module_ == nullptr)
    throw std::runtime_error("cannot load filter library " + path + ": " + error);
  getFilterVersion_ =
      reinterpret_cast<decltype(getFilterVersion_)>(FindSymbol(module_, "GetFilterVersion"));
  httpFilterProc_ =
      reinterpret_cast<decltype(httpFilterProc_)>(FindSymbol(module_, "HttpFilterProc"));
  terminateFilter_ =
      reinterpret_cast<decltype(terminateFilter_)>(FindSymbol(module_, "TerminateFilter"));
  if (getFilterVersion_ == nullptr || httpFilterProc_ == nullptr || terminateFilter_ == nullptr) {
    CloseLibrary(module_);
    throw std::runtime_error(path +
                             " is not a filter library: it lacks GetFilterVersion, "
                             "HttpFilterProc or TerminateFilter");
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  getFilterVersion_(&version);
}

FilterLibrary::~FilterLibrary() {
  terminateFilter_(0);
  CloseLibrary(module_);
}

std::string FilterLibrary::DefaultPath() {
  return ExecutableDirectory() + kPathSeparator + kLibraryName;
}

BOOL FilterLibrary::GetFilterVersion(HTTP_FILTER_VERSION* version) const {
  return getFilterVersion_(version);
}

DWORD FilterLibrary::HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notification,
                                    void* data) const {
  return httpFilterProc_(context, notification, data);
}

BOOL FilterLibrary::TerminateFilter(DWORD flags) const { return terminateFilter_(flags); }

FilterOutcome RunPreprocHeaders(const FilterLibrary& filter, const FilterRequest& request) {
  return RunPreprocHeaders(filter.Function(), request);
}

FilterOutcome RunPreprocHeaders(HttpFilterProcFunction httpFilterProc,
                                const FilterRequest& request) {
  RequestServer server(request);
  FilterOutcome outcome;
  outcome.status = SendNotification(httpFilterProc, server);
  outcome.rewritten = server.rewritten;
  outcome.url = server.rewritten ? std::move(server.newUrl) : std::string(request.url);
  return outcome;
}

bool RewritesUrl(HttpFilterProcFunction httpFilterProc, const FilterRequest& request) {
  RequestServer server(request);
  SendNotification(httpFilterProc, server);
  return server.rewritten;
}

BOOL FilterServer::GetServerVariable(const char*, void*, DWORD*) { return FALSE; }
BOOL FilterServer::GetHeader(const char*, void*, DWORD*) { return FALSE; }
BOOL FilterServer::SetHeader(const char*, const char*) { return FALSE; }
BOOL FilterServer::AddHeader(const char*, const char*) { return FALSE; }
BOOL FilterServer::AddResponseHeaders(const char*) { return FALSE; }
BOOL FilterServer::WriteClient(const void*, DWORD*) { return FALSE; }
void* FilterServer::AllocMem(DWORD) { return nullptr; }
BOOL FilterServer::ServerSupportFunction(SF_REQ_TYPE) { return FALSE; }

DWORD SendNotification(HttpFilterProcFunction httpFilterProc, FilterServer& server,
                       DWORD notification) {
  HTTP_FILTER_CONTEXT context{};
  context.cbSize = sizeof context;
  context.Revision = HTTP_FILTER_REVISION;
  context.ServerContext = &server;
  context.GetServerVariable = &GetServerVariableCall;
  context.AddResponseHeaders = &AddResponseHeadersCall;
  context.WriteClient = &WriteClientCall;
  context.AllocMem = &AllocMemCall;
  context.ServerSupportFunction = &ServerSupportFunctionCall;
  HTTP_FILTER_PREPROC_HEADERS headers{};
  headers.GetHeader = &GetHeaderCall;
  headers.SetHeader = &SetHeaderCall;
  headers.AddHeader = &AddHeaderCall;
  return httpFilterProc(&context, notification, &headers);
}

BOOL CopyServerValue(std::string_view value, void* buffer, DWORD* size) {
  const DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return FALSE;
  }
  std::memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *size = needed;
  return TRUE;
}

}  // namespace refwarden
