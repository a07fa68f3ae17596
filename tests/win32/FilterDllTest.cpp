// What only refwarden.dll as a Windows web server meets it can show: its
// export table, by name and by ordinal, and the registry handles its trace
// leaves. The contract it shares with the Linux library is
// tests/FilterContractTest.cpp, built into this program too.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "filter/RequestTrace.h"
#include "tests/support/RecordingServer.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"
#include "tools/FilterHost.h"

namespace refwarden {
namespace {

using testing::IsTraced;
using testing::KeyExists;
using testing::ReadValues;
using testing::RecordingServer;

// The handle the next opened key receives: the lowest free slot of the
// process's handle table, so any handle left open moves it.
HKEY NextKeyHandle() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return nullptr;
  RegCloseKey(key);
  return key;
}

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
HttpFilterProcFunction measuredProc = nullptr;
int measuredDrift = 1;
DWORD WINAPI MeasuredHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notification, void* data) {
  const DWORD args[] = {Arg(pfc), notification, Arg(data)};
  return CallStdcall(reinterpret_cast<const void*>(measuredProc), args, 3, &measuredDrift);
}
#endif

class FilterDllTest : public ::testing::Test {
 protected:
  testing::TempStore store;
  FilterLibrary filter{FilterLibrary::DefaultPath()};
  HMODULE module = GetModuleHandleA("refwarden.dll");
};

TEST_F(FilterDllTest, ExportsExactlyTheThreeEntryPointsByNameAndOrdinal) {
  ASSERT_NE(module, nullptr);
  const struct {
    WORD ordinal;
    const char* name;
  } exports[] = {{1, "TerminateFilter"}, {2, "HttpFilterProc"}, {3, "GetFilterVersion"}};
  for (const auto& e : exports) {
    FARPROC byName = GetProcAddress(module, e.name);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal));
    EXPECT_NE(byName, nullptr) << e.name;
    EXPECT_EQ(byName, byOrdinal) << e.name << " is not ordinal " << e.ordinal;
  }
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(4)), nullptr);
  EXPECT_EQ(GetProcAddress(module, "_GetFilterVersion@4"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "GetFilterVersion@4"), nullptr);

  // The export directory of the image as the loader mapped it.
  const auto* base = reinterpret_cast<const BYTE*>(module);
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
  ASSERT_NE(module, nullptr);
  const void* getFilterVersion =
      reinterpret_cast<const void*>(GetProcAddress(module, "GetFilterVersion"));
  const void* terminateFilter =
      reinterpret_cast<const void*>(GetProcAddress(module, "TerminateFilter"));
  int drift = 1;
  HTTP_FILTER_VERSION version{};
  const DWORD versionArgs[] = {Arg(&version)};
  EXPECT_EQ(CallStdcall(getFilterVersion, versionArgs, 1, &drift), 0xFFFFFFFFu);
  EXPECT_EQ(drift, 0) << "GetFilterVersion left its argument on the stack";

  measuredProc = filter.Function();
  RecordingServer server{"www.example.org", "http://elsewhere.net/", "/a.jpg"};
  EXPECT_EQ(server.Send(&MeasuredHttpFilterProc),
            static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  EXPECT_EQ(measuredDrift, 0) << "HttpFilterProc left its arguments on the stack";
  EXPECT_EQ(server.CheckRequestCalls("/refwarden.jpg"), "");

  drift = 1;
  const DWORD flagsArgs[] = {0};
  EXPECT_EQ(CallStdcall(terminateFilter, flagsArgs, 1, &drift), 1u);
  EXPECT_EQ(drift, 0) << "TerminateFilter left its argument on the stack";
#endif
}

TEST_F(FilterDllTest, FirstTraceCreatesTheKeyAndLeavesNoHandle) {
  ASSERT_FALSE(KeyExists(kTraceKey));
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
    EXPECT_EQ(server.Send(filter.Function()), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  }
  EXPECT_EQ(NextKeyHandle(), before) << "the trace left registry handles open";
  EXPECT_EQ(ReadValues(kTraceKey).size(), 5u);
  EXPECT_TRUE(IsTraced("/a3.gif"));
}

}  // namespace
}  // namespace refwarden
