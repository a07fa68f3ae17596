// refwarden.dll as a Windows web server meets it: loaded with LoadLibrary,
// its entry points found by name and by ordinal, driven by a server of the
// test's own that records every callback, and its trace read back from the
// real registry (HKEY_CURRENT_USER of the account running the test).
#include <windows.h>
// httpfilt.h needs the types of windows.h.
#include <httpfilt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filter/RequestTrace.h"
#include "tests/RecordingServer.h"

namespace {

using refwarden::testing::Call;
using refwarden::testing::RecordingServer;

using refwarden::kTraceKey;
constexpr const char* kTraceParent = "software\\tarnwel";
constexpr DWORD kNextNotification = SF_STATUS_REQ_NEXT_NOTIFICATION;

using GetFilterVersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
using refwarden::testing::HttpFilterProcFn;
using TerminateFilterFn = BOOL(WINAPI*)(DWORD);

std::string DllPath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/") + 1) + "refwarden.dll";
}

struct RegistryValue {
  LONG result = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::string data;  // all cbData bytes, the NUL included
};

// Reads one value of HKCU\<key> with RegQueryValueExA.
RegistryValue QueryValue(const char* key, const std::string& name) {
  RegistryValue value;
  HKEY handle = nullptr;
  value.result = RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle);
  if (value.result != ERROR_SUCCESS) return value;
  BYTE data[64];
  DWORD size = sizeof data;
  value.result = RegQueryValueExA(handle, name.c_str(), nullptr, &value.type, data, &size);
  if (value.result == ERROR_SUCCESS) value.data.assign(reinterpret_cast<char*>(data), size);
  RegCloseKey(handle);
  return value;
}

bool KeyExists(const char* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

DWORD ValueCount(const char* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return 0;
  DWORD values = 0;
  RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  return values;
}

HKEY NextKeyHandle() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return nullptr;
  RegCloseKey(key);
  return key;
}

const std::string kOk("ok\0", 3);

#if defined(__i386__)
// Calls `function` with `count` 32-bit arguments as a WINAPI (stdcall) caller
// does, pushed right to left for the callee to pop, and stores in *drift how
// far the stack pointer moved over the call: 0 when the callee popped exactly
// its arguments, 4 * count less when it left them (a cdecl function). A
// compiler's own calls cannot show this: they restore the stack themselves.
extern "C" DWORD CallStdcall(const void* function, const DWORD* args, int count,
                             int* drift) __asm__("refwarden_call_stdcall");
__asm__(R"(
    .text
    .globl refwarden_call_stdcall
refwarden_call_stdcall:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    movl  %esp, %ebx
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
1:  testl %ecx, %ecx
    jz    2f
    pushl -4(%esi,%ecx,4)
    decl  %ecx
    jmp   1b
2:  call  *8(%ebp)
    movl  %esp, %ecx
    subl  %ebx, %ecx
    movl  20(%ebp), %edx
    movl  %ecx, (%edx)
    movl  %ebx, %esp
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

DWORD Arg(const void* pointer) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(pointer)); }

// The exported HttpFilterProc, called through CallStdcall by a server.
HttpFilterProcFn measuredProc = nullptr;
int measuredDrift = 1;
DWORD WINAPI MeasuredHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notification, void* data) {
  const DWORD args[] = {Arg(pfc), notification, Arg(data)};
  return CallStdcall(reinterpret_cast<const void*>(measuredProc), args, 3, &measuredDrift);
}
#endif

class FilterDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTraceParent);
    RegDeleteKeyA(HKEY_CURRENT_USER, kTraceParent);
    module_ = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibrary(" << DllPath() << ") failed: " << GetLastError();
    getFilterVersion_ = reinterpret_cast<GetFilterVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "GetFilterVersion")));
    httpFilterProc_ = reinterpret_cast<HttpFilterProcFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "HttpFilterProc")));
    terminateFilter_ = reinterpret_cast<TerminateFilterFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "TerminateFilter")));
    ASSERT_NE(getFilterVersion_, nullptr);
    ASSERT_NE(httpFilterProc_, nullptr);
    ASSERT_NE(terminateFilter_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  HMODULE module_ = nullptr;
  GetFilterVersionFn getFilterVersion_ = nullptr;
  HttpFilterProcFn httpFilterProc_ = nullptr;
  TerminateFilterFn terminateFilter_ = nullptr;
};

