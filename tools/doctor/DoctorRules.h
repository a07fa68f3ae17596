// What a server's configuration and facts mean for protection: the checks of
// refwarden doctor, each a Finding with a stable ID, over the plain model of
// DoctorModel.h (no XML, no registry), so that they are tested anywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/doctor/DoctorModel.h"
#include "tools/findings/Findings.h"

namespace refwarden::doctor {

// The four placeholder names the filter rewrites to, "refwarden.jpg" first.
const std::vector<std::string>& PlaceholderNames();

// `folder` + "\" + `name` (no second backslash when `folder` ends in one).
std::string JoinWindowsPath(std::string_view folder, std::string_view name);

// True when the file name of `path` (after its last \ or /) is refwarden.dll,
// in any case: the entries doctor judges.
bool NamesRefwardenDll(std::string_view path);

// The pool named `name` in `config` (case-insensitive), or the pool defaults
// under that name when the configuration does not define it.
Pool PoolNamed(const ServerConfig& config, const std::string& name);

// The pool an application runs in: its own applicationPool, else the site's
// applicationDefaults, else the server's, else "DefaultAppPool".
std::string PoolOf(const ServerConfig& config, const Site& site, const Application& app);

// The account a pool's worker processes run as: "IIS APPPOOL\<pool>" for
// ApplicationPoolIdentity (the default), "NT AUTHORITY\NETWORK SERVICE",
// "NT AUTHORITY\SYSTEM", "NT AUTHORITY\LOCAL SERVICE", or the userName of a
// SpecificUser pool (which may be "").
std::string AccountOf(const ServerConfig& config, const Pool& pool);

// 32 or 64: the bitness of `pool`'s worker processes on `machine`.
int BitnessOf(const ServerConfig& config, const Pool& pool, const Machine& machine);

// Every finding for `inspection`, grouped: the server, then each site judged,
// then each pool serving a protected site, then the other traces found.
// Requires nothing; an unreadable configuration yields config-unreadable alone.
std::vector<Finding> Diagnose(const Inspection& inspection);

}  // namespace refwarden::doctor
