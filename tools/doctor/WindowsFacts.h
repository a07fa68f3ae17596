// What doctor reads from the Windows machine itself, beside IIS's
// configuration: text conversions, files past the WoW64 file-system
// redirector, what a DLL is (its PE headers and exports, and what its
// GetFilterVersion says), accounts and their SIDs, and the traces under
// HKEY_USERS. Windows only. Strings are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/doctor/DoctorModel.h"

namespace refwarden::doctor {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// `text` with %NAME% environment variables expanded (unknown ones stay as written).
std::string ExpandVariables(const std::string& text);

// The text of a Windows error code (FormatMessage), without its line end.
std::string WindowsErrorText(unsigned long code);

// Reads the whole file at `path` into `bytes`, with the WoW64 file-system
// redirector off, so that a 32-bit tool reads System32 itself. Returns "" or
// why it could not (the system's words). Refuses files over `limit` bytes.
std::string ReadWholeFile(const std::string& path, std::string& bytes, size_t limit = 64u << 20);

// Whether a file (not a folder) exists at `path`, past the redirector.
bool FileExists(const std::string& path);

// 64-bit Windows or not, and the bitness of this tool.
Machine ReadMachine();

// What the file at `path` is: present, a PE DLL of which bitness, exporting
// the three filter entry points; when its bitness is the tool's own, the
// result of loading it and calling GetFilterVersion (then TerminateFilter).
DllFacts InspectDll(const std::string& path);

// The SID (S-1-...) of `account` ("DOMAIN\name"), or nullopt when it does not
// resolve. An application pool's virtual account, IIS APPPOOL\<pool>, has a
// SID derived from the pool's name; it is computed when the lookup fails (the
// pool is not running, or the machine has no IIS).
std::optional<std::string> SidOfAccount(const std::string& account);

// The SID of IIS APPPOOL\<pool>: S-1-5-82 followed by the SHA-1 of the pool's
// name in lower case (UTF-16LE) as five 32-bit numbers. "" when SHA-1 is not
// available.
std::string AppPoolSid(const std::string& pool);

// Every loaded hive under HKEY_USERS that holds software\tarnwel\debug, with
// its account, value count and last write time. Sets `error` when HKEY_USERS
// cannot be listed.
std::vector<TraceKey> ReadTraces(std::string& error);

}  // namespace refwarden::doctor
