// The contract of a registry store, as the registry functions give it: one
// table of cases run against every kind of store (a row per store name), each
// case on a store of its own. What one kind adds (files, locks, faults) is
// tested apart: tests/RegistryLayerTest.cpp for the SQLite store.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "filter/RequestTrace.h"
#include "platform/Platform.h"
#include "platform/posix/RegistryStats.h"
#include "platform/posix/memory/MemoryStore.h"
#include "tests/RegistryCalls.h"
#include "tests/support/Printable.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"

namespace refwarden {
namespace {

using testing::Printable;
using testing::UseStore;
using Value = testing::StoredValue;
using testing::Create;
using testing::kOk;
using testing::Names;
using testing::Open;
using testing::ReadAll;
using testing::Set;

// The kinds of store, by the name that selects them: a SQLite file in the
// test's own folder, or a memory store of the test's own.
enum class Kind { kSqlite, kMemory };

class StoreContractTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.Folder().empty());
    UseStore(store_);
  }

  void TearDown() override {
    EXPECT_EQ(RegistryOpenHandleCount(), 0u);
    RegistryDrainPool();
    EXPECT_EQ(RegistryOpenConnectionCount(), 0u);
  }

  // A second store of the same kind.
  std::string OtherStore() const {
    return GetParam() == Kind::kSqlite ? temp_.Folder() + "/other.sqlite" : store_ + "-other";
  }

  static std::string MemoryName() {
    static int stores = 0;
    return std::string(kMemoryStoreName) + "contract-" + std::to_string(++stores);
  }

  testing::TempStore temp_{"data/refwarden/registry.sqlite"};
  const std::string store_ = GetParam() == Kind::kSqlite ? temp_.Path() : MemoryName();
};

std::string KindName(const ::testing::TestParamInfo<Kind>& row) {
  return row.param == Kind::kSqlite ? "sqlite" : "memory";
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContractTest, ::testing::Values(Kind::kSqlite, Kind::kMemory),
                         KindName);

TEST_P(StoreContractTest, CreatesMissingParentsAndReportsDisposition) {
  struct Step {
    const char* path;
    DWORD disposition;
  } steps[] = {
      {kTraceKey, REG_CREATED_NEW_KEY},
      {kTraceKey, REG_OPENED_EXISTING_KEY},
      {"software", REG_OPENED_EXISTING_KEY},
      {"software\\tarnwel", REG_OPENED_EXISTING_KEY},
      {"software\\tarnwel\\debug\\", REG_OPENED_EXISTING_KEY},
      {"software\\other", REG_CREATED_NEW_KEY},
      {"", REG_OPENED_EXISTING_KEY},
  };
  for (const Step& step : steps) {
    DWORD disposition = 0;
    HKEY key = Create(step.path, &disposition);
    EXPECT_EQ(disposition, step.disposition) << step.path;
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS) << step.path;
  }
}

TEST_P(StoreContractTest, RejectsMalformedKeyPaths) {
  const char* bad[] = {"\\software", "software\\\\tarnwel", "a\\\\", "\\"};
  std::string longName(256, 'k');
  for (const char* path : {bad[0], bad[1], bad[2], bad[3], longName.c_str()}) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER)
        << path;
    EXPECT_EQ(key, nullptr) << path;
  }
  RegCloseKey(Create(std::string(255, 'k').c_str()));
}

TEST_P(StoreContractTest, OpenFindsOnlyExistingKeys) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  HKEY parent = Create("software\\tarnwel");
  HKEY child = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(parent, "Debug", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(Set(child, "/x", "1"), ERROR_SUCCESS);
  RegCloseKey(child);
  RegCloseKey(parent);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/x"});
}

TEST_P(StoreContractTest, KeyNamesIgnoreAsciiCaseAndKeepTheFirst) {
  HKEY first = Create("Software\\Tarnwel");
  DWORD disposition = 0;
  HKEY second = Create("SOFTWARE\\tarnwel\\DEBUG", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(Set(second, "/a", "1"), ERROR_SUCCESS);
  RegCloseKey(first);
  RegCloseKey(second);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/a"});
  // Only ASCII letters fold: these are two keys.
  RegCloseKey(Create("caf\xc3\xa9"));
  RegCloseKey(Create("CAF\xc3\x89", &disposition));
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
}

TEST_P(StoreContractTest, ValueNamesIgnoreAsciiCaseAndKeepTheFirst) {
  struct Write {
    std::string name, data;
  } writes[] = {
      {"/Photo.JPG", "1"}, {"/photo.jpg", "2"},
      {"/PHOTO.jpg", "3"}, {"/\xc9t\xe9", "4"},  // Latin-1 letters do not fold
      {"/\xe9T\xc9", "5"}, {"/\xc9T\xe9", "6"},
  };
  HKEY key = Create(kTraceKey);
  for (const Write& w : writes) EXPECT_EQ(Set(key, w.name, w.data), ERROR_SUCCESS);
  RegCloseKey(key);
  std::vector<Value> expected = {
      {"/Photo.JPG", REG_SZ, "3"}, {"/\xc9t\xe9", REG_SZ, "6"}, {"/\xe9T\xc9", REG_SZ, "5"}};
  EXPECT_EQ(ReadAll(kTraceKey), expected);
}

TEST_P(StoreContractTest, EmptyNameIsTheDefaultValue) {
  HKEY key = Create(kTraceKey);
  EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, kOk, 3), ERROR_SUCCESS);
  EXPECT_EQ(Set(key, "", "second"), ERROR_SUCCESS);
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    char data[16] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(data, size), "second");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  }
  RegCloseKey(key);
  EXPECT_EQ(ReadAll(kTraceKey), (std::vector<Value>{{"", REG_SZ, "second"}}));
}