TEST_F(FilterDllTest, ExportsExactlyTheThreeEntryPointsByNameAndOrdinal) {
  const struct {
    WORD ordinal;
    const char* name;
  } exports[] = {{1, "TerminateFilter"}, {2, "HttpFilterProc"}, {3, "GetFilterVersion"}};
  for (const auto& e : exports) {
    FARPROC byName = GetProcAddress(module_, e.name);
    FARPROC byOrdinal = GetProcAddress(module_, MAKEINTRESOURCEA(e.ordinal));
    EXPECT_NE(byName, nullptr) << e.name;
    EXPECT_EQ(byName, byOrdinal) << e.name << " is not ordinal " << e.ordinal;
  }
  EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(4)), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "_GetFilterVersion@4"), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "GetFilterVersion@4"), nullptr);

  // The export directory of the image as the loader mapped it.
  const auto* base = reinterpret_cast<const BYTE*>(module_);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(entry.VirtualAddress, 0u);
  const auto* directory =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  EXPECT_EQ(directory->Base, 1u);
  EXPECT_EQ(directory->NumberOfFunctions, 3u);
  ASSERT_EQ(directory->NumberOfNames, 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + directory->Name), "refwarden.dll");
  const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + directory->AddressOfNameOrdinals);
  std::vector<std::string> listed;
  for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
    listed.push_back(std::string(reinterpret_cast<const char*>(base + names[i])) + "@" +
                     std::to_string(ordinals[i] + directory->Base));
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"GetFilterVersion@3", "HttpFilterProc@2",
                                              "TerminateFilter@1"}));
}

TEST_F(FilterDllTest, EntryPointsPopTheirArgumentsAsWinapiFunctions) {
#if !defined(__i386__)
  GTEST_SKIP() << "one calling convention on this architecture";
#else
  int drift = 1;
  HTTP_FILTER_VERSION version{};
  const DWORD versionArgs[] = {Arg(&version)};
  EXPECT_EQ(CallStdcall(reinterpret_cast<const void*>(getFilterVersion_), versionArgs, 1, &drift),
            0xFFFFFFFFu);
  EXPECT_EQ(drift, 0) << "GetFilterVersion left its argument on the stack";

  measuredProc = httpFilterProc_;
  RecordingServer server{"www.example.org", "http://elsewhere.net/", "/a.jpg"};
  EXPECT_EQ(server.Send(&MeasuredHttpFilterProc), kNextNotification);
  EXPECT_EQ(measuredDrift, 0) << "HttpFilterProc left its arguments on the stack";
  EXPECT_EQ(server.calls.size(), 4u);

  drift = 1;
  const DWORD flagsArgs[] = {0};
  EXPECT_EQ(CallStdcall(reinterpret_cast<const void*>(terminateFilter_), flagsArgs, 1, &drift), 1u);
  EXPECT_EQ(drift, 0) << "TerminateFilter left its argument on the stack";
#endif
}

TEST_F(FilterDllTest, RegistersForPreprocessedHeadersAtLowPriority) {
  HTTP_FILTER_VERSION version;
  std::memset(&version, 0x5A, sizeof version);
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  EXPECT_EQ(static_cast<DWORD>(getFilterVersion_(&version)), 0xFFFFFFFFu);
  EXPECT_EQ(version.dwServerFilterVersion, static_cast<DWORD>(HTTP_FILTER_REVISION));
  EXPECT_EQ(version.dwFilterVersion, 0x00010000u);
  EXPECT_STREQ(version.lpszFilterDesc, "Refwarden for Image Files");
  EXPECT_EQ(version.dwFlags, 0x00024000u);
  EXPECT_EQ(version.dwFlags, static_cast<DWORD>(SF_NOTIFY_ORDER_LOW | SF_NOTIFY_PREPROC_HEADERS));
  EXPECT_FALSE(KeyExists(kTraceParent)) << "registration touched the registry";
  EXPECT_EQ(terminateFilter_(0), 1);
}

