// doctor's rules on small models: the set-up INSTALL.txt describes, and each
// mistake as one change to it, with the findings it must give (every other
// finding ok) and the exit status.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/doctor/DoctorRules.h"

namespace refwarden::doctor {
namespace {

constexpr const char* kSite = "Default Web Site";
constexpr const char* kX86 = "C:\\inetpub\\refwarden\\x86\\refwarden.dll";
constexpr const char* kX64 = "C:\\inetpub\\refwarden\\x64\\refwarden.dll";
constexpr const char* kPoolAccount = "IIS APPPOOL\\DefaultAppPool";
constexpr const char* kPoolSid = "S-1-5-82-3006700770-424185619-1745488364-794895919-4004696415";

FilterEntry Entry(const char* name, const char* path, const char* preCondition) {
  FilterEntry entry;
  entry.name = name;
  entry.path = entry.expandedPath = path;
  entry.preCondition = preCondition;
  entry.location = kSite;
  return entry;
}

DllFacts Filter(int bits, bool registered) {
  DllFacts dll;
  dll.exists = dll.isPeDll = true;
  dll.bits = bits;
  if (registered) {
    dll.registrationTried = true;
    dll.flags = 0x00024000;
    dll.description = "Refwarden hot-link protection";
  }
  return dll;
}

// The set-up of INSTALL.txt on 64-bit Windows, seen by the 64-bit tool, after
// the pool has served a request.
Inspection Installed() {
  Inspection in;
  in.configPath = "C:\\Windows\\System32\\inetsrv\\config\\applicationHost.config";
  ServerConfig& config = in.config;
  config.moduleInGlobalModules = config.moduleInModules = true;
  config.defaultPool = "DefaultAppPool";
  config.poolDefaults.loadUserProfile = true;
  config.poolDefaults.identityType = "ApplicationPoolIdentity";
  config.pools.push_back({"DefaultAppPool", std::nullopt, std::nullopt, "", ""});
  Site site;
  site.name = kSite;
  site.rootFolder = "C:\\inetpub\\wwwroot";
  site.applications.push_back({"/", ""});
  site.filters = {Entry("Refwarden-x86", kX86, "bitness32"),
                  Entry("Refwarden-x64", kX64, "bitness64")};
  config.sites.push_back(site);
  in.dlls[kX86] = Filter(32, false);
  in.dlls[kX64] = Filter(64, true);
  for (const std::string& name : PlaceholderNames())
    in.existingFiles.insert("C:\\inetpub\\wwwroot\\" + name);
  in.accountSids[kPoolAccount] = kPoolSid;
  in.traces.push_back({kPoolSid, "", 12, "2026-12-09 18:00:00 UTC"});
  return in;
}

Site& TheSite(Inspection& in) { return in.config.sites[0]; }
FilterEntry& X86(Inspection& in) { return TheSite(in).filters[0]; }
FilterEntry& X64(Inspection& in) { return TheSite(in).filters[1]; }
Pool& ThePool(Inspection& in) { return in.config.pools[0]; }

struct Row {
  const char* name;
  std::function<void(Inspection&)> change;
  std::vector<std::string> expected;  // "check severity", in order, of the findings not ok
  int exitStatus;
};

const Row kRows[] = {
    {"the set-up of INSTALL.txt", [](Inspection&) {}, {}, 0},
    {"unreadable configuration",
     [](Inspection& in) { in.configError = "The system cannot find the file specified"; },
     {"config-unreadable error"},
     6},
    {"IsapiFilterModule not in modules",
     [](Inspection& in) { in.config.moduleInModules = false; },
     {"module-missing error"},
     6},
    {"ISAPI Filters feature not installed",
     [](Inspection& in) { in.config.moduleInGlobalModules = in.config.moduleInModules = false; },
     {"module-missing error"},
     6},
    {"no refwarden entry, another filter",
     [](Inspection& in) {
       TheSite(in).filters = {Entry(
           "ASP.Net_4.0_64bit",
           "%windir%\\Microsoft.NET\\Framework64\\v4.0.30319\\aspnet_filter.dll", "bitness64")};
     },
     {"filter-not-configured error"},
     6},
    {"no such site",
     [](Inspection& in) { in.onlySite = "Gallery"; },
     {"filter-not-configured error"},
     6},
    {"x64 DLL missing: the 64-bit pool has no filter",
     [](Inspection& in) { in.dlls[kX64] = DllFacts(); },
     {"dll-missing error", "pool-unprotected error"},
     6},
    {"x64 DLL unreadable",
     [](Inspection& in) { in.dlls[kX64].openError = "Access is denied"; },
     {"dll-missing error", "pool-unprotected error"},
     6},
    {"x64 entry names a DLL that is not a filter",
     [](Inspection& in) {
       in.dlls[kX64].missingExports = {"HttpFilterProc"};
       in.dlls[kX64].registrationTried = false;
     },
     {"dll-not-filter error", "pool-unprotected error"},
     6},
    {"x64 entry names a program",
     [](Inspection& in) {
       in.dlls[kX64] = DllFacts();
       in.dlls[kX64].exists = true;
       in.dlls[kX64].notPeReason = "a program, not a DLL";
     },
     {"dll-not-filter error", "pool-unprotected error"},
     6},
    {"x86 entry without precondition (IIS Manager's default)",
     [](Inspection& in) { X86(in).preCondition = ""; },
     {"precondition-missing error"},
     6},
    {"no precondition needed on 32-bit Windows",
     [](Inspection& in) {
       in.machine = {false, 32};
       TheSite(in).filters.pop_back();
       X86(in).preCondition = "";
       in.dlls[kX86] = Filter(32, true);
     },
     {},
     0},
    {"preconditions swapped",
     [](Inspection& in) {
       X86(in).preCondition = "bitness64";
       X64(in).preCondition = "bitness32";
     },
     {"precondition-wrong error", "precondition-wrong error", "pool-unprotected error"},
     6},
    {"precondition among others",
     [](Inspection& in) { X64(in).preCondition = "runtimeVersionv4.0, bitness64"; },
     {},
     0},
    {"32-bit pool without the x86 entry",
     [](Inspection& in) {
       ThePool(in).enable32BitAppOnWin64 = true;
       TheSite(in).filters.erase(TheSite(in).filters.begin());
     },
     {"pool-unprotected error"},
     6},
    {"32-bit pools by default, both entries",
     [](Inspection& in) { in.config.poolDefaults.enable32BitAppOnWin64 = true; },
     {},
     0},
    {"the site's applicationDefaults name a 32-bit pool no entry serves",
     [](Inspection& in) {
       TheSite(in).filters.erase(TheSite(in).filters.begin());
       TheSite(in).defaultPool = "Gallery";
       in.config.pools.push_back({"Gallery", true, std::nullopt, "", ""});
       in.accountSids["IIS APPPOOL\\Gallery"] = "S-1-5-82-1-2-3-4-5";
       in.traces.push_back({"S-1-5-82-1-2-3-4-5", "", 1, "2026-12-09 18:00:00 UTC"});
     },
     {"pool-unprotected error"},
     6},
    {"a second application in an unprotected pool",
     [](Inspection& in) {
       TheSite(in).applications.push_back({"/legacy", "Legacy"});
       in.config.pools.push_back({"Legacy", true, std::nullopt, "NetworkService", ""});
       TheSite(in).filters.erase(TheSite(in).filters.begin());
       in.accountSids["NT AUTHORITY\\NETWORK SERVICE"] = "S-1-5-20";
     },
     {"pool-unprotected error", "trace warning"},
     6},
    {"enableCache true",
     [](Inspection& in) { X64(in).enableCache = true; },
     {"enable-cache error"},
     6},
    {"x86 entry disabled",
     [](Inspection& in) { X86(in).enabled = false; },
     {"filter-disabled warning"},
     5},
    {"x64 entry disabled: the pool loses its filter",
     [](Inspection& in) { X64(in).enabled = false; },
     {"filter-disabled warning", "pool-unprotected error"},
     6},
    {"pool does not load its profile",
     [](Inspection& in) { ThePool(in).loadUserProfile = false; },
     {"user-profile error"},
     6},
    {"no loadUserProfile anywhere: the schema's default, false",
     [](Inspection& in) { in.config.poolDefaults.loadUserProfile.reset(); },
     {"user-profile error"},
     6},
    {"placeholder .bmp missing",
     [](Inspection& in) { in.existingFiles.erase("C:\\inetpub\\wwwroot\\refwarden.bmp"); },
     {"placeholder-missing warning"},
     5},
    {"placeholders in another folder",
     [](Inspection& in) { TheSite(in).rootFolder = "D:\\sites\\www\\"; },
     {"placeholder-missing warning", "placeholder-missing warning", "placeholder-missing warning",
      "placeholder-missing warning"},
     5},
    {"GetFilterVersion asks for other notifications",
     [](Inspection& in) { in.dlls[kX64].flags = 0x00020000; },
     {"dll-registers error", "pool-unprotected error"},
     6},
    {"GetFilterVersion fails",
     [](Inspection& in) { in.dlls[kX64].registrationError = "it returned FALSE"; },
     {"dll-registers error", "pool-unprotected error"},
     6},
    {"the pool has no trace yet", [](Inspection& in) { in.traces.clear(); }, {"trace warning"}, 5},
    {"the pool's account does not resolve",
     [](Inspection& in) { in.accountSids.clear(); },
     {"trace warning"},
     5},
    {"HKEY_USERS unreadable",
     [](Inspection& in) { in.tracesError = "Access is denied"; },
     {"trace warning"},
     5},
    {"a trace of another account is reported, ok",
     [](Inspection& in) {
       in.traces.push_back({"S-1-5-21-1-2-3-1001", "WEB01\\admin", 2, "2026-12-09 17:00:00 UTC"});
     },
     {},
     0},
    {"a specific user's pool",
     [](Inspection& in) {
       ThePool(in).identityType = "SpecificUser";
       ThePool(in).userName = "WEB01\\gallery";
       in.accountSids["WEB01\\gallery"] = "S-1-5-21-1-2-3-1002";
       in.traces = {{"S-1-5-21-1-2-3-1002", "WEB01\\gallery", 4, "2026-12-09 18:00:00 UTC"}};
     },
     {},
     0},
};

TEST(DoctorRulesTest, EachMistakeGetsItsFindingAndStatus) {
  for (const Row& row : kRows) {
    Inspection in = Installed();
    row.change(in);
    const std::vector<Finding> findings = Diagnose(in);
    std::vector<std::string> notOk;
    std::string all;
    for (const Finding& f : findings) {
      if (f.severity != Severity::kOk) notOk.push_back(f.check + " " + SeverityName(f.severity));
      all += std::string("  ") + SeverityName(f.severity) + " " + f.check + " [" + f.subject +
             "] " + f.message + "\n";
      EXPECT_FALSE(f.message.empty()) << row.name;
      if (f.severity != Severity::kOk && f.check != "trace" && f.check != "config-unreadable") {
        EXPECT_FALSE(f.fix.empty()) << row.name << ": " << f.check;
      }
    }
    EXPECT_EQ(notOk, row.expected) << row.name << "\n" << all;
    EXPECT_EQ(ExitStatusFor(findings), row.exitStatus) << row.name << "\n" << all;
  }
}

// The correct set-up names every check it passed, once per entry where the
// check is about an entry, so that an administrator sees what was looked at.
TEST(DoctorRulesTest, TheCorrectSetUpListsEveryCheck) {
  std::vector<std::string> checks;
  for (const Finding& f : Diagnose(Installed())) checks.push_back(f.check);
  const std::vector<std::string> expected = {
      "config-unreadable",   "module-missing",     "filter-not-configured",
      "dll-missing",         "dll-not-filter",     "precondition-wrong",
      "filter-disabled",     "enable-cache",       "dll-missing",
      "dll-not-filter",      "precondition-wrong", "filter-disabled",
      "enable-cache",        "dll-registers",      "pool-unprotected",
      "placeholder-missing", "user-profile",       "trace"};
  EXPECT_EQ(checks, expected);
}

TEST(DoctorRulesTest, PoolsAndAccounts) {
  ServerConfig config;
  Site site;
  site.name = kSite;
  EXPECT_EQ(PoolOf(config, site, {"/", ""}), "DefaultAppPool");
  config.defaultPool = "Server";
  EXPECT_EQ(PoolOf(config, site, {"/", ""}), "Server");
  site.defaultPool = "Site";
  EXPECT_EQ(PoolOf(config, site, {"/", ""}), "Site");
  EXPECT_EQ(PoolOf(config, site, {"/", "Own"}), "Own");

  const struct {
    const char* identityType;
    const char* account;
  } accounts[] = {{"", "IIS APPPOOL\\Gallery"},
                  {"ApplicationPoolIdentity", "IIS APPPOOL\\Gallery"},
                  {"networkservice", "NT AUTHORITY\\NETWORK SERVICE"},
                  {"LocalSystem", "NT AUTHORITY\\SYSTEM"},
                  {"LocalService", "NT AUTHORITY\\LOCAL SERVICE"},
                  {"SpecificUser", "WEB01\\gallery"}};
  for (const auto& row : accounts) {
    const Pool pool{"Gallery", std::nullopt, std::nullopt, row.identityType, "WEB01\\gallery"};
    EXPECT_EQ(AccountOf(config, pool), row.account) << row.identityType;
  }
  // A pool the configuration does not define takes the defaults.
  config.poolDefaults.identityType = "NetworkService";
  EXPECT_EQ(AccountOf(config, PoolNamed(config, "Missing")), "NT AUTHORITY\\NETWORK SERVICE");
  EXPECT_EQ(BitnessOf(config, PoolNamed(config, "Missing"), {true, 64}), 64);
  config.poolDefaults.enable32BitAppOnWin64 = true;
  EXPECT_EQ(BitnessOf(config, PoolNamed(config, "Missing"), {true, 64}), 32);
  EXPECT_EQ(BitnessOf(config, {"x", false, std::nullopt, "", ""}, {true, 64}), 64);
  EXPECT_EQ(BitnessOf(config, {"x", false, std::nullopt, "", ""}, {false, 32}), 32);

  EXPECT_TRUE(NamesRefwardenDll("C:\\inetpub\\refwarden\\x64\\RefWarden.DLL"));
  EXPECT_TRUE(NamesRefwardenDll("refwarden.dll"));
  EXPECT_FALSE(NamesRefwardenDll("C:\\refwarden.dll\\other.dll"));
  EXPECT_FALSE(NamesRefwardenDll("C:\\x\\refwarden.dll.bak"));
  EXPECT_EQ(JoinWindowsPath("C:\\inetpub\\wwwroot\\", "refwarden.jpg"),
            "C:\\inetpub\\wwwroot\\refwarden.jpg");
}

}  // namespace
}  // namespace refwarden::doctor
