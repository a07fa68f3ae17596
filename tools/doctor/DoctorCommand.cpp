// refwarden doctor: reads IIS's configuration and the pools' traces and says,
// finding by finding, whether the filter protects each site.
#include <CLI/CLI.hpp>

#include <iostream>
#include <iterator>
#include <memory>

#include "strings/AsciiText.h"
#include "tools/Commands.h"
#include "tools/doctor/ConfigReader.h"
#include "tools/doctor/DoctorRules.h"
#include "tools/doctor/WindowsFacts.h"
#include "tools/findings/Findings.h"
#include "tools/probe/Probe.h"

namespace refwarden {

namespace {

struct DoctorOptions {
  std::string config;  // "" for the default path
  std::string site;
  bool json = false;
  ProbeOptions probe;  // probe.url empty: the live site is not probed
};

using namespace doctor;

// Reads everything the rules judge: the configuration, then the facts about
// the sites judged (their DLLs, placeholders and pools' accounts) and the traces.
Inspection Inspect(const DoctorOptions& options) {
  Inspection in;
  in.configPath = options.config.empty() ? DefaultConfigPath() : options.config;
  in.onlySite = options.site;
  in.machine = ReadMachine();
  in.configError = ReadServerConfig(in.configPath, in.config);
  if (!in.configError.empty()) return in;
  for (const Site& site : in.config.sites) {
    if (!in.onlySite.empty() && !EqualsIgnoringAsciiCase(site.name, in.onlySite)) continue;
    for (const FilterEntry& entry : site.filters) {
      if (NamesRefwardenDll(entry.path) && !in.dlls.count(entry.expandedPath))
        in.dlls[entry.expandedPath] = InspectDll(entry.expandedPath);
    }
    for (const std::string& name : PlaceholderNames()) {
      const std::string path = JoinWindowsPath(site.rootFolder, name);
      if (FileExists(path)) in.existingFiles.insert(path);
    }
    for (const Application& app : site.applications) {
      const std::string account =
          AccountOf(in.config, PoolNamed(in.config, PoolOf(in.config, site, app)));
      if (in.accountSids.count(account)) continue;
      if (auto sid = SidOfAccount(account)) in.accountSids[account] = *sid;
    }
  }
  in.traces = ReadTraces(in.tracesError);
  return in;
}

int RunDoctor(const DoctorOptions& options) {
  std::vector<Finding> findings = Diagnose(Inspect(options));
  // The live site seen from outside, after the server's own findings, so
  // that they share the printing and the exit status.
  if (!options.probe.url.empty()) {
    std::vector<Finding> live = ProbeUrl(options.probe);
    findings.insert(findings.end(), std::make_move_iterator(live.begin()),
                    std::make_move_iterator(live.end()));
  }
  if (options.json) {
    PrintFindingsJson(std::cout, findings);
  } else {
    PrintFindingsText(std::cout, findings);
  }
  return ExitStatusFor(findings);
}

}  // namespace

void AddDoctorCommand(CLI::App& app, ToolOptions& options) {
  auto doctorOptions = std::make_shared<DoctorOptions>();
  CLI::App* doctor = app.add_subcommand(
      "doctor", "Check IIS's configuration and the pools' traces: is every site protected?");
  doctor->add_option("--config", doctorOptions->config,
                     "IIS's configuration (default "
                     "%windir%\\System32\\inetsrv\\config\\applicationHost.config)");
  doctor->add_option("--site", doctorOptions->site, "Check this site alone (default: every site)");
  doctor->add_option("--url", doctorOptions->probe.url,
                     "Also probe this image URL of the live site, as refwarden probe does");
  doctor->add_flag("--insecure", doctorOptions->probe.insecure,
                   "With --url: do not verify the site's TLS certificate (the report says so)");
  doctor->add_flag("--json", doctorOptions->json,
                   "Print {\"findings\": [{\"check\", \"severity\", \"subject\", \"message\", "
                   "\"fix\"}]}");
  doctor->footer(
      "Checks, by ID: config-unreadable, module-missing, filter-not-configured,\n"
      "dll-missing, dll-not-filter, precondition-missing, precondition-wrong,\n"
      "pool-unprotected, filter-disabled, enable-cache, user-profile,\n"
      "placeholder-missing, dll-registers, trace (INSTALL.txt, sections 6 and 12);\n"
      "with --url, probe's checks of the live site too (refwarden probe --help).\n"
      "Run it as an administrator, with the refwarden.exe of either bitness.\n"
      "Exit status (with --url, a site probe cannot reach is an error):\n" +
      ExitStatusLines({kExitOk, kExitWarnings, kExitErrors, kExitUsage}));
  doctor->callback([doctorOptions, &options] { options.exitCode = RunDoctor(*doctorOptions); });
}

}  // namespace refwarden