TEST_F(FilterDllTest, OtherNotificationsCallNothing) {
  for (DWORD notification : {0x0u, 0x1u, 0x2u, 0x40u, 0x80u, 0x200u, 0x400u, 0x800u, 0x1000u,
                             0x2000u, 0x8000u, 0x4001u, 0xFFFFFFFFu}) {
    RecordingServer server{"www.example.org", "http://elsewhere.net/", "/a.jpg"};
    EXPECT_EQ(server.Send(httpFilterProc_, notification), kNextNotification);
    EXPECT_TRUE(server.calls.empty()) << "notification 0x" << std::hex << notification;
  }
  EXPECT_FALSE(KeyExists(kTraceParent));
}

TEST_F(FilterDllTest, RequestsAreReadTracedAndRewritten) {
  const std::string longPath = std::string(4092, 'p') + ".jpg";  // 4096 bytes
  struct Case {
    std::string url, host, referer, rewrittenTo, traced;
  };
  const Case cases[] = {
      {"/images/a.jpg?size=2", "www.example.org", "http://elsewhere.net/page", "/refwarden.jpg",
       "/images/a.jpg"},
      {"/images/a.jpg?size=3", "www.example.org", "http://www.example.org/gallery", "",
       "/images/a.jpg"},
      {"/b.gif", "www.example.org", "", "/refwarden.gif", "/b.gif"},
      {"/c.png", "www.example.org", "https://elsewhere.net/www.example.org", "/refwarden.png",
       "/c.png"},
      {"/d/e.bmp?x", "www.example.org", "http://elsewhere.net/", "/refwarden.bmp", "/d/e.bmp"},
      {"/A.JPG", "www.example.org", "http://elsewhere.net/", "", "/A.JPG"},
      {"/page.html", "www.example.org", "http://elsewhere.net/", "", "/page.html"},
      {"/?a.jpg", "www.example.org", "http://elsewhere.net/", "", "/"},
      {"?only=query", "www.example.org", "", "", ""},
      {"", "www.example.org", "", "", ""},
      {"/dir\\name.jpg", "www.example.org", "http://elsewhere.net/", "/refwarden.jpg",
       "/dir\\name.jpg"},
      {longPath, "www.example.org", "http://elsewhere.net/", "/refwarden.jpg", longPath},
  };
  for (const Case& c : cases) {
    const std::string label = "url \"" + c.url.substr(0, 40) + "\", referer \"" + c.referer + "\"";
    RecordingServer server{c.host, c.referer, c.url};
    EXPECT_EQ(server.Send(httpFilterProc_), kNextNotification) << label;
    ASSERT_GE(server.calls.size(), 3u) << label;
    const char* reads[][2] = {{"GetServerVariable", "HTTP_HOST"},
                              {"GetServerVariable", "HTTP_REFERER"},
                              {"GetHeader", "url"}};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(server.calls[i].function, reads[i][0]) << label;
      EXPECT_EQ(server.calls[i].name, reads[i][1]) << label;
      EXPECT_EQ(server.calls[i].size, 4097u) << label;
      EXPECT_TRUE(server.calls[i].bufferZeroed) << label;
    }
    if (c.rewrittenTo.empty()) {
      EXPECT_EQ(server.calls.size(), 3u) << label << ": a passing request was changed";
    } else {
      ASSERT_EQ(server.calls.size(), 4u) << label;
      EXPECT_EQ(server.calls[3].function, "SetHeader") << label;
      EXPECT_EQ(server.calls[3].name, "url") << label;
      EXPECT_EQ(server.calls[3].value, c.rewrittenTo) << label;
    }
    const RegistryValue traced = QueryValue(kTraceKey, c.traced);
    EXPECT_EQ(traced.result, ERROR_SUCCESS)
        << label << ": " << c.traced.substr(0, 40) << " not traced";
    EXPECT_EQ(traced.type, static_cast<DWORD>(REG_SZ)) << label;
    EXPECT_EQ(traced.data, kOk) << label;
  }
  // One value per distinct path; the backslash made no key.
  EXPECT_EQ(ValueCount(kTraceKey), 10u);
  EXPECT_FALSE(KeyExists("software\\tarnwel\\debug\\dir"));
}

