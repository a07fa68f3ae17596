#include "filter/RequestTrace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace refwarden {
namespace {

// A registry that records every call and fails on demand.
struct FakeRegistry {
  std::vector<std::string> calls;
  LONG createResult = ERROR_SUCCESS;
  LONG setResult = ERROR_SUCCESS;
  int openHandles = 0;
  std::string subKey, valueName, data;
  DWORD options = 99, access = 0, type = 0, size = 0;
  HKEY root = nullptr, setHandle = nullptr;
};
FakeRegistry* fake = nullptr;
int handleStorage;
HKEY const kHandle = reinterpret_cast<HKEY>(&handleStorage);

LONG WINAPI FakeCreate(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM access,
                       LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD) {
  fake->calls.push_back("create");
  fake->root = root;
  fake->subKey = subKey;
  fake->options = options;
  fake->access = access;
  if (fake->createResult != ERROR_SUCCESS) return fake->createResult;
  *result = kHandle;
  ++fake->openHandles;
  return ERROR_SUCCESS;
}

LONG WINAPI FakeSet(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  fake->calls.push_back("set");
  fake->setHandle = key;
  fake->valueName = name;
  fake->type = type;
  fake->size = size;
  fake->data.assign(reinterpret_cast<const char*>(data), size);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  return fake->setResult;
}

LONG WINAPI FakeClose(HKEY key) {
  fake->calls.push_back("close");
  if (key == kHandle) --fake->openHandles;
  return ERROR_SUCCESS;
}

const RegistryApi kFakeApi{&FakeCreate, &FakeSet, &FakeClose};

class RequestTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { fake = &registry; }
  void TearDown() override { fake = nullptr; }
  FakeRegistry registry;
};

TEST_F(RequestTraceTest, SuccessMakesExactlyThreeCalls) {
  TraceRequestPath("/images/a.jpg", kFakeApi);
  EXPECT_EQ(registry.calls, (std::vector<std::string>{"create", "set", "close"}));
  EXPECT_EQ(registry.root, HKEY_CURRENT_USER);
  EXPECT_EQ(registry.subKey, "software\\tarnwel\\debug");
  EXPECT_EQ(registry.options, static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
  EXPECT_EQ(registry.access, static_cast<DWORD>(KEY_ALL_ACCESS));
  EXPECT_EQ(registry.setHandle, kHandle);
  EXPECT_EQ(registry.valueName, "/images/a.jpg");
  EXPECT_EQ(registry.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(registry.size, 3u);
  EXPECT_EQ(registry.data, std::string("ok\0", 3));
  EXPECT_EQ(registry.openHandles, 0);
}

TEST_F(RequestTraceTest, FailuresRaiseWithThePathAndLeaveNoHandleOpen) {
  struct Case {
    const char* name;
    LONG createResult, setResult;
    std::vector<std::string> calls;
    bool nullHandleWrite;
  };
  const Case cases[] = {
      {"create refused", ERROR_ACCESS_DENIED, ERROR_SUCCESS, {"create", "set"}, true},
      {"set refused", ERROR_SUCCESS, ERROR_DISK_FULL, {"create", "set", "close"}, false},
  };
  for (const Case& c : cases) {
    registry = FakeRegistry{};
    registry.createResult = c.createResult;
    registry.setResult = c.setResult;
    try {
      TraceRequestPath("/x\\y.gif", kFakeApi);
      ADD_FAILURE() << c.name << ": no failure raised";
    } catch (const ERegistryException& e) {
      EXPECT_EQ(e.Message(), "Failed to set data for '/x\\y.gif'") << c.name;
    }
    EXPECT_EQ(registry.calls, c.calls) << c.name;
    EXPECT_EQ(registry.setHandle == nullptr, c.nullHandleWrite) << c.name;
    EXPECT_EQ(registry.openHandles, 0) << c.name;
  }
}

TEST_F(RequestTraceTest, PathIsTheValueNameWhole) {
  for (const std::string& path : {std::string(), std::string(4096, 'p'), std::string(5000, 'q'),
                                  std::string("/a b/\xe4\xbd\xa0.png")}) {
    registry = FakeRegistry{};
    TraceRequestPath(path, kFakeApi);
    EXPECT_EQ(registry.valueName, path) << "path of " << path.size() << " bytes";
  }
}

TEST_F(RequestTraceTest, WrapperClosesOnReleaseAndOpenNeverThrows) {
  {
    TRegistry wrapper(HKEY_CURRENT_USER, KEY_ALL_ACCESS, kFakeApi);
    EXPECT_TRUE(wrapper.OpenKey("a\\b", true));
    EXPECT_EQ(wrapper.CurrentKey(), kHandle);
    EXPECT_EQ(registry.openHandles, 1);
  }
  EXPECT_EQ(registry.openHandles, 0);
  registry.createResult = ERROR_ACCESS_DENIED;
  TRegistry wrapper(HKEY_CURRENT_USER, KEY_ALL_ACCESS, kFakeApi);
  EXPECT_FALSE(wrapper.OpenKey("a\\b", true));
  EXPECT_EQ(wrapper.CurrentKey(), nullptr);
}

}  // namespace
}  // namespace refwarden
