#include "platform/posix/Store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/posix/RegistryNames.h"
#include "platform/posix/RegistryStats.h"
#include "platform/posix/memory/MemoryStore.h"
#include "platform/posix/sqlite/ConnectionPool.h"

namespace refwarden {

namespace {

constexpr std::size_t kMaxCachedKeys = 1024;
constexpr const char* kStoreVariable = "REFWARDEN_REGISTRY";

const char* HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  std::vector<char> buf(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
    return nullptr;
  // pw_dir points into buf; keep a copy that outlives this call.
  thread_local std::string dir;
  dir = found->pw_dir;
  return dir.empty() ? nullptr : dir.c_str();
}

// Key deletions in this process, in any store: a session whose cache has not
// seen the latest one forgets what it found, so that no session of this
// process gives out the id of a key another one deleted.
std::atomic<std::uint64_t> keyDeletions{0};

}  // namespace

LONG StoreSession::DeleteTree(std::int64_t key, bool withKey) {
  keyCache_.clear();
  const LONG r = RemoveTree(key, withKey && key != kRootKeyId);
  keyDeletions.fetch_add(1, std::memory_order_acq_rel);
  return r;
}

void ValueRow::End() noexcept {
  if (session_ != nullptr) std::exchange(session_, nullptr)->EndRead();
}

LONG StoreSession::FindKey(std::int64_t parent, const char* sub, bool create, std::int64_t* id,
                           bool* created) {
  *created = false;
  std::string_view rel;
  if (!NormaliseKeyPath(sub, &rel)) return ERROR_INVALID_PARAMETER;
  if (rel.empty()) {
    *id = parent;
    return ERROR_SUCCESS;
  }
  scratch_.clear();
  if (parent != kRootKeyId) {
    if (LONG r = KeyPath(parent, &scratch_)) return r;
    scratch_.push_back('\\');
  }
  scratch_.append(rel.data(), rel.size());
  if (scratch_.size() > kMaxKeyPathLen) return ERROR_INVALID_PARAMETER;

  FoldAscii(scratch_, &folded_);
  const std::uint64_t deletions = keyDeletions.load(std::memory_order_acquire);
  if (deletions != cacheDeletions_) {
    keyCache_.clear();
    cacheDeletions_ = deletions;
  }
  auto hit = keyCache_.find(folded_);
  if (hit != keyCache_.end()) {
    *id = hit->second;
    return ERROR_SUCCESS;
  }
  LONG r = LookupKey(scratch_, id);
  if (r == ERROR_FILE_NOT_FOUND && create) r = CreateKey(scratch_, id, created);
  if (r != ERROR_SUCCESS) return r;
  if (keyCache_.size() >= kMaxCachedKeys) keyCache_.clear();
  keyCache_.emplace(folded_, *id);
  return ERROR_SUCCESS;
}

bool ResolveStoreName(std::string* name) {
  const char* named = std::getenv(kStoreVariable);
  if (named != nullptr && named[0] != '\0') {
    name->assign(named);
    return true;
  }
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') {
    name->assign(data);
    name->append("/refwarden/registry.sqlite");
    return true;
  }
  const char* home = HomeFolder();
  if (home == nullptr) return false;
  name->assign(home);
  name->append("/.local/share/refwarden/registry.sqlite");
  return true;
}

bool IsMemoryStoreName(std::string_view name) {
  return name.substr(0, sizeof kMemoryStoreName - 1) == kMemoryStoreName;
}

LONG OpenStore(const std::string* name, bool create, SessionLease* out) {
  out->Reset();
  thread_local std::string named;
  if (name == nullptr) {
    if (!ResolveStoreName(&named)) return ERROR_PATH_NOT_FOUND;
    name = &named;
  }
  if (IsMemoryStoreName(*name)) return MemoryStores::Get().Open(*name, out);
  return ConnectionPool::Get().Checkout(*name, create, out);
}

RegistryStoreInfo CurrentRegistryStore() {
  RegistryStoreInfo store;
  if (!ResolveStoreName(&store.name)) {
    store.description = "none: REFWARDEN_REGISTRY, XDG_DATA_HOME and the home folder are all unset";
  } else if (IsMemoryStoreName(store.name)) {
    store.processLocal = true;
    store.description = store.name + " (a store in this process's memory, gone when it ends)";
  } else {
    store.description = store.name;
  }
  return store;
}

std::string SelectRegistryStore(const char* name) {
  const char* before = std::getenv(kStoreVariable);
  std::string previous = before != nullptr ? before : "";
  if (name == nullptr || name[0] == '\0') {
    unsetenv(kStoreVariable);
  } else {
    setenv(kStoreVariable, name, 1);
  }
  return previous;
}

std::size_t RegistryOpenConnectionCount() { return ConnectionPool::Get().OpenCount(); }

void RegistryDrainPool() { ConnectionPool::Get().Drain(); }

}  // namespace refwarden
