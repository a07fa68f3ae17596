#include "tools/doctor/DoctorRules.h"

#include <algorithm>
#include <cstdio>

#include "strings/AsciiText.h"

namespace refwarden::doctor {

namespace {

constexpr const char* kAppcmd = "%windir%\\system32\\inetsrv\\appcmd.exe";
// SF_NOTIFY_ORDER_DEFAULT | SF_NOTIFY_PREPROC_HEADERS: what the filter asks for.
constexpr std::uint32_t kExpectedFlags = 0x00024000;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool SameName(std::string_view a, std::string_view b) { return EqualsIgnoringAsciiCase(a, b); }

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The bitness an entry's preCondition names (bitness32, bitness64), 0 for none.
int PreconditionBits(std::string_view preCondition) {
  int bits = 0;
  std::string lower = Lower(preCondition);
  size_t start = 0;
  while (start <= lower.size()) {
    size_t end = lower.find(',', start);
    if (end == std::string::npos) end = lower.size();
    std::string item = lower.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    if (item == "bitness32") bits = 32;
    if (item == "bitness64") bits = 64;
    start = end + 1;
  }
  return bits;
}

// The appcmd command that sets `property` of the entry, where it was added.
std::string SetEntryCommand(const FilterEntry& entry, const std::string& property) {
  std::string command = std::string(kAppcmd) + " set config ";
  if (!entry.location.empty()) command += "\"" + entry.location + "\" ";
  return command + "-section:system.webServer/isapiFilters /[name='" + entry.name + "']." +
         property + " /commit:apphost";
}

std::string AddEntryCommand(const std::string& site, int bits) {
  const std::string arch = bits == 32 ? "x86" : "x64";
  return std::string(kAppcmd) + " set config \"" + site +
         "\" -section:system.webServer/isapiFilters /+\"[name='Refwarden-" + arch +
         "',path='C:\\inetpub\\refwarden\\" + arch +
         "\\refwarden.dll',enabled='true',preCondition='bitness" + std::to_string(bits) +
         "']\" /commit:apphost";
}

class Diagnosis {
 public:
  explicit Diagnosis(const Inspection& inspection) : in_(inspection), config_(inspection.config) {}

  std::vector<Finding> Run() {
    if (!in_.configError.empty()) {
      Add("config-unreadable", Severity::kError, "server",
          "cannot read IIS's configuration " + in_.configPath + ": " + in_.configError +
              ". Nothing else could be checked.",
          "Run refwarden.exe doctor as an administrator, or name the file with --config PATH.");
      return std::move(findings_);
    }
    Add("config-unreadable", Severity::kOk, "server", "read " + in_.configPath, "");
    Modules();
    std::vector<const Site*> sites;
    for (const Site& site : config_.sites)
      if (in_.onlySite.empty() || SameName(site.name, in_.onlySite)) sites.push_back(&site);
    if (sites.empty()) {
      std::string names;
      for (const Site& site : config_.sites)
        names += (names.empty() ? "" : ", ") + Quoted(site.name);
      Add("filter-not-configured", Severity::kError, "server",
          in_.onlySite.empty() ? "the configuration defines no site, so nothing is protected"
                               : "the configuration defines no site named " + Quoted(in_.onlySite),
          names.empty() ? "" : "Name one of its sites with --site: " + names);
    }
    for (const Site* site : sites) CheckSite(*site);
    for (const std::string& pool : protectedPools_) CheckPool(pool);
    OtherTraces();
    return std::move(findings_);
  }

 private:
  void Add(std::string check, Severity severity, std::string subject, std::string message,
           std::string fix) {
    findings_.push_back(
        {std::move(check), severity, std::move(subject), std::move(message), std::move(fix)});
  }

  void Modules() {
    const bool global = config_.moduleInGlobalModules, modules = config_.moduleInModules;
    if (global && modules) {
      Add("module-missing", Severity::kOk, "server",
          "IsapiFilterModule is in globalModules and modules: IIS runs ISAPI filters", "");
      return;
    }
    std::string where = !global && !modules ? "globalModules and modules"
                        : !global           ? "globalModules"
                                            : "modules";
    Add("module-missing", Severity::kError, "server",
        "IsapiFilterModule is missing from system.webServer/" + where +
            ": IIS ignores every ISAPI filter, so nothing is protected",
        global
            ? std::string(kAppcmd) +
                  " set config -section:system.webServer/modules /+\"[name='IsapiFilterModule']\" "
                  "/commit:apphost"
            : "Install the ISAPI Filters feature: Install-WindowsFeature Web-ISAPI-Filter "
              "(Windows Server), or dism /online /enable-feature "
              "/featurename:IIS-ISAPIFilter /all (Windows 10 and 11)");
  }

