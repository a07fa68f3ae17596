#include "tests/support/TempStore.h"

#include "platform/Platform.h"

#ifdef _WIN32

namespace refwarden::testing {
namespace {

constexpr const char* kTraceParent = "software\\tarnwel";

void RemoveTraceParent() {
  RegDeleteTreeA(HKEY_CURRENT_USER, kTraceParent);
  RegDeleteKeyA(HKEY_CURRENT_USER, kTraceParent);
}

}  // namespace

TempStore::TempStore(std::string_view) { RemoveTraceParent(); }
TempStore::~TempStore() { RemoveTraceParent(); }

void TempStore::RefuseTraces() {
  RemoveTraceParent();
  HKEY parent = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kTraceParent, 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &parent, nullptr) == ERROR_SUCCESS) {
    RegCloseKey(parent);
  }
}

void TempStore::AllowTraces() { RemoveTraceParent(); }

}  // namespace refwarden::testing

#else  // POSIX

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace refwarden::testing {

namespace fs = std::filesystem;

// A store under /proc, where no folder can be made, not even by root.
constexpr const char* kUnmakeableStore = "/proc/refwarden-cannot-exist/registry.sqlite";

TempStore::TempStore(std::string_view storeName) : folder_(MakeTempFolder()) {
  if (const char* earlier = getenv("REFWARDEN_REGISTRY")) {
    earlier_ = earlier;
    wasSet_ = true;
  }
  if (!folder_.empty()) path_ = folder_ + "/" + std::string(storeName);
  AllowTraces();
}

TempStore::~TempStore() {
  if (wasSet_) {
    UseStore(earlier_);
  } else {
    unsetenv("REFWARDEN_REGISTRY");
  }
  std::error_code ignored;
  if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

void TempStore::RefuseTraces() { UseStore(kUnmakeableStore); }

// Without a folder of its own, never the store of the account running the test.
void TempStore::AllowTraces() { UseStore(path_.empty() ? kUnmakeableStore : path_); }

void UseStore(const std::string& path) { setenv("REFWARDEN_REGISTRY", path.c_str(), 1); }

std::string MakeTempFolder() {
  std::error_code error;
  std::string pattern = (fs::temp_directory_path(error) / "refwarden-test-XXXXXX").string();
  if (error || mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

}  // namespace refwarden::testing

#endif
