// refwarden.exe doctor as an administrator runs it, under Wine: the
// applicationHost.config of an IIS 10 install with the site and the two
// filter entries of INSTALL.txt (tests/win32/doctor), then each mistake as a
// small edit of it; the DLLs and placeholders laid out where INSTALL.txt puts
// them (C:\inetpub in the Wine prefix), and the pool's trace in a hive loaded
// under HKEY_USERS with RegLoadKey. Also reg query on HKEY_USERS and HKLM.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr bool k64 = sizeof(void*) == 8;
// The SID of IIS APPPOOL\DefaultAppPool, as Windows shows it.
constexpr const char* kPoolSid = "S-1-5-82-3006700770-424185619-1745488364-794895919-4004696415";
constexpr const char* kX64Path = "C:\\inetpub\\refwarden\\x64\\refwarden.dll";

std::string ExeDir() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of('\\'));
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void MakeFolders(const std::string& path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryA(path.c_str(), nullptr);
}

// `text` with its one occurrence of `from` replaced by `to`; fails the test
// when `from` is not there, so that a row cannot silently edit nothing.
std::string Edit(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "the configuration has no " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct ToolRun {
  DWORD status = 0;
  std::string out;
};

// Runs refwarden.exe (beside this program) with `arguments`, its output read
// through a pipe.
ToolRun RunTool(const std::string& arguments) {
  ToolRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {999, "CreatePipe failed"};
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  std::string command = "\"" + ExeDir() + "\\refwarden.exe\" " + arguments;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return {998, "CreateProcess failed"};
  }
  CloseHandle(writeEnd);
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
    run.out.append(buffer, got);
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &run.status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return run;
}

bool EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  const bool ok = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
                  AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                  GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

// Loads a hive holding software\tarnwel\debug with one traced path under
// HKEY_USERS\<sid>, as a pool's profile is loaded while it runs: the hive is
// saved from a scratch key with RegSaveKey, then loaded with RegLoadKey.
// Wine allows both once SeBackupPrivilege and SeRestorePrivilege are enabled
// (without them: ERROR_PRIVILEGE_NOT_HELD, 1314); it writes its own text
// format of hive file.
std::string LoadTraceHive(const std::string& sid, const std::string& file) {
  if (!EnablePrivilege("SeBackupPrivilege") || !EnablePrivilege("SeRestorePrivilege"))
    return "cannot enable the backup and restore privileges";
  const char* scratch = "software\\refwarden-doctor-test";
  RegDeleteTreeA(HKEY_CURRENT_USER, scratch);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER,
                      (std::string(scratch) + "\\software\\tarnwel\\debug").c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return "cannot make the scratch key";
  RegSetValueExA(key, "/gallery/a.jpg", 0, REG_SZ, reinterpret_cast<const BYTE*>("ok"), 3);
  RegCloseKey(key);
  RegOpenKeyExA(HKEY_CURRENT_USER, scratch, 0, KEY_ALL_ACCESS, &key);
  DeleteFileA(file.c_str());
  LONG result = RegSaveKeyA(key, file.c_str(), nullptr);
  RegCloseKey(key);
  RegDeleteTreeA(HKEY_CURRENT_USER, scratch);
  if (result != ERROR_SUCCESS) return "RegSaveKey: " + std::to_string(result);
  RegUnLoadKeyA(HKEY_USERS, sid.c_str());
  result = RegLoadKeyA(HKEY_USERS, sid.c_str(), file.c_str());
  return result == ERROR_SUCCESS ? "" : "RegLoadKey: " + std::to_string(result);
}

class DoctorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "refwarden-doctor-" + std::to_string(GetCurrentProcessId());
    MakeFolders(folder_);
    base_ = ReadWhole(REFWARDEN_DOCTOR_FIXTURE);
    // The DLLs where INSTALL.txt copies them: this build's own, and the other
    // bitness's from its build (REFWARDEN_OTHER_DLL overrides where that is).
    const char* other = getenv("REFWARDEN_OTHER_DLL");
    const std::string otherDll = other && *other ? other : REFWARDEN_OTHER_BITNESS_DLL;
    const std::string own = ExeDir() + "\\refwarden.dll";
    MakeFolders("C:\\inetpub\\refwarden\\x86");
    MakeFolders("C:\\inetpub\\refwarden\\x64");
    MakeFolders("C:\\inetpub\\wwwroot");
    otherFound_ = GetFileAttributesA(otherDll.c_str()) != INVALID_FILE_ATTRIBUTES;
    CopyFileA(own.c_str(), k64 ? kX64Path : "C:\\inetpub\\refwarden\\x86\\refwarden.dll", FALSE);
    CopyFileA(otherDll.c_str(), k64 ? "C:\\inetpub\\refwarden\\x86\\refwarden.dll" : kX64Path,
              FALSE);
    for (const char* ext : {"jpg", "gif", "png", "bmp"})
      WriteFile(std::string("C:\\inetpub\\wwwroot\\refwarden.") + ext, "placeholder");
    // A file that is a PE program, not a DLL, under a DLL's name.
    MakeFolders("C:\\inetpub\\bad");
    CopyFileA((ExeDir() + "\\refwarden.exe").c_str(), "C:\\inetpub\\bad\\refwarden.dll", FALSE);
    hiveError_ = LoadTraceHive(kPoolSid, folder_ + "\\pool.hive");
  }
  static void TearDownTestSuite() {
    RegUnLoadKeyA(HKEY_USERS, kPoolSid);
    for (const char* file :
         {"C:\\inetpub\\refwarden\\x86\\refwarden.dll", kX64Path, "C:\\inetpub\\bad\\refwarden.dll",
          "C:\\inetpub\\wwwroot\\refwarden.jpg", "C:\\inetpub\\wwwroot\\refwarden.gif",
          "C:\\inetpub\\wwwroot\\refwarden.png", "C:\\inetpub\\wwwroot\\refwarden.bmp"})
      DeleteFileA(file);
    for (const char* dir : {"C:\\inetpub\\refwarden\\x86", "C:\\inetpub\\refwarden\\x64",
                            "C:\\inetpub\\refwarden", "C:\\inetpub\\bad", "C:\\inetpub\\wwwroot"})
      RemoveDirectoryA(dir);
    DeleteFileA((folder_ + "\\pool.hive").c_str());
    DeleteFileA((folder_ + "\\applicationHost.config").c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  void SetUp() override {
    ASSERT_FALSE(base_.empty()) << "no fixture at " << REFWARDEN_DOCTOR_FIXTURE;
    ASSERT_TRUE(otherFound_) << "the refwarden.dll of the other bitness is not at "
                             << REFWARDEN_OTHER_BITNESS_DLL << " (set REFWARDEN_OTHER_DLL)";
    ASSERT_EQ(hiveError_, "");
  }

  static std::string folder_, base_, hiveError_;
  static bool otherFound_;
};

std::string DoctorTest::folder_, DoctorTest::base_, DoctorTest::hiveError_;
bool DoctorTest::otherFound_ = false;

const std::string kX86Entry =
    "<filter name=\"Refwarden-x86\" path=\"C:\\inetpub\\refwarden\\x86\\refwarden.dll\" "
    "enabled=\"true\" preCondition=\"bitness32\" />";
const std::string kX64Entry =
    "<filter name=\"Refwarden-x64\" path=\"C:\\inetpub\\refwarden\\x64\\refwarden.dll\" "
    "enabled=\"true\" preCondition=\"bitness64\" />";

struct Row {
  const char* name;
  std::function<std::string(const std::string&)> edit;  // of the fixture
  std::vector<std::string> expected;                    // "check severity" of the findings not ok
  DWORD exitStatus;
  std::function<void()> before = [] {};
  std::function<void()> after = [] {};
  std::string arguments = "";  // added to --config FILE, or in its place when it is a --config
};

std::string Same(const std::string& text) { return text; }

TEST_F(DoctorTest, EachMistakeGetsItsFindingAndStatus) {
  const Row rows[] = {
      {"the set-up of INSTALL.txt", Same, {}, 0},
      {"no such file",
       Same,
       {"config-unreadable error"},
       6,
       [] {},
       [] {},
       "--config C:\\inetpub\\none\\applicationHost.config"},
      {"not XML: cut short",
       [](const std::string& t) { return t.substr(0, t.size() / 2); },
       {"config-unreadable error"},
       6},
      {"root element not <configuration>",
       [](const std::string& t) {
         return Edit(Edit(t, "<configuration>", "<settings>"), "</configuration>", "</settings>");
       },
       {"config-unreadable error"},
       6},
      {"ISAPI Filters feature not installed",
       [](const std::string& t) {
         return Edit(Edit(t,
                          "<add name=\"IsapiFilterModule\" "
                          "image=\"%windir%\\System32\\inetsrv\\filter.dll\" />",
                          ""),
                     "<add name=\"IsapiFilterModule\" lockItem=\"true\" />", "");
       },
       {"module-missing error"},
       6},
      {"IsapiFilterModule removed from modules only",
       [](const std::string& t) {
         return Edit(t, "<add name=\"IsapiFilterModule\" lockItem=\"true\" />",
                     "<add name=\"IsapiFilterModule\" lockItem=\"true\" /><remove "
                     "name=\"IsapiFilterModule\" />");
       },
       {"module-missing error"},
       6},
      {"the site's collection cleared after its entries",
       [](const std::string& t) { return Edit(t, kX64Entry, kX64Entry + "<clear />"); },
       {"filter-not-configured error"},
       6},
      {"global entries, the x64 one removed for the site",
       [](const std::string& t) {
         const std::string s =
             Edit(Edit(t, kX86Entry + "\r\n", ""), kX64Entry, "<remove name=\"Refwarden-x64\" />");
         return Edit(s, "        <isapiFilters>\r\n        </isapiFilters>",
                     "<isapiFilters>" + kX86Entry + kX64Entry + "</isapiFilters>");
       },
       {"pool-unprotected error"},
       6},
      {"x64 path wrong",
       [](const std::string& t) {
         return Edit(t, kX64Path, "C:\\inetpub\\refwarden\\refwarden.dll");
       },
       {"dll-missing error", "pool-unprotected error"},
       6},
      {"x64 path names a program",
       [](const std::string& t) { return Edit(t, kX64Path, "C:\\inetpub\\bad\\refwarden.dll"); },
       {"dll-not-filter error", "pool-unprotected error"},
       6},
      {"x86 entry without precondition",
       [](const std::string& t) { return Edit(t, "preCondition=\"bitness32\" ", ""); },
       {"precondition-missing error"},
       6},
      {"preconditions swapped",
       [](const std::string& t) {
         const std::string s = Edit(t, "preCondition=\"bitness32\"", "preCondition=\"@\"");
         return Edit(Edit(s, "preCondition=\"bitness64\"", "preCondition=\"bitness32\""),
                     "preCondition=\"@\"", "preCondition=\"bitness64\"");
       },
       {"precondition-wrong error", "precondition-wrong error", "pool-unprotected error"},
       6},
      {"32-bit pool, x86 entry gone",
       [](const std::string& t) {
         return Edit(Edit(t, "<add name=\"DefaultAppPool\" />",
                          "<add name=\"DefaultAppPool\" enable32BitAppOnWin64=\"true\" />"),
                     kX86Entry, "");
       },
       {"pool-unprotected error"},
       6},
      {"enableCache true",
       [](const std::string& t) {
         return Edit(t, "enabled=\"true\" preCondition=\"bitness64\"",
                     "enabled=\"true\" enableCache=\"true\" preCondition=\"bitness64\"");
       },
       {"enable-cache error"},
       6},
      {"x86 entry disabled",
       [](const std::string& t) {
         return Edit(t, "enabled=\"true\" preCondition=\"bitness32\"",
                     "enabled=\"false\" preCondition=\"bitness32\"");
       },
       {"filter-disabled warning"},
       5},
      {"pool without its profile",
       [](const std::string& t) {
         return Edit(t, "<add name=\"DefaultAppPool\" />",
                     "<add name=\"DefaultAppPool\">\r\n<processModel loadUserProfile=\"false\" "
                     "/>\r\n</add>");
       },
       {"user-profile error"},
       6},
      {"placeholder .png missing",
       Same,
       {"placeholder-missing warning"},
       5,
       [] { DeleteFileA("C:\\inetpub\\wwwroot\\refwarden.png"); },
       [] { WriteFile("C:\\inetpub\\wwwroot\\refwarden.png", "placeholder"); }},
      {"a pool that has not traced yet",
       [](const std::string& t) {
         return Edit(Edit(t, "<application path=\"/\">",
                          "<application path=\"/\" applicationPool=\"Gallery\">"),
                     "<add name=\"DefaultAppPool\" />",
                     "<add name=\"DefaultAppPool\" />\r\n<add name=\"Gallery\" />");
       },
       {"trace warning"},
       5},
      {"no such site", Same, {"filter-not-configured error"}, 6, [] {}, [] {}, "--site Gallery"},
      {"paths with variables",
       [](const std::string& t) {
         return Edit(t, kX64Path, "%SystemDrive%\\inetpub\\refwarden\\x64\\refwarden.dll");
       },
       {},
       0},
  };
  const std::string config = folder_ + "\\applicationHost.config";
  for (const Row& row : rows) {
    WriteFile(config, row.edit(base_));
    row.before();
    // A row's own --config replaces the edited file's.
    const std::string where =
        row.arguments.rfind("--config", 0) == 0 ? "" : "--config \"" + config + "\" ";
    const ToolRun run = RunTool("doctor --json " + where + row.arguments);
    row.after();
    std::vector<std::string> notOk;
    nlohmann::json json;
    try {
      json = nlohmann::json::parse(run.out);
      for (const auto& f : json.at("findings")) {
        if (f.at("severity") != "ok")
          notOk.push_back(f.at("check").get<std::string>() + " " +
                          f.at("severity").get<std::string>());
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << row.name << ": not the JSON of findings (" << e.what() << "):\n" << run.out;
      continue;
    }
    EXPECT_EQ(notOk, row.expected) << row.name << "\n" << json.dump(1);
    EXPECT_EQ(run.status, row.exitStatus) << row.name;
  }
}

// The set-up of INSTALL.txt: every check is ok, the DLL of the tool's own
// bitness registers as the filter, and the pool's trace is found in its hive.
TEST_F(DoctorTest, TheCorrectSetUpIsOk) {
  const std::string config = folder_ + "\\applicationHost.config";
  WriteFile(config, base_);
  const ToolRun run = RunTool("doctor --json --config \"" + config + "\"");
  const nlohmann::json json = nlohmann::json::parse(run.out);
  std::string registers, trace;
  for (const auto& f : json.at("findings")) {
    EXPECT_EQ(f.at("severity"), "ok") << f.dump();
    if (f.at("check") == "dll-registers") registers = f.at("message");
    if (f.at("check") == "trace") trace = f.at("message");
  }
  EXPECT_NE(registers.find(k64 ? "Refwarden-x64" : "Refwarden-x86"), std::string::npos)
      << registers;
  EXPECT_NE(registers.find("with flags 0x00024000"), std::string::npos) << registers;
  EXPECT_NE(trace.find(kPoolSid), std::string::npos) << trace;
  EXPECT_NE(trace.find("holds 1 values"), std::string::npos) << trace;
  EXPECT_EQ(run.status, 0u);

  // The text form groups the same by subject.
  const ToolRun text = RunTool("doctor --config \"" + config + "\"");
  EXPECT_EQ(text.status, 0u);
  EXPECT_NE(text.out.find("site 'Default Web Site'\r\n  ok       filter-not-configured: "),
            std::string::npos)
      << text.out;
}

// Without --config, doctor reads System32\inetsrv\config itself: the 32-bit
// tool past the file-system redirector, which would show it SysWOW64.
TEST_F(DoctorTest, TheDefaultPathIsReadPastTheRedirector) {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  const std::string folder = std::string(windows) + "\\System32\\inetsrv\\config";
  PVOID old = nullptr;
  const BOOL redirected = Wow64DisableWow64FsRedirection(&old);
  MakeFolders(folder);
  WriteFile(folder + "\\applicationHost.config", base_);
  if (redirected) Wow64RevertWow64FsRedirection(old);
  const ToolRun run = RunTool("doctor --json");
  EXPECT_EQ(run.status, 0u) << run.out;
  EXPECT_NE(run.out.find("inetsrv\\\\config\\\\applicationHost.config"), std::string::npos)
      << run.out;
  if (Wow64DisableWow64FsRedirection(&old)) {
    DeleteFileA((folder + "\\applicationHost.config").c_str());
    Wow64RevertWow64FsRedirection(old);
  } else {
    DeleteFileA((folder + "\\applicationHost.config").c_str());
  }
}

// reg query reads any root of the real registry, as reg.exe does: the pool's
// trace under HKEY_USERS, and HKEY_LOCAL_MACHINE.
TEST_F(DoctorTest, RegQueryReadsEveryRoot) {
  const struct {
    std::string key;
    DWORD status;
    std::string shows;
  } rows[] = {
      {std::string("HKU\\") + kPoolSid + "\\software\\tarnwel\\debug", 0,
       std::string("HKEY_USERS\\") + kPoolSid +
           "\\software\\tarnwel\\debug\r\n    /gallery/a.jpg    REG_SZ    ok"},
      {std::string("HKEY_USERS\\") + kPoolSid + "\\software\\tarnwel\\debug", 0, "/gallery/a.jpg"},
      {"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
       "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\r\n"},
      {"HKU\\S-1-5-82-1-2-3-4-5\\software", 4, "ERROR: The system was unable to find"},
      {"HKXY\\software", 4, "ERROR: Invalid key name"},
  };
  for (const auto& row : rows) {
    const ToolRun run = RunTool("reg query \"" + row.key + "\"");
    EXPECT_EQ(run.status, row.status) << row.key << "\n" << run.out;
    EXPECT_NE(run.out.find(row.shows), std::string::npos) << row.key << "\n" << run.out;
  }
}

}  // namespace
