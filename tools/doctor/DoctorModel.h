// What doctor knows about a server, as plain data: the part of IIS's
// configuration that decides whether the filter runs (sites, pools, filter
// entries, modules) and the facts read from the machine (the DLLs at the
// entries' paths, which placeholders exist, the traces in the registry). The
// Windows side fills it in; DoctorRules judges it, so the rules run anywhere.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace refwarden::doctor {

// One entry of a system.webServer/isapiFilters collection.
struct FilterEntry {
  std::string name;
  std::string path;          // as written in the configuration
  std::string expandedPath;  // environment variables expanded
  bool enabled = true;
  bool enableCache = false;
  std::string preCondition;  // e.g. "bitness64", or "" for none
  std::string location;      // where it was added: "" for the global section, else the site
};

struct Application {
  std::string path;  // "/" for the site's root application
  std::string pool;  // its applicationPool attribute; "" when the defaults apply
};

struct Site {
  std::string name;
  std::vector<Application> applications;
  std::string defaultPool;           // the site's applicationDefaults/@applicationPool, or ""
  std::string rootFolder;            // the root virtual directory's physicalPath, expanded
  std::vector<FilterEntry> filters;  // the entries in effect: the global ones, then the site's
};

struct Pool {
  std::string name;
  std::optional<bool> enable32BitAppOnWin64;
  std::optional<bool> loadUserProfile;  // processModel/@loadUserProfile
  std::string identityType;             // processModel/@identityType, or "" when not set
  std::string userName;                 // processModel/@userName (SpecificUser)
};

struct ServerConfig {
  bool moduleInGlobalModules = false;  // IsapiFilterModule in system.webServer/globalModules
  bool moduleInModules = false;        // and in system.webServer/modules
  std::vector<Site> sites;
  std::vector<Pool> pools;
  Pool poolDefaults;        // applicationPools/applicationPoolDefaults
  std::string defaultPool;  // sites/applicationDefaults/@applicationPool, or ""
};

// What a file at an entry's path is.
struct DllFacts {
  bool exists = false;
  std::string openError;  // why it could not be read, when it exists but cannot be
  bool isPeDll = false;   // a PE image with the DLL flag
  std::string notPeReason;
  int bits = 0;                             // 32 or 64 once known
  std::vector<std::string> missingExports;  // of GetFilterVersion, HttpFilterProc, TerminateFilter
  // GetFilterVersion, called by a tool of the DLL's own bitness.
  bool registrationTried = false;
  std::string registrationError;  // empty when the call returned TRUE
  std::uint32_t flags = 0;
  std::string description;
};

// A loaded hive under HKEY_USERS holding software\tarnwel\debug.
struct TraceKey {
  std::string sid;
  std::string account;  // LookupAccountSid's DOMAIN\name, or "" when it does not resolve
  std::uint32_t values = 0;
  std::string lastWrite;  // the key's last write time, as text
};

struct Machine {
  bool runsBothBitnesses = true;  // 64-bit Windows runs 32- and 64-bit worker processes
  int toolBits = 64;              // the bitness of the running tool
};

struct Inspection {
  std::string configPath;
  std::string configError;  // non-empty: the configuration could not be read, and why
  ServerConfig config;
  std::string onlySite;  // --site: judge this site alone; "" for every site
  Machine machine;
  std::map<std::string, DllFacts> dlls;            // by FilterEntry::expandedPath
  std::set<std::string> existingFiles;             // placeholder paths that exist
  std::map<std::string, std::string> accountSids;  // account -> SID, for accounts that resolve
  std::vector<TraceKey> traces;
  std::string tracesError;  // non-empty: HKEY_USERS could not be read, and why
};

}  // namespace refwarden::doctor