TEST_F(FilterDllTest, FirstTraceCreatesTheKeyAndLeavesNoHandle) {
  ASSERT_FALSE(KeyExists(kTraceParent));
  // The handle the next opened key receives: the lowest free slot of the
  // process's handle table, so any handle left open moves it.
  const HKEY before = NextKeyHandle();
  {  // The probe does see a handle left open.
    HKEY held = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, KEY_READ, &held), ERROR_SUCCESS);
    EXPECT_NE(NextKeyHandle(), before);
    RegCloseKey(held);
    ASSERT_EQ(NextKeyHandle(), before);
  }
  for (int i = 0; i < 50; ++i) {
    RecordingServer server{"www.example.org", "http://elsewhere.net/",
                           "/a" + std::to_string(i % 5) + ".gif"};
    EXPECT_EQ(server.Send(httpFilterProc_), kNextNotification);
  }
  EXPECT_EQ(NextKeyHandle(), before) << "the trace left registry handles open";
  EXPECT_TRUE(KeyExists(kTraceKey));
  EXPECT_EQ(ValueCount(kTraceKey), 5u);
  EXPECT_EQ(QueryValue(kTraceKey, "/a3.gif").data, kOk);
}

TEST_F(FilterDllTest, FailedTraceLetsEveryRequestPass) {
  // A volatile parent cannot hold the stored key the trace creates, so
  // RegCreateKeyExA fails and the value is written with no key.
  HKEY parent = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTraceParent, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &parent, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(parent);
  for (const char* url : {"/images/a.jpg", "/b.gif?x=1", "/index.html"}) {
    RecordingServer server{"www.example.org", "http://elsewhere.net/", url};
    EXPECT_EQ(server.Send(httpFilterProc_), kNextNotification) << url;
    EXPECT_EQ(server.calls.size(), 3u) << url << ": rewritten although the trace failed";
  }
  EXPECT_FALSE(KeyExists(kTraceKey));
  RegDeleteKeyA(HKEY_CURRENT_USER, kTraceParent);

  // The next request traces afresh.
  RecordingServer server{"www.example.org", "http://elsewhere.net/", "/images/a.jpg"};
  EXPECT_EQ(server.Send(httpFilterProc_), kNextNotification);
  EXPECT_EQ(server.calls.size(), 4u);
  EXPECT_EQ(QueryValue(kTraceKey, "/images/a.jpg").data, kOk);
}

TEST_F(FilterDllTest, ConcurrentRequestsAreEachHandled) {
  constexpr int kThreads = 4;
  constexpr int kRequests = 100;
  std::vector<int> rewrites(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &rewrites] {
      for (int i = 0; i < kRequests; ++i) {
        // Every thread also writes the one shared path.
        const std::string url = i % 10 == 0
                                    ? "/shared.png"
                                    : "/t" + std::to_string(t) + "/" + std::to_string(i) + ".png";
        RecordingServer server{"www.example.org", "http://elsewhere.net/", url};
        server.Send(httpFilterProc_);
        if (server.calls.size() == 4 && server.calls[3].value == "/refwarden.png") ++rewrites[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(rewrites[t], kRequests) << "thread " << t;
  EXPECT_EQ(ValueCount(kTraceKey), static_cast<DWORD>(kThreads * (kRequests - kRequests / 10) + 1));
  EXPECT_EQ(QueryValue(kTraceKey, "/shared.png").data, kOk);
  EXPECT_EQ(QueryValue(kTraceKey, "/t3/99.png").data, kOk);
}

}  // namespace
