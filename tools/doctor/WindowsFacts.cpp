#include "tools/doctor/WindowsFacts.h"

// windows.h first: sddl.h and wincrypt.h need its types.
#include "platform/Platform.h"
// clang-format off
#include <sddl.h>
#include <wincrypt.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace refwarden::doctor {

namespace {

// Turns the WoW64 file-system redirector off for its lifetime (a no-op for
// 64-bit processes and on 32-bit Windows).
class NoRedirection {
 public:
  NoRedirection() { disabled_ = Wow64DisableWow64FsRedirection(&old_) != FALSE; }
  ~NoRedirection() {
    if (disabled_) Wow64RevertWow64FsRedirection(old_);
  }
  NoRedirection(const NoRedirection&) = delete;
  NoRedirection& operator=(const NoRedirection&) = delete;

 private:
  PVOID old_ = nullptr;
  bool disabled_ = false;
};

// TerminateFilter's flag: the server is about to unload the filter.
constexpr DWORD kTerminateMustUnload = 1;

const char* const kFilterExports[] = {"GetFilterVersion", "HttpFilterProc", "TerminateFilter"};

// The file offset of relative virtual address `rva`, through the section
// table; 0 when no section holds it.
template <typename Headers>
size_t OffsetOf(const std::string& image, const Headers* nt, DWORD rva) {
  const auto* section = IMAGE_FIRST_SECTION(nt);
  const size_t first = reinterpret_cast<const char*>(section) - image.data();
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (first + (i + 1) * sizeof(IMAGE_SECTION_HEADER) > image.size()) return 0;
    const DWORD size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
    if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size) {
      const size_t offset = size_t(section->PointerToRawData) + (rva - section->VirtualAddress);
      return offset < image.size() ? offset : 0;
    }
  }
  return 0;
}

// The names the export directory of `image` lists, read through the headers
// of its bitness; false when the directory is out of the file.
template <typename Headers>
bool ExportNames(const std::string& image, const Headers* nt, std::vector<std::string>& names) {
  if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT) return true;
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (entry.VirtualAddress == 0) return true;
  const size_t at = OffsetOf(image, nt, entry.VirtualAddress);
  if (at == 0 || at + sizeof(IMAGE_EXPORT_DIRECTORY) > image.size()) return false;
  IMAGE_EXPORT_DIRECTORY directory;
  std::memcpy(&directory, image.data() + at, sizeof directory);
  const size_t table = OffsetOf(image, nt, directory.AddressOfNames);
  if (directory.NumberOfNames == 0) return true;
  if (table == 0 || table + size_t(directory.NumberOfNames) * 4 > image.size()) return false;
  for (DWORD i = 0; i < directory.NumberOfNames; ++i) {
    DWORD rva;
    std::memcpy(&rva, image.data() + table + i * 4, 4);
    const size_t name = OffsetOf(image, nt, rva);
    if (name == 0) return false;
    const size_t end = image.find('\0', name);
    if (end == std::string::npos) return false;
    names.push_back(image.substr(name, end - name));
  }
  return true;
}

void ReadPe(const std::string& image, DllFacts& facts) {
  IMAGE_DOS_HEADER dos;
  if (image.size() < sizeof dos) {
    facts.notPeReason = "too short for a PE image";
    return;
  }
  std::memcpy(&dos, image.data(), sizeof dos);
  const size_t at = static_cast<size_t>(dos.e_lfanew);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      at + sizeof(IMAGE_NT_HEADERS32) > image.size()) {
    facts.notPeReason = "no PE headers";
    return;
  }
  const auto* nt32 = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image.data() + at);
  if (nt32->Signature != IMAGE_NT_SIGNATURE) {
    facts.notPeReason = "no PE signature";
    return;
  }
  const WORD machine = nt32->FileHeader.Machine;
  const WORD magic = nt32->OptionalHeader.Magic;
  if (machine == IMAGE_FILE_MACHINE_I386 && magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    facts.bits = 32;
  } else if (machine == IMAGE_FILE_MACHINE_AMD64 && magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC &&
             at + sizeof(IMAGE_NT_HEADERS64) <= image.size()) {
    facts.bits = 64;
  } else {
    char reason[80];
    std::snprintf(reason, sizeof reason, "a PE image for machine 0x%04X, not x86 or x64", machine);
    facts.notPeReason = reason;
    return;
  }
  if (!(nt32->FileHeader.Characteristics & IMAGE_FILE_DLL)) {
    facts.notPeReason = "a program, not a DLL";
    return;
  }
  std::vector<std::string> names;
  const bool read =
      facts.bits == 32
          ? ExportNames(image, nt32, names)
          : ExportNames(image, reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + at),
                        names);
  if (!read) {
    facts.notPeReason = "its export directory lies outside the file";
    return;
  }
  facts.isPeDll = true;
  for (const char* wanted : kFilterExports) {
    bool found = false;
    for (const std::string& name : names) found = found || name == wanted;
    if (!found) facts.missingExports.push_back(wanted);
  }
}

// Loads the DLL (of this tool's bitness) as IIS does and asks it to register.
void TryRegistration(const std::string& path, DllFacts& facts) {
  facts.registrationTried = true;
  HMODULE module = LoadLibraryExW(Widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    facts.registrationError = "LoadLibrary: " + WindowsErrorText(GetLastError());
    return;
  }
  using GetFilterVersionFunction = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
  using TerminateFilterFunction = BOOL(WINAPI*)(DWORD);
  auto getFilterVersion = reinterpret_cast<GetFilterVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetFilterVersion")));
  auto terminateFilter = reinterpret_cast<TerminateFilterFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, "TerminateFilter")));
  if (getFilterVersion == nullptr) {
    facts.registrationError = "it exports no GetFilterVersion";
  } else {
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;
    if (!getFilterVersion(&version)) {
      facts.registrationError = "it returned FALSE";
    } else {
      version.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
      facts.flags = version.dwFlags;
      facts.description = version.lpszFilterDesc;
    }
    if (terminateFilter != nullptr) terminateFilter(kTerminateMustUnload);
  }
  FreeLibrary(module);
}