TEST_P(StoreContractTest, NamesAndDataRoundTripAsBytes) {
  const std::vector<Value> values = {
      {"/a\\b\\c.jpg", REG_SZ, std::string("ok\0", 3)},      {"\\", REG_SZ, "x"},
      {"/\xff\xfe\x80", 3, std::string("\0\x01\xff", 3)},    {"/caf\xe9/\xc3\x28", 7, ""},
      {"/%00?q=\x7f", REG_NONE, std::string(70000, '\xab')}, {std::string(4096, 'p'), REG_SZ, "ok"},
  };
  HKEY key = Create(kTraceKey);
  for (const Value& v : values) EXPECT_EQ(Set(key, v.name, v.data, v.type), ERROR_SUCCESS);
  RegCloseKey(key);
  std::vector<Value> got = ReadAll(kTraceKey);
  ASSERT_EQ(got.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(got[i].name, values[i].name) << Printable(values[i].name);
    EXPECT_EQ(got[i].type, values[i].type) << Printable(values[i].name);
    EXPECT_EQ(got[i].data, values[i].data) << Printable(values[i].name);
  }
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\tarnwel\\debug\\a", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
}

TEST_P(StoreContractTest, ValueNamesUpTo16383Bytes) {
  HKEY key = Create(kTraceKey);
  std::string longest(16383, 'n');
  std::string tooLong(16384, 'n');
  tooLong[0] = 'x';
  EXPECT_EQ(Set(key, longest, "ok"), ERROR_SUCCESS);
  EXPECT_EQ(Set(key, tooLong, "ok"), ERROR_INVALID_PARAMETER);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, tooLong.c_str(), nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{longest});
}

TEST_P(StoreContractTest, RefusesUnknownHandles) {
  HKEY closed = Create(kTraceKey);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  const std::pair<const char*, HKEY> handles[] = {
      {"null", nullptr},
      {"closed", closed},
      {"forged", reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x12345))},
      {"HKEY_LOCAL_MACHINE", reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u))},
  };
  for (const auto& [label, h] : handles) {
    char name[8];
    DWORD cch = sizeof name;
    DWORD size = 0;
    HKEY sub = nullptr;
    EXPECT_EQ(RegSetValueExA(h, "/a", 0, REG_SZ, kOk, 3), ERROR_INVALID_HANDLE) << label;
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE) << label;
    EXPECT_EQ(RegEnumValueA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE)
        << label;
    EXPECT_EQ(RegQueryValueExA(h, "/a", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE)
        << label;
    EXPECT_EQ(RegCreateKeyExA(h, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_INVALID_HANDLE)
        << label;
    EXPECT_EQ(sub, nullptr) << label;
  }
}

TEST_P(StoreContractTest, ReadOnlyHandleRefusesWrites) {
  RegCloseKey(Create(kTraceKey));
  HKEY key = Open(kTraceKey, KEY_READ);
  EXPECT_EQ(RegSetValueExA(key, "/a", 0, REG_SZ, kOk, 3), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_P(StoreContractTest, FollowsTheStoreNamedByTheEnvironment) {
  const std::string other = OtherStore();
  HKEY first = Create(kTraceKey);
  UseStore(other);
  HKEY second = Create(kTraceKey);
  EXPECT_EQ(Set(first, "/first", "1"), ERROR_SUCCESS);
  EXPECT_EQ(Set(second, "/second", "2"), ERROR_SUCCESS);
  HKEY child = nullptr;  // a key opened below a handle stays in its store
  ASSERT_EQ(RegCreateKeyExA(first, "sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(Set(child, "/child", "3"), ERROR_SUCCESS);
  for (HKEY k : {first, second, child}) RegCloseKey(k);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/second"});
  UseStore(store_);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/first"});
  EXPECT_EQ(Names(ReadAll("software\\tarnwel\\debug\\sub")), std::vector<std::string>{"/child"});
}

TEST_P(StoreContractTest, EnumeratesInFirstWriteOrder) {
  const char* writes[] = {"/c", "/a", "/B", "/a", "/d", "/b", "/e"};
  std::vector<std::string> expected = {"/c", "/a", "/B", "/d", "/e"};
  HKEY key = Create(kTraceKey);
  for (const char* name : writes) EXPECT_EQ(Set(key, name, name), ERROR_SUCCESS);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), expected);

  // Any index in any order, on one handle.
  for (DWORD index : {3u, 0u, 4u, 4u, 1u, 2u, 2u, 0u, 9u, 3u}) {
    char name[8];
    DWORD cch = sizeof name;
    LONG r = RegEnumValueA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (index >= expected.size()) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS) << index;
      continue;
    }
    ASSERT_EQ(r, ERROR_SUCCESS) << index;
    EXPECT_EQ(std::string(name, cch), expected[index]) << index;
  }
  RegCloseKey(key);
}

