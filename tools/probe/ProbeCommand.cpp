// refwarden probe URL: the site from outside, as a hot-linker meets it.
#include <CLI/CLI.hpp>

#include <iostream>

#include "tools/Commands.h"
#include "tools/probe/Probe.h"

namespace refwarden {

namespace {

struct ProbeArguments {
  ProbeOptions options;
  bool json = false;
};

int RunProbe(const ProbeArguments& arguments) {
  const std::string refusal = UrlRefusal(arguments.options.url);
  if (!refusal.empty()) {
    std::cerr << "refwarden probe: " << refusal << '\n';
    return kExitUsage;
  }
  const std::vector<Finding> findings = ProbeUrl(arguments.options);
  if (arguments.json) {
    PrintFindingsJson(std::cout, findings);
  } else {
    PrintFindingsText(std::cout, findings);
  }
  return ProbeExitStatus(findings);
}

}  // namespace

void AddProbeCommand(CLI::App& app, ToolOptions& options) {
  auto arguments = std::make_shared<ProbeArguments>();
  CLI::App* probe = app.add_subcommand(
      "probe",
      "Check a live site from outside, as a hot-linker meets it: GET an image URL with the "
      "site's own referer, a foreign one and none, and compare the answers");
  probe->add_option("url", arguments->options.url, "The URL of an image on the site")->required();
  probe->add_flag("--json", arguments->json,
                  "Print {\"findings\": [{\"check\", \"severity\", \"subject\", \"message\", "
                  "\"fix\"}]}");
  probe->add_flag("--insecure", arguments->options.insecure,
                  "Do not verify the TLS certificate (the report says so)");
  probe
      ->add_option("--timeout", arguments->options.timeoutSeconds,
                   "Seconds each request may take, connecting included")
      ->check(CLI::Range(1, 600))
      ->capture_default_str();
  probe
      ->add_option("--foreign-referer", arguments->options.foreignReferer,
                   "The referer of the hot-linking page")
      ->capture_default_str();
  probe->footer(
      "Warnings: the placeholder is missing, answers a cache may keep, --insecure.\n"
      "A URL that is not an http(s) URL of an image is a usage error.\n"
      "Exit status:\n" +
      ExitStatusLines({kExitOk, kExitWarnings, kExitErrors, kExitUnreachable, kExitUsage}));
  probe->callback([arguments, &options] { options.exitCode = RunProbe(*arguments); });
}

}  // namespace refwarden