  // The bitnesses whose worker processes run `entry` as the filter.
  std::set<int> Serves(const FilterEntry& entry) const {
    const auto facts = in_.dlls.find(entry.expandedPath);
    if (!entry.enabled || facts == in_.dlls.end()) return {};
    const DllFacts& dll = facts->second;
    if (!dll.exists || !dll.openError.empty() || !dll.isPeDll || !dll.missingExports.empty())
      return {};
    if (dll.registrationTried && !dll.registrationError.empty()) return {};
    if (dll.registrationTried && dll.flags != kExpectedFlags) return {};
    const int wanted = PreconditionBits(entry.preCondition);
    if (wanted != 0 && wanted != dll.bits) return {};
    if (!in_.machine.runsBothBitnesses && dll.bits != 32) return {};
    return {dll.bits};
  }

  void CheckSite(const Site& site) {
    const std::string subject = "site " + Quoted(site.name);
    std::vector<const FilterEntry*> entries;
    for (const FilterEntry& entry : site.filters)
      if (NamesRefwardenDll(entry.path)) entries.push_back(&entry);
    if (entries.empty()) {
      Add("filter-not-configured", Severity::kError, subject,
          "no isapiFilters entry in effect for the site names refwarden.dll, so its images are "
          "not protected",
          AddEntryCommand(site.name, 32) + "\n" + AddEntryCommand(site.name, 64));
      return;
    }
    std::string names;
    for (const FilterEntry* entry : entries) names += (names.empty() ? "" : ", ") + entry->name;
    Add("filter-not-configured", Severity::kOk, subject,
        "refwarden.dll entries in effect: " + names, "");

    std::set<int> served;
    for (const FilterEntry* entry : entries) {
      CheckEntry(subject, *entry);
      for (int bits : Serves(*entry)) served.insert(bits);
    }

    std::set<std::string> pools;
    for (const Application& app : site.applications) pools.insert(PoolOf(config_, site, app));
    for (const std::string& name : pools) {
      const Pool pool = PoolNamed(config_, name);
      const int bits = BitnessOf(config_, pool, in_.machine);
      if (served.count(bits)) {
        Add("pool-unprotected", Severity::kOk, subject,
            "pool " + Quoted(pool.name) + " runs " + std::to_string(bits) +
                "-bit worker processes, which load a refwarden entry",
            "");
      } else {
        Add("pool-unprotected", Severity::kError, subject,
            "pool " + Quoted(pool.name) + " runs " + std::to_string(bits) +
                "-bit worker processes, and no working refwarden entry serves that bitness: "
                "the filter never runs for the applications in it",
            AddEntryCommand(site.name, bits));
      }
      if (std::find(protectedPools_.begin(), protectedPools_.end(), pool.name) ==
          protectedPools_.end())
        protectedPools_.push_back(pool.name);
    }
    Placeholders(subject, site);
  }

