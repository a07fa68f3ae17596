// refwarden.exe under Wine as an administrator runs it on the server, beside
// the filter it loads: check, reg query, what the platform's own reg.exe
// reads of the trace, a trace key nobody may write, the filter of the other
// bitness, and --version.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "RefwardenVersion.h"
#include "filter/RequestTrace.h"
#include "tests/support/TempStore.h"
#include "tests/win32/WindowsPaths.h"

namespace refwarden {
namespace {

struct ProgramRun {
  int status = -1;  // the exit code; -1 when the program did not start
  std::string out, err;
};

// Quotes one argument as the C run-time splits a command line.
std::string Quoted(const std::string& argument) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

// The whole of `path` with CRs removed (a program's text-mode output).
std::string ReadText(const std::string& path) {
  std::string text;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    for (DWORD i = 0; i < n; ++i) {
      if (buffer[i] != '\r') text.push_back(buffer[i]);
    }
  }
  CloseHandle(file);
  return text;
}

// Runs `program` with `arguments` and waits for it; what it writes to its
// standard output and error goes through files in the temporary folder.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string outPath = std::string(temp) + "refwarden-tooltest.out";
  const std::string errPath = std::string(temp) + "refwarden-tooltest.err";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string command = Quoted(program);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  ProgramRun run;
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  run.out = ReadText(outPath);
  run.err = ReadText(errPath);
  DeleteFileA(outPath.c_str());
  DeleteFileA(errPath.c_str());
  return run;
}

std::string Tool() { return testing::ProgramFolder() + "\\refwarden.exe"; }

// The platform's reg.exe of this program's bitness, or with `native` the
// 64-bit one, which an administrator's console runs on 64-bit Windows.
std::string RegExe(bool native) {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  return std::string(windows) + (native ? "\\sysnative\\reg.exe" : "\\system32\\reg.exe");
}

// A line of reg query's listing: the value `name`, REG_SZ, "ok".
bool ListsTracedValue(const std::string& listing, const std::string& name) {
  const std::regex line("(^|\n)\\s+" + std::regex_replace(name, std::regex("[.]"), "\\.") +
                        "\\s+REG_SZ\\s+ok(\n|$)");
  return std::regex_search(listing, line);
}

class ToolTest : public ::testing::Test {
 protected:
  testing::TempStore store;
};

TEST_F(ToolTest, CheckAnswersAndItsTraceIsReadBack) {
  struct Case {
    const char* referer;
    const char* url;
    const char* answer;
    const char* traced;
  };
  const Case cases[] = {
      {"http://elsewhere.net/", "/gallery/cat.jpg?w=1", "rewrite /refwarden.jpg\n",
       "/gallery/cat.jpg"},
      {"http://www.example.org/", "/gallery/dog.png", "pass\n", "/gallery/dog.png"},
  };
  for (const Case& c : cases) {
    const ProgramRun run =
        RunProgram(Tool(), {"check", "--host", "www.example.org", "--referer", c.referer, c.url});
    EXPECT_EQ(run.out, c.answer) << c.url << "\n" << run.err;
    EXPECT_EQ(run.status, 0) << c.url;
  }
  const ProgramRun ours = RunProgram(Tool(), {"reg", "query", "HKCU\\software\\tarnwel\\debug"});
  EXPECT_EQ(ours.status, 0) << ours.err;
  std::vector<std::string> readers = {RegExe(false)};
  if (sizeof(void*) == 4) readers.push_back(RegExe(true));  // a 32-bit pool's trace, read by 64-bit
  for (const Case& c : cases) {
    EXPECT_TRUE(ListsTracedValue(ours.out, c.traced)) << "refwarden reg query:\n" << ours.out;
    for (const std::string& reg : readers) {
      const ProgramRun theirs =
          RunProgram(reg, {"query", "HKCU\\software\\tarnwel\\debug", "/v", c.traced});
      EXPECT_TRUE(ListsTracedValue(theirs.out, c.traced)) << reg << " query:\n"
                                                          << theirs.out << theirs.err;
    }
  }
}

// An empty DACL grants nothing (a null one everything); the key's owner keeps
// the right to change it either way.
LONG SetTraceKeyDacl(bool grantNothing) {
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, kTraceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           WRITE_DAC, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return r;
  SECURITY_DESCRIPTOR sd;
  ACL empty;
  if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !InitializeAcl(&empty, sizeof empty, ACL_REVISION) ||
      !SetSecurityDescriptorDacl(&sd, TRUE, grantNothing ? &empty : nullptr, FALSE)) {
    r = static_cast<LONG>(GetLastError());
  } else {
    r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
  }
  RegCloseKey(key);
  return r;
}

// As for a pool identity without rights on the trace key: the request passes,
// check warns with the key and the reason and exits 3, and reg query says
// access is denied (2). Wine words the reason its own way, so only its
// presence is checked.
TEST_F(ToolTest, TraceKeyNobodyMayWrite) {
  ASSERT_EQ(SetTraceKeyDacl(true), ERROR_SUCCESS);
  const ProgramRun check = RunProgram(Tool(), {"check", "--host", "www.example.org", "--referer",
                                               "http://elsewhere.net/", "/gallery/denied.jpg"});
  const ProgramRun query = RunProgram(Tool(), {"reg", "query", "HKCU\\software\\tarnwel\\debug"});
  ASSERT_EQ(SetTraceKeyDacl(false), ERROR_SUCCESS);  // so that TempStore can remove it

  EXPECT_EQ(check.out, "pass\n");
  EXPECT_EQ(check.status, 3);
  EXPECT_NE(check.err.find("was not written"), std::string::npos) << check.err;
  EXPECT_NE(check.err.find("  trace store: HKEY_CURRENT_USER\\software\\tarnwel\\debug\n"),
            std::string::npos)
      << check.err;
  EXPECT_TRUE(std::regex_search(check.err, std::regex("\n  it cannot be written: .+\n")))
      << check.err;
  EXPECT_EQ(query.out + query.err, "ERROR: Access is denied.\n");
  EXPECT_EQ(query.status, 2);
}

TEST_F(ToolTest, RefusesTheFilterOfTheOtherBitnessAndSaysWhy) {
  const std::string other = testing::OtherBitnessFilter();
  if (other.empty()) GTEST_SKIP() << "only the package build (packaging/) builds both bitnesses";
  const ProgramRun run = RunProgram(Tool(), {"--filter", other, "check", "--host", "h", "/a.jpg"});
  const std::string said = run.out + run.err;
  const std::string bits = sizeof(void*) == 8 ? "64" : "32";
  EXPECT_EQ(said.rfind("refwarden: cannot load filter library ", 0), 0u) << said;
  EXPECT_NE(said.find("(not a " + bits + "-bit DLL;"), std::string::npos) << said;
  EXPECT_NE(run.status, 0);
}

TEST_F(ToolTest, SaysItsVersion) {
  const ProgramRun run = RunProgram(Tool(), {"--version"});
  EXPECT_EQ(run.out, "refwarden " REFWARDEN_VERSION "\n");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
}  // namespace refwarden
