#include "tools/TraceCheck.h"

#include <cstring>

#include "filter/RequestHandling.h"
#include "filter/RequestTrace.h"
#include "strings/ByteEscapes.h"

namespace refwarden {

namespace {

std::string NulTerminated(std::string_view name) {
  return std::string(name.substr(0, name.find('\0')));
}

#ifndef _WIN32
// The texts Windows gives for the codes the store returns.
const char* WindowsErrorText(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid.";
    case ERROR_OUTOFMEMORY:
      return "Not enough storage is available to complete this operation.";
    case ERROR_WRITE_FAULT:
      return "The system cannot write to the specified device.";
    case ERROR_LOCK_VIOLATION:
      return "The process cannot access the file because another process has locked a portion of "
             "the file.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_DISK_FULL:
      return "There is not enough space on the disk.";
    case ERROR_BUSY:
      return "The requested resource is in use.";
    case ERROR_MORE_DATA:
      return "More data is available.";
    case ERROR_NO_MORE_ITEMS:
      return "No more data is available.";
    case ERROR_BADDB:
      return "The configuration registry database is corrupt.";
    default:
      return nullptr;
  }
}
#endif

}  // namespace

std::string_view FilterReads(std::string_view value) {
  if (value.size() >= kValueBufferSize) return {};
  return value.substr(0, value.find('\0'));
}

std::string_view TracedPath(std::string_view url) {
  url = FilterReads(url);
  return url.substr(0, url.find('?'));
}

std::string TracedName(std::string_view url) { return std::string(TracedPath(url)); }

bool TraceWasWritten(std::string_view name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  const std::string valueName = NulTerminated(name);
  char data[sizeof kTraceData + 1] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  const LONG r = RegQueryValueExA(key, valueName.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return r == ERROR_SUCCESS && type == REG_SZ && size == sizeof kTraceData &&
         std::memcmp(data, kTraceData, sizeof kTraceData) == 0;
}

std::string TraceStoreName() {
#ifdef _WIN32
  return std::string("HKEY_CURRENT_USER\\") + kTraceKey;
#else
  return CurrentRegistryStore().description;
#endif
}

bool TraceCanBeReadBack() {
#ifdef _WIN32
  return true;
#else
  return !CurrentRegistryStore().processLocal;
#endif
}

LONG RetryTrace(std::string_view name) {
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return r;
  const std::string valueName = NulTerminated(name);
  r = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kTraceData),
                     sizeof kTraceData);
  RegCloseKey(key);
  return r;
}

std::string ErrorText(LONG code) {
#ifdef _WIN32
  char text[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  if (!message.empty()) return message;
#else
  if (const char* text = WindowsErrorText(code)) return text;
#endif
  return "Error " + std::to_string(code) + ".";
}

std::string TraceErrorNote(LONG code) {
#ifndef _WIN32
  if (code == ERROR_BADDB)
    return "(it is not a registry store: a folder, device, FIFO or a file of something else)";
#else
  static_cast<void>(code);
#endif
  return "";
}

TraceReport CheckTrace(std::string_view url) {
  TraceReport report;
  report.name = TracedName(url);
  report.store = TraceStoreName();
  // A store the tool cannot read refuses no trace short of memory (see
  // TraceCanBeReadBack): taken as written.
  report.written = !TraceCanBeReadBack() || TraceWasWritten(report.name);
  if (!report.written) report.retryError = RetryTrace(report.name);
  return report;
}

std::string DescribeTraceFault(std::string_view store, std::string_view error,
                               std::string_view note, std::string_view indent) {
  const auto shown = [](std::string_view text) {
    return EscapeBytes(text, HighBytes::kValidUtf8Kept, Backslash::kKept);
  };
  const std::string lead(indent);
  std::string text = lead + "trace store: " + shown(store) + '\n';
  if (error.empty()) {
    text += lead +
            "writing the trace again worked: the fault has passed (the store may have "
            "been busy).\n";
  } else {
    text += lead + "it cannot be written: " + shown(error) + '\n';
  }
  if (!note.empty()) text += lead + shown(note) + '\n';
  return text;
}

std::string DescribeMissingTrace(const TraceReport& report) {
  const bool failed = report.retryError != ERROR_SUCCESS;
  return "warning: the trace of '" + EscapeBytes(report.name, HighBytes::kValidUtf8Kept) +
         "' was not written, so the filter let the request pass unchanged.\n" +
         DescribeTraceFault(report.store, failed ? ErrorText(report.retryError) : "",
                            failed ? TraceErrorNote(report.retryError) : "", "  ");
}

}  // namespace refwarden
