// After a request has gone through the filter: did its trace reach the
// registry, and if not, where should it have gone and why could it not be
// written. The filter itself stays silent (a failed trace lets the request
// pass, which is its contract with the web server); the tool uses this to
// tell the administrator. Only the registry functions of platform/Platform.h
// are used, so the answer comes from the registry the filter writes to: the
// real one on Windows, the store the environment selects on Linux.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace refwarden {

// What the filter reads of a value the server hands over (host, referer,
// URL): up to its first NUL; empty when it does not fit the filter's
// 4097-byte buffer, since the server then copies nothing. A view of `value`.
std::string_view FilterReads(std::string_view value);

// The value name the filter traces for the request URL `url`, as the server
// hands the URL over: what it reads of it (FilterReads) up to the first '?'.
// TracedPath is a view of `url`.
std::string_view TracedPath(std::string_view url);
std::string TracedName(std::string_view url);

// True when the trace key holds the value `name` as REG_SZ "ok", as a trace
// leaves it. Reads only: creates no key and no store. One key open and one
// value read, so it is cheap enough to call after every request.
bool TraceWasWritten(std::string_view name);

// Where the trace goes, for a person: on Linux the store the environment
// selects now (its file, or what it is); on Windows
// "HKEY_CURRENT_USER\software\tarnwel\debug".
std::string TraceStoreName();

// False when the tool cannot read back what the filter library traced: the
// store is a memory store (Linux), and the library keeps one of its own,
// apart from the tool's. A memory store refuses no trace the filter writes
// (a fixed key, a name within its limits) short of running out of memory,
// so such traces are taken as written. True on Windows.
bool TraceCanBeReadBack();

// Writes the trace of `name` as the filter does (RegCreateKeyExA,
// RegSetValueExA of REG_SZ "ok", RegCloseKey) and returns the first Windows
// error code, ERROR_SUCCESS when the value is written now. It adds to the
// trace what the filter meant to write: call it for a trace that failed, to
// learn why.
LONG RetryTrace(std::string_view name);

// The platform's text for the Windows error code `code`, e.g. "Access is
// denied." for ERROR_ACCESS_DENIED, without a line break: FormatMessageA on
// Windows, the same texts from a table of the codes the store returns on
// Linux; "Error <code>." for a code without one.
std::string ErrorText(LONG code);

// A line more for an administrator about the error `code` that writing the
// trace gave, or "" when ErrorText says enough. On Linux ERROR_BADDB means
// the store path names something that is not a store.
std::string TraceErrorNote(LONG code);

struct TraceReport {
  std::string name;                 // the value name the filter traced (TracedName)
  bool written = false;             // the trace key holds it
  LONG retryError = ERROR_SUCCESS;  // when not written: what writing it again
                                    // gave (ERROR_SUCCESS: the fault passed)
  std::string store;                // TraceStoreName()
};

// Checks the trace of the request URL `url` after the filter handled it and,
// when it is missing, writes it again to learn why (see RetryTrace).
TraceReport CheckTrace(std::string_view url);

// The lines every verb gives an administrator under its warning that traces
// were not written, each starting with `indent` and ending with '\n': the
// trace `store`; then why it cannot be written (`error`, the ErrorText of what
// writing again gave, and `note`, its TraceErrorNote, when not empty) or, when
// `error` is empty, that writing again worked. Bytes that could act on a
// terminal are escaped; backslashes stay (Windows' key and folder names).
std::string DescribeTraceFault(std::string_view store, std::string_view error,
                               std::string_view note, std::string_view indent);

// A few lines for an administrator about a report whose trace is missing:
// which path, that the request passed unchanged, and DescribeTraceFault's.
// Each line ends with '\n'.
std::string DescribeMissingTrace(const TraceReport& report);

}  // namespace refwarden
