// refwarden.exe under Wine as an administrator runs it on the server, beside
// the filter it loads: check, reg query, what the platform's own reg.exe
// reads of the trace, a trace key nobody may write, the filter of the other
// bitness, --version and the command lines it refuses.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "RefwardenVersion.h"
#include "filter/RequestTrace.h"
#include "tests/support/TempStore.h"
#include "tests/win32/WindowsPaths.h"
#include "tests/win32/WindowsProcess.h"

namespace refwarden {
namespace {

using testing::ProgramRun;

// Runs `program` as testing::RunProgram does, its output with the CRs of
// text mode removed.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  ProgramRun run = testing::RunProgram(program, arguments);
  for (std::string* text : {&run.out, &run.err})
    text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
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
// access is denied (9). Wine words the reason its own way, so only its
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
  EXPECT_EQ(query.status, 9);
}

TEST_F(ToolTest, RefusesTheFilterOfTheOtherBitnessAndSaysWhy) {
  const std::string other = testing::OtherBitnessFilter();
  if (other.empty()) GTEST_SKIP() << "only the package build (packaging/) builds both bitnesses";
  const ProgramRun run = RunProgram(Tool(), {"--filter", other, "check", "--host", "h", "/a.jpg"});
  const std::string said = run.out + run.err;
  const std::string bits = sizeof(void*) == 8 ? "64" : "32";
  EXPECT_EQ(said.rfind("refwarden: cannot load filter library ", 0), 0u) << said;
  EXPECT_NE(said.find("(not a " + bits + "-bit DLL;"), std::string::npos) << said;
  EXPECT_EQ(run.status, 1);
}

// --version, and command lines the tool refuses: each refusal is the one
// usage status (2), with a message that says why.
TEST_F(ToolTest, SaysItsVersionAndRefusesWhatItDoesNotTake) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string said;  // held by stdout and stderr together
  } rows[] = {
      {{"--version"}, 0, "refwarden " REFWARDEN_VERSION "\n"},
      {{"serve", "--demo"}, 2, "serve is in the Linux tool only"},
      {{"check", "--host", "h", "--bogus", "/a.jpg"}, 2, "not expected: --bogus"},
      {{"reg", "delete", "HKCU\\software\\tarnwel"}, 2, "reg delete is left to"},
  };
  for (const auto& row : rows) {
    const ProgramRun run = RunProgram(Tool(), row.args);
    EXPECT_EQ(run.status, row.status) << row.args[0] << "\n" << run.err;
    EXPECT_NE((run.out + run.err).find(row.said), std::string::npos) << row.args[0] << run.err;
  }
}

}  // namespace
}  // namespace refwarden