// The subkeys of the key at `path`, in enumeration order; a key that cannot
// be read whole fails the test.
std::vector<std::string> Subkeys(const char* path) {
  std::vector<std::string> out;
  HKEY key = Open(path);
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD cch = sizeof name;
    const LONG r = RegEnumKeyExA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS) << path << " at " << index;
      break;
    }
    out.emplace_back(name, cch);
  }
  RegCloseKey(key);
  return out;
}

TEST_P(StoreContractTest, EnumeratesSubkeysInCreationOrder) {
  for (const char* path : {"software\\tarnwel\\debug", "Software\\Other", "SOFTWARE\\tarnwel\\x",
                           "software\\tarnwel\\DEBUG\\deeper"})
    RegCloseKey(Create(path));
  const struct {
    const char* key;
    std::vector<std::string> subkeys;
  } rows[] = {
      {"", {"software"}},
      {"software", {"tarnwel", "Other"}},
      {"software\\tarnwel", {"debug", "x"}},
      {"software\\tarnwel\\x", {}},
  };
  for (const auto& row : rows) EXPECT_EQ(Subkeys(row.key), row.subkeys) << row.key;

  HKEY key = Open("software");
  char name[8];
  DWORD cch = 7;  // "tarnwel" and its NUL take 8
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  RegCloseKey(key);
  key = Open("software", KEY_QUERY_VALUE);
  cch = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

// Deleting, step by step on one store: what each step answers and what is
// left to read after it.
TEST_P(StoreContractTest, DeletesValuesAndTrees) {
  HKEY trace = Create(kTraceKey);
  for (const char* name : {"/a", "/b", "/c"}) EXPECT_EQ(Set(trace, name, name), ERROR_SUCCESS);
  RegCloseKey(Create("software\\tarnwel\\debug\\below"));
  RegCloseKey(Create("software\\other"));
  HKEY other = Create("software\\other");
  EXPECT_EQ(Set(other, "kept", "1"), ERROR_SUCCESS);

  HKEY readOnly = Open(kTraceKey, KEY_READ);
  EXPECT_EQ(RegDeleteValueA(readOnly, "/a"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeA(readOnly, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(readOnly);

  EXPECT_EQ(RegDeleteValueA(trace, "/B"), ERROR_SUCCESS);  // names fold as on write
  EXPECT_EQ(RegDeleteValueA(trace, "/b"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), (std::vector<std::string>{"/a", "/c"}));
  EXPECT_EQ(Set(trace, "/d", "d"), ERROR_SUCCESS);
  EXPECT_EQ(Set(trace, "/a", "again"), ERROR_SUCCESS);  // keeps its place
  EXPECT_EQ(Names(ReadAll(kTraceKey)), (std::vector<std::string>{"/a", "/c", "/d"}));

  // A key's own values and subkeys, the key kept.
  EXPECT_EQ(RegDeleteTreeA(trace, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{});
  EXPECT_EQ(Subkeys(kTraceKey), std::vector<std::string>{});
  EXPECT_EQ(Set(trace, "/e", "e"), ERROR_SUCCESS);

  // A whole tree, by its path below a key; the handle still open on a key in
  // it answers that its key is gone, and the key made again is a new one.
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Tarnwel"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "software\\tarnwel"), ERROR_FILE_NOT_FOUND);
  HKEY gone = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Subkeys("software"), std::vector<std::string>{"other"});
  EXPECT_EQ(Names(ReadAll("software\\other")), std::vector<std::string>{"kept"});
  EXPECT_EQ(Set(trace, "/f", "f"), ERROR_KEY_DELETED);
  RegCloseKey(trace);
  trace = Create(kTraceKey);
  EXPECT_EQ(Set(trace, "/g", "g"), ERROR_SUCCESS);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/g"});
  EXPECT_EQ(Subkeys("software"), (std::vector<std::string>{"other", "tarnwel"}));
  RegCloseKey(trace);

  // A session that found a key before another session of this process
  // deleted it looks again, so the key made again takes writes at once.
  HKEY software = Open("software", KEY_ALL_ACCESS);  // one session held
  trace = Create(kTraceKey);                         // another, which finds the key
  RegCloseKey(trace);
  EXPECT_EQ(RegDeleteTreeA(software, "tarnwel"), ERROR_SUCCESS);
  trace = Create(kTraceKey);
  EXPECT_EQ(Set(trace, "/h", "h"), ERROR_SUCCESS);
  EXPECT_EQ(Names(ReadAll(kTraceKey)), std::vector<std::string>{"/h"});
  RegCloseKey(trace);
  RegCloseKey(software);

  // The root's content goes, the root stays.
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(""), std::vector<std::string>{});
  EXPECT_EQ(Set(other, "x", "1"), ERROR_KEY_DELETED);
  RegCloseKey(other);
}

TEST_P(StoreContractTest, FollowsTheRegistrySizeRules) {
  HKEY key = Create(kTraceKey);
  ASSERT_EQ(Set(key, "/four", "12345678"), ERROR_SUCCESS);
  char name[16];
  BYTE data[16];
  DWORD cch, cb, type;

  cch = 5;  // "/four" needs 6 with its NUL
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 6;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(cch, 5u);
  EXPECT_STREQ(name, "/four");

  cch = sizeof name, cb = 4, type = 0;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 8u);
  cch = sizeof name, cb = 0;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 8u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  cch = sizeof name, cb = 8;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), cb), "12345678");
  cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  cb = 7;
  EXPECT_EQ(RegQueryValueExA(key, "/FOUR", nullptr, &type, data, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 8u);
  cb = 0;
  EXPECT_EQ(RegQueryValueExA(key, "/four", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 8u);
  EXPECT_EQ(RegQueryValueExA(key, "/five", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_P(StoreContractTest, ManyThreadsWriteTheExactSet) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 600;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string names[] = {"/shared/" + std::to_string(i % 37),
                                     "/t" + std::to_string(t) + "/" + std::to_string(i)};
        for (const std::string& name : names) {
          HKEY key = nullptr;
          if (RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr) != ERROR_SUCCESS ||
              RegSetValueExA(key, name.c_str(), 0, REG_SZ, kOk, 3) != ERROR_SUCCESS ||
              RegCloseKey(key) != ERROR_SUCCESS)
            ++failures;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(RegistryOpenHandleCount(), 0u);

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) {
      expected.insert("/shared/" + std::to_string(i % 37));
      expected.insert("/t" + std::to_string(t) + "/" + std::to_string(i));
    }
  std::vector<Value> got = ReadAll(kTraceKey);
  std::set<std::string> names;
  for (const Value& v : got) {
    names.insert(v.name);
    EXPECT_EQ(v.data, std::string("ok\0", 3)) << v.name;
  }
  EXPECT_EQ(got.size(), names.size());
  EXPECT_EQ(names, expected);
}

TEST_P(StoreContractTest, OneHandleSharedAndClosedUnderUse) {
  HKEY key = Create(kTraceKey);
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        std::string name = "/" + std::to_string(t) + "/" + std::to_string(i);
        LONG r = RegSetValueExA(key, name.c_str(), 0, REG_SZ, kOk, 3);
        if (r != ERROR_SUCCESS && r != ERROR_INVALID_HANDLE) ++unexpected;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

// The memory store's own case: a server asked for ever new paths must not
// make it grow without end. Past its budget the key written forgets its
// oldest values, in order, and keeps the newest.
TEST(MemoryStoreTest, ForgetsTheOldestValuesPastItsBudget) {
  const testing::TempStore temp;  // puts the environment back
  UseStore(std::string(kMemoryStoreName) + "budget");
  const std::string data(4096, 'd');
  const std::size_t writes = 2 * kMemoryStoreBudget / data.size();
  HKEY key = Create(kTraceKey);
  for (std::size_t i = 0; i < writes; ++i)
    ASSERT_EQ(Set(key, "/" + std::to_string(i), data), ERROR_SUCCESS) << i;
  RegCloseKey(key);
  const std::vector<std::string> names = Names(ReadAll(kTraceKey));
  ASSERT_GT(names.size(), writes / 4);
  EXPECT_LE(names.size() * data.size(), kMemoryStoreBudget);
  for (std::size_t i = 0; i < names.size(); ++i)
    ASSERT_EQ(names[i], "/" + std::to_string(writes - names.size() + i)) << i;
}

}  // namespace
}  // namespace refwarden
