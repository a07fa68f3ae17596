// What only refwarden.dll as a Windows web server meets it can show: its
// export table, by name and by ordinal, and the registry handles its trace
// leaves. The contract it shares with the Linux library is
// tests/FilterContractTest.cpp, built into this program too.
#include <windows.h>

#include <gtest/gtest.h>

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