  void CheckEntry(const std::string& subject, const FilterEntry& entry) {
    const std::string what = "filter " + Quoted(entry.name) + " (" + entry.expandedPath + ")";
    const auto found = in_.dlls.find(entry.expandedPath);
    const DllFacts none;
    const DllFacts& dll = found == in_.dlls.end() ? none : found->second;
    const std::string pathFix = "Copy the package's files as INSTALL.txt section 2 says, or: " +
                                SetEntryCommand(entry, "path:PATH");
    if (!dll.exists) {
      Add("dll-missing", Severity::kError, subject,
          what +
              ": no such file; worker processes fail to load it, and then every request of the "
              "site fails",
          pathFix);
    } else if (!dll.openError.empty()) {
      Add("dll-missing", Severity::kError, subject,
          what + ": cannot be read (" + dll.openError +
              "); if the pool's account cannot read it either, every request of the site fails",
          "icacls C:\\inetpub\\refwarden /grant \"IIS_IUSRS:(OI)(CI)RX\"");
    } else {
      Add("dll-missing", Severity::kOk, subject, what + " exists", "");
      if (!dll.isPeDll) {
        Add("dll-not-filter", Severity::kError, subject,
            what + " is not a DLL (" + dll.notPeReason + ")", pathFix);
      } else if (!dll.missingExports.empty()) {
        std::string missing;
        for (const std::string& name : dll.missingExports)
          missing += (missing.empty() ? "" : ", ") + name;
        Add("dll-not-filter", Severity::kError, subject,
            what + " is a DLL but not an ISAPI filter: it does not export " + missing, pathFix);
      } else {
        Add("dll-not-filter", Severity::kOk, subject,
            what + " is a " + std::to_string(dll.bits) +
                "-bit ISAPI filter (GetFilterVersion, HttpFilterProc, TerminateFilter)",
            "");
      }
    }

    const int wanted = PreconditionBits(entry.preCondition);
    const int bits = dll.isPeDll ? dll.bits : 0;
    if (wanted == 0 && in_.machine.runsBothBitnesses) {
      Add("precondition-missing", Severity::kError, subject,
          what +
              " has no bitness32/bitness64 precondition: worker processes of the other "
              "bitness try to load it, fail, and fail every request of the site",
          SetEntryCommand(entry, "preCondition:bitness" + std::to_string(bits ? bits : 64)));
    } else if (wanted != 0 && bits != 0 && wanted != bits) {
      Add("precondition-wrong", Severity::kError, subject,
          what + " is a " + std::to_string(bits) + "-bit DLL but its precondition is bitness" +
              std::to_string(wanted) + ": the worker processes that load it cannot",
          SetEntryCommand(entry, "preCondition:bitness" + std::to_string(bits)));
    } else if (wanted != 0) {
      Add("precondition-wrong", Severity::kOk, subject,
          what + " loads only into " + std::to_string(wanted) + "-bit worker processes", "");
    } else {
      Add("precondition-missing", Severity::kOk, subject,
          what + " has no bitness precondition, which 32-bit Windows does not need", "");
    }

    if (entry.enabled) {
      Add("filter-disabled", Severity::kOk, subject, what + " is enabled", "");
    } else {
      Add("filter-disabled", Severity::kWarning, subject,
          what + " is disabled (enabled=\"false\"): IIS does not load it",
          SetEntryCommand(entry, "enabled:true"));
    }
    if (entry.enableCache) {
      Add("enable-cache", Severity::kError, subject,
          what +
              " has enableCache=\"true\": the kernel cache answers repeated requests for an "
              "image without the filter, so one referer's answer is served to another",
          SetEntryCommand(entry, "enableCache:false"));
    } else {
      Add("enable-cache", Severity::kOk, subject, what + " leaves the kernel cache off", "");
    }

    if (dll.registrationTried) {
      if (!dll.registrationError.empty()) {
        Add("dll-registers", Severity::kError, subject,
            what + ": GetFilterVersion failed: " + dll.registrationError,
            "Replace the file with the refwarden.dll of the package");
      } else if (dll.flags != kExpectedFlags) {
        Add("dll-registers", Severity::kError, subject,
            what + ": GetFilterVersion asks for flags " + Hex(dll.flags) + ", not " +
                Hex(kExpectedFlags) + " (default order, preprocessed headers)",
            "Replace the file with the refwarden.dll of the package");
      } else {
        Add("dll-registers", Severity::kOk, subject,
            what + ": GetFilterVersion registers \"" + dll.description + "\" with flags " +
                Hex(dll.flags),
            "");
      }
    }
  }

  void Placeholders(const std::string& subject, const Site& site) {
    std::vector<std::string> missing;
    for (const std::string& name : PlaceholderNames()) {
      const std::string path = JoinWindowsPath(site.rootFolder, name);
      if (!in_.existingFiles.count(path)) missing.push_back(path);
    }
    if (missing.empty()) {
      Add("placeholder-missing", Severity::kOk, subject,
          "the four placeholders are in the site's root folder " + site.rootFolder, "");
      return;
    }
    for (const std::string& path : missing) {
      const std::string name = path.substr(path.find_last_of('\\') + 1);
      Add("placeholder-missing", Severity::kWarning, subject,
          path + " is missing: hot-linking sites get 404 for " + name.substr(name.find('.')) +
              " images instead of the placeholder",
          "copy " + name + " \"" + JoinWindowsPath(site.rootFolder, "") + "\"");
    }
  }

  const TraceKey* TraceOf(const std::string& sid) const {
    for (const TraceKey& key : in_.traces)
      if (SameName(key.sid, sid)) return &key;
    return nullptr;
  }