std::string FileTimeText(const FILETIME& time) {
  SYSTEMTIME t;
  if (!FileTimeToSystemTime(&time, &t)) return "(unknown)";
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

std::string AccountOfSid(const std::wstring& sidText) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(sidText.c_str(), &sid)) return "";
  wchar_t name[256], domain[256];
  DWORD nameLength = 256, domainLength = 256;
  SID_NAME_USE use;
  std::string account;
  if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
    account = domainLength ? Narrow(domain) + "\\" + Narrow(name) : Narrow(name);
  LocalFree(sid);
  return account;
}

}  // namespace

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::string ExpandVariables(const std::string& text) {
  const std::wstring wide = Widen(text);
  const DWORD n = ExpandEnvironmentStringsW(wide.c_str(), nullptr, 0);
  if (n == 0) return text;
  std::wstring expanded(n, L'\0');
  const DWORD written = ExpandEnvironmentStringsW(wide.c_str(), expanded.data(), n);
  if (written == 0 || written > n) return text;
  expanded.resize(written - 1);
  return Narrow(expanded);
}

std::string WindowsErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n ? Narrow(std::wstring(text, n)) : "";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

std::string ReadWholeFile(const std::string& path, std::string& bytes, size_t limit) {
  HANDLE file;
  {
    NoRedirection scope;
    file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return WindowsErrorText(GetLastError());
  LARGE_INTEGER size;
  std::string error;
  if (!GetFileSizeEx(file, &size)) {
    error = WindowsErrorText(GetLastError());
  } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    error = "larger than " + std::to_string(limit >> 20) + " MB";
  } else {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
      DWORD got = 0;
      if (!ReadFile(file, bytes.data() + done, DWORD(bytes.size() - done), &got, nullptr)) {
        error = WindowsErrorText(GetLastError());
        break;
      }
      if (got == 0) break;
      done += got;
    }
    bytes.resize(done);
  }
  CloseHandle(file);
  return error;
}

bool FileExists(const std::string& path) {
  NoRedirection scope;
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Machine ReadMachine() {
  Machine machine;
  machine.toolBits = sizeof(void*) == 8 ? 64 : 32;
  BOOL wow64 = FALSE;
  machine.runsBothBitnesses =
      machine.toolBits == 64 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
  return machine;
}

DllFacts InspectDll(const std::string& path) {
  DllFacts facts;
  std::string image;
  if (path.empty() || !FileExists(path)) return facts;
  facts.exists = true;
  if (std::string error = ReadWholeFile(path, image); !error.empty()) {
    facts.openError = error;
    return facts;
  }
  ReadPe(image, facts);
  if (facts.isPeDll && facts.missingExports.empty() && facts.bits == ReadMachine().toolBits)
    TryRegistration(path, facts);
  return facts;
}

std::string AppPoolSid(const std::string& pool) {
  const std::wstring given = Widen(pool);
  std::wstring name(given.size(), L'\0');
  if (!given.empty() && LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, given.c_str(),
                                     int(given.size()), name.data(), int(name.size())) == 0)
    return "";
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return "";
  std::string sid;
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash)) {
    DWORD digest[5];
    DWORD length = sizeof digest;
    if (CryptHashData(hash, reinterpret_cast<const BYTE*>(name.data()),
                      DWORD(name.size() * sizeof(wchar_t)), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(digest), &length, 0) &&
        length == sizeof digest) {
      sid = "S-1-5-82";
      for (DWORD part : digest) sid += "-" + std::to_string(part);
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return sid;
}

std::optional<std::string> SidOfAccount(const std::string& account) {
  if (account.empty()) return std::nullopt;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  wchar_t domain[256];
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (LookupAccountNameW(nullptr, Widen(account).c_str(), sid, &sidSize, domain, &domainLength,
                         &use)) {
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
      std::string result = Narrow(text);
      LocalFree(text);
      return result;
    }
  }
  const std::string prefix = "IIS APPPOOL\\";
  if (account.size() > prefix.size() &&
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, account.data(), int(prefix.size()),
                     prefix.data(), int(prefix.size())) == CSTR_EQUAL) {
    std::string derived = AppPoolSid(account.substr(prefix.size()));
    if (!derived.empty()) return derived;
  }
  return std::nullopt;
}

std::vector<TraceKey> ReadTraces(std::string& error) {
  std::vector<TraceKey> traces;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    const LONG result =
        RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      error = WindowsErrorText(result);
      break;
    }
    const std::wstring sid(name, length);
    // .DEFAULT is LocalSystem's hive, also listed as S-1-5-18; *_Classes are
    // the classes of a hive already listed.
    if (sid == L".DEFAULT" || (sid.size() > 8 && sid.compare(sid.size() - 8, 8, L"_Classes") == 0))
      continue;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, (sid + L"\\software\\tarnwel\\debug").c_str(), 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
      continue;
    TraceKey trace;
    trace.sid = Narrow(sid);
    DWORD values = 0;
    FILETIME written{};
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, &written) == ERROR_SUCCESS) {
      trace.values = values;
      trace.lastWrite = FileTimeText(written);
    } else {
      trace.lastWrite = "(unknown)";
    }
    RegCloseKey(key);
    trace.account = AccountOfSid(sid);
    traces.push_back(trace);
  }
  return traces;
}

}  // namespace refwarden::doctor
