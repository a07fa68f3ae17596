// Reading IIS's applicationHost.config into doctor's model, with XmlLite (a
// part of Windows). Windows only.
#pragma once

#include <string>

#include "tools/doctor/DoctorModel.h"

namespace refwarden::doctor {

// "%windir%\System32\inetsrv\config\applicationHost.config", expanded.
std::string DefaultConfigPath();

// Reads the file at `path` (past the WoW64 file-system redirector) into
// `config`. Returns "" when it was read, else why not: the system's reason
// for a file that cannot be read, the parser's error with its line and
// column, or a root element other than <configuration>.
std::string ReadServerConfig(const std::string& path, ServerConfig& config);

// The same for a document already in memory.
std::string ParseServerConfig(const std::string& document, ServerConfig& config);

}  // namespace refwarden::doctor