  void CheckPool(const std::string& name) {
    const Pool pool = PoolNamed(config_, name);
    const std::string subject = "pool " + Quoted(pool.name);
    const bool profile =
        pool.loadUserProfile.value_or(config_.poolDefaults.loadUserProfile.value_or(false));
    if (profile) {
      Add("user-profile", Severity::kOk, subject, "loads its user profile, so the trace has a hive",
          "");
    } else {
      Add("user-profile", Severity::kError, subject,
          "does not load its user profile (loadUserProfile false): the trace has no hive to go "
          "to, so the filter lets every request pass",
          std::string(kAppcmd) + " set apppool \"" + pool.name +
              "\" /processModel.loadUserProfile:true");
    }
    const std::string account = AccountOf(config_, pool);
    const std::string recycle = std::string(kAppcmd) + " recycle apppool /apppool.name:\"" +
                                pool.name + "\", then request an image of the site";
    if (!in_.tracesError.empty()) {
      Add("trace", Severity::kWarning, subject,
          "the traces under HKEY_USERS cannot be read (" + in_.tracesError + ")",
          "Run refwarden.exe doctor as an administrator");
      return;
    }
    const auto sid = in_.accountSids.find(account);
    if (account.empty() || sid == in_.accountSids.end()) {
      Add("trace", Severity::kWarning, subject,
          "its account " + Quoted(account) +
              " does not resolve on this machine, so its trace cannot be looked for",
          "");
      return;
    }
    matchedSids_.insert(Lower(sid->second));
    if (const TraceKey* key = TraceOf(sid->second)) {
      Add("trace", Severity::kOk, subject,
          "the trace of " + account + " (" + key->sid + ") holds " + std::to_string(key->values) +
              " values, last written " + key->lastWrite + ": the filter runs in this pool",
          "");
    } else {
      Add("trace", Severity::kWarning, subject,
          "no trace of " + account + " (HKEY_USERS\\" + sid->second +
              "\\software\\tarnwel\\debug): the filter has not run in this pool yet, or cannot "
              "write its trace (then every request passes); the pool may not have started",
          recycle);
    }
  }

  void OtherTraces() {
    if (!in_.tracesError.empty()) return;
    for (const TraceKey& key : in_.traces) {
      if (matchedSids_.count(Lower(key.sid))) continue;
      const std::string account = key.account.empty() ? key.sid : key.account;
      Add("trace", Severity::kOk, "account " + Quoted(account),
          "the trace of " + account + " (" + key.sid + ") holds " + std::to_string(key.values) +
              " values, last written " + key.lastWrite,
          "");
    }
  }

  const Inspection& in_;
  const ServerConfig& config_;
  std::vector<Finding> findings_;
  std::vector<std::string> protectedPools_;  // pools serving a judged site with an entry
  std::set<std::string> matchedSids_;
};

}  // namespace

const std::vector<std::string>& PlaceholderNames() {
  static const std::vector<std::string> names = {"refwarden.jpg", "refwarden.gif", "refwarden.png",
                                                 "refwarden.bmp"};
  return names;
}

std::string JoinWindowsPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';
  return path + std::string(name);
}

bool NamesRefwardenDll(std::string_view path) {
  const size_t slash = path.find_last_of("\\/");
  return SameName(slash == std::string_view::npos ? path : path.substr(slash + 1), "refwarden.dll");
}

Pool PoolNamed(const ServerConfig& config, const std::string& name) {
  for (const Pool& pool : config.pools)
    if (SameName(pool.name, name)) return pool;
  Pool pool;
  pool.name = name;
  return pool;
}

std::string PoolOf(const ServerConfig& config, const Site& site, const Application& app) {
  if (!app.pool.empty()) return app.pool;
  if (!site.defaultPool.empty()) return site.defaultPool;
  if (!config.defaultPool.empty()) return config.defaultPool;
  return "DefaultAppPool";
}

std::string AccountOf(const ServerConfig& config, const Pool& pool) {
  const std::string type =
      Lower(!pool.identityType.empty() ? pool.identityType : config.poolDefaults.identityType);
  if (type == "networkservice") return "NT AUTHORITY\\NETWORK SERVICE";
  if (type == "localsystem") return "NT AUTHORITY\\SYSTEM";
  if (type == "localservice") return "NT AUTHORITY\\LOCAL SERVICE";
  if (type == "specificuser")
    return !pool.userName.empty() ? pool.userName : config.poolDefaults.userName;
  return "IIS APPPOOL\\" + pool.name;
}

int BitnessOf(const ServerConfig& config, const Pool& pool, const Machine& machine) {
  if (!machine.runsBothBitnesses) return 32;
  const bool wow64 = pool.enable32BitAppOnWin64.value_or(
      config.poolDefaults.enable32BitAppOnWin64.value_or(false));
  return wow64 ? 32 : 64;
}

std::vector<Finding> Diagnose(const Inspection& inspection) { return Diagnosis(inspection).Run(); }

}  // namespace refwarden::doctor
