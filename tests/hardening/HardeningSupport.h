// What the hardening tests share: requests as a server sends them, the
// filter's rule written out on its own to judge the answers, a direct look at
// the store file, and the process's resident memory.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "filter/RequestTrace.h"
#include "platform/Platform.h"
#include "tests/support/LinkedFilter.h"
#include "tests/support/References.h"
#include "tools/FilterHost.h"

namespace refwarden::hardening {

inline constexpr std::string_view kSiteHost = "site.example";

// One request: what the server holds, and the query-less path the filter
// must trace.
struct TestRequest {
  std::string host;
  std::string referer;
  std::string url;
  std::string path;

  FilterRequest AsFilterRequest() const { return {host, referer, url}; }
};

// Sends `request` through the filter's code linked in, so that the registry
// layer's counters in this process are the ones it uses.
inline FilterOutcome Send(const TestRequest& request) {
  return RunPreprocHeaders(&testing::LinkedHttpFilterProc, request.AsFilterRequest());
}

// Returns what the rule, written out on its own, makes of `r`: the
// replacement URL, or "" for a pass.
inline std::string RuleReplacement(const TestRequest& r) {
  return reference::RuleReplacement(r.path, r.host, r.referer);
}

// Checks what the filter did with `r` when its trace may have failed: the
// status is always SF_STATUS_REQ_NEXT_NOTIFICATION; a rewrite is the rule's
// replacement, and a request left alone keeps its URL. Returns "" when sound,
// else a description naming the request.
inline std::string CheckOutcome(const TestRequest& r, const FilterOutcome& o) {
  const std::string replacement = RuleReplacement(r);
  std::string wrong;
  if (o.status != SF_STATUS_REQ_NEXT_NOTIFICATION) {
    wrong = "status " + std::to_string(o.status);
  } else if (o.rewritten && (replacement.empty() || o.url != replacement)) {
    wrong = "rewritten to '" + o.url + "', rule says '" + replacement + "'";
  } else if (!o.rewritten && o.url != r.url) {
    wrong = "url changed to '" + o.url + "' without a rewrite";
  }
  if (wrong.empty()) return wrong;
  return "url '" + r.url + "' referer '" + r.referer + "': " + wrong;
}

// The result of PRAGMA integrity_check on the store file ("ok" when sound),
// or the reason it could not be run.
inline std::string IntegrityCheck(const std::string& storePath) {
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(storePath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    result = std::string("cannot open: ") + sqlite3_errmsg(db);
    sqlite3_close(db);
    return result;
  }
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr);
  while (rc == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    if (!result.empty()) result += "; ";
    result += reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  }
  if (rc != SQLITE_OK || result.empty()) result = std::string("failed: ") + sqlite3_errmsg(db);
  sqlite3_finalize(s);
  sqlite3_close(db);
  return result;
}

// Resident memory of this process in bytes, from /proc/self/statm.
inline std::uint64_t ResidentBytes() {
  unsigned long long size = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%llu %llu", &size, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// The positive number in the environment variable `name`, else `fallback`.
inline std::uint64_t SizeFromEnvironment(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text, &end, 10);
  return (*end == '\0' && n > 0) ? n : fallback;
}

}  // namespace refwarden::hardening
