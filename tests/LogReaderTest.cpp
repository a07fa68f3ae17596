#include "tools/replay/LogReader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/replay/LogRequests.h"

namespace refwarden {
namespace {

namespace fs = std::filesystem;

class LogReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // std::filesystem, not the POSIX temp helpers: this test runs on Windows too.
    dir_ = fs::temp_directory_path() /
           ("refwarden-logreader-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string WritePlain(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Each piece becomes one gzip member of the file.
  std::string WriteGzip(const std::string& name, const std::vector<std::string>& members) {
    const std::string path = (dir_ / name).string();
    for (std::size_t i = 0; i < members.size(); ++i) {
      gzFile file = gzopen(path.c_str(), i == 0 ? "wb" : "ab");
      EXPECT_NE(file, nullptr);
      gzwrite(file, members[i].data(), static_cast<unsigned>(members[i].size()));
      gzclose(file);
    }
    return path;
  }

  // The lines read; a line skipped for its length reads as "(too long)".
  static std::vector<std::string> ReadAll(LogReader& reader) {
    std::vector<std::string> lines;
    std::string_view line;
    for (LogReader::Next next; (next = reader.NextLine(&line)) != LogReader::Next::kEnd;)
      lines.emplace_back(next == LogReader::Next::kLine ? line : "(too long)");
    return lines;
  }

  fs::path dir_;
};

TEST_F(LogReaderTest, PlainAndGzipReadAlike) {
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  };
  const std::string longest(LogReader::kMaxLineLength, 'x');
  const std::string big(3 << 20, 'x');  // longer than a block
  const std::string bom = "\xEF\xBB\xBF";
  const Case cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"one\n", {"one"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"\n\nthree\n", {"", "", "three"}},
      {"a\rb\n", {"a\rb"}},
      // Without "\n", a lone "\r" ends lines (old Mac text).
      {"one\rtwo\rthree", {"one", "two", "three"}},
      {"one\r\rthree\r", {"one", "", "three"}},
      {std::string("nul\0inside\n", 11), {std::string("nul\0inside", 10)}},
      {"short\n" + longest + "\r\n" + longest + "y\nend", {"short", longest, "(too long)", "end"}},
      {"short\n" + big + "\nend\n" + big, {"short", "(too long)", "end", "(too long)"}},
      // A byte-order mark starts the first line only, and is dropped there.
      {bom + "#Version: 1.0\r\n" + bom + "x\n", {"#Version: 1.0", bom + "x"}},
      {bom, {""}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string plain = WritePlain("plain" + std::to_string(n), c.content);
    // The compressed copy's name does not say so: the content does.
    const std::string packed = WriteGzip("packed" + std::to_string(n) + ".log", {c.content});
    ++n;
    for (const std::string& path : {plain, packed}) {
      LogReader reader;
      ASSERT_TRUE(reader.Open(path)) << reader.error();
      EXPECT_EQ(ReadAll(reader), c.lines) << path;
      EXPECT_EQ(reader.error(), "") << path;
      EXPECT_EQ(reader.lineNumber(), c.lines.size()) << path;
      EXPECT_EQ(reader.size(), fs::file_size(path)) << path;
    }
  }
}

#ifndef _WIN32
// A line that never ends (/dev/zero) is given up as soon as a stop is asked.
TEST_F(LogReaderTest, StopEndsALineWithoutEnd) {
  LogReader reader;
  const std::atomic<bool> stop{true};
  reader.SetStop(&stop);
  ASSERT_TRUE(reader.Open("/dev/zero"));
  std::string_view line;
  EXPECT_EQ(reader.NextLine(&line), LogReader::Next::kEnd);
  EXPECT_EQ(reader.error(), "");
}
#endif

// Gzip members one after another read as one stream (a line may span two),
// and plain bytes after the last member are read too, not dropped.
TEST_F(LogReaderTest, ConcatenatedMembersAndPlainTextAfterThemReadAsOne) {
  const std::string path = WriteGzip("rotated.log.gz", {"a\nb", "c\n", "d\n"});
  std::ofstream(path, std::ios::binary | std::ios::app) << "e\nf";
  LogReader reader;
  ASSERT_TRUE(reader.Open(path));
  EXPECT_EQ(ReadAll(reader), (std::vector<std::string>{"a", "bc", "d", "e", "f"}));
  EXPECT_EQ(reader.error(), "");
  EXPECT_EQ(reader.bytesRead(), fs::file_size(path));
}

// Damaged gzip ends the input with a plain-words reason, after every whole
// line before the damage.
TEST_F(LogReaderTest, DamagedGzipSaysWhat) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\n";
  struct Case {
    const char* name;
    void (*damage)(const std::string& path);
    const char* error;
  };
  const Case cases[] = {
      {"cut in half", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) / 2); },
       "the file is truncated: its gzip data stops before the end"},
      {"trailer cut", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) - 3); },
       "the file is truncated: its gzip data stops before the end"},
      {"checksum overwritten",
       [](const std::string& p) {
         std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(-8, std::ios::end);
         f.write("XXXX", 4);
       },
       "its gzip data is damaged (incorrect data check)"},
  };
  for (const Case& c : cases) {
    const std::string path = WriteGzip(std::string(c.name) + ".gz", {content});
    c.damage(path);
    LogReader reader;
    ASSERT_TRUE(reader.Open(path));
    const std::vector<std::string> lines = ReadAll(reader);
    EXPECT_EQ(reader.error(), c.error) << c.name;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ASSERT_EQ(lines[i], "line " + std::to_string(i)) << c.name;
    }
  }
}

TEST_F(LogReaderTest, UnopenableFilesSayWhy) {
  LogReader missing;
  EXPECT_FALSE(missing.Open((dir_ / "absent.log").string()));
  EXPECT_EQ(missing.error(), "No such file or directory");
  LogReader directory;
  EXPECT_FALSE(directory.Open(dir_.string()));
  EXPECT_EQ(directory.error(), "is a directory");
  std::string_view line;
  EXPECT_EQ(directory.NextLine(&line), LogReader::Next::kEnd);
}

// What the one reader gives of a log: every request once and in order, the
// lines Preview read first included, with the malformed ones' numbers told to
// the reporter, and a refusal where the log cannot be replayed.
class Recorder final : public LogRequests::Reporter {
 public:
  void Malformed(std::uint64_t lineNumber, bool tooLong) override {
    said += (tooLong ? " long:" : " bad:") + std::to_string(lineNumber);
  }
  void Refused(LogRefusal, const std::string& message) override { said += " refused: " + message; }
  std::string said;
};

TEST_F(LogReaderTest, LogRequestsGiveEveryLineOnceFromOneRead) {
  const std::string fields = "#Fields: cs-uri-stem cs-host cs(Referer)\n";
  std::string manyDirectives;  // more than Preview holds
  for (int i = 0; i < 1500; ++i) manyDirectives += "#Remark: " + std::to_string(i) + "\n";
  const std::string combined = "1.2.3.4 - - [d] \"GET /c.jpg HTTP/1.1\" 200 1 \"-\" \"-\"\n";
  struct Case {
    const char* what;
    std::string content;
    bool host;             // --host given
    std::string requests;  // the URLs read, each followed by its host
    std::string said;      // what the reporter heard
    std::uint64_t lines;
  };
  const Case cases[] = {
      {"empty", "", false, "", "", 0},
      {"directives only", "#Version: 1.0\n" + fields, false, "", "", 2},
      {"W3C", fields + "/a.jpg h -\nnot-a-line\n/b.jpg h -\n", false, "/a.jpg@h /b.jpg@h", " bad:3",
       4},
      {"a malformed first data line", fields + "x\n/a.jpg h -\n", false, "/a.jpg@h", " bad:2", 3},
      {"a directive block longer than the preview", manyDirectives + fields + "/a.jpg h -\n", false,
       "/a.jpg@h", "", 1502},
      {"a first line too long",
       std::string(LogReader::kMaxLineLength + 1, '#') + "\n" + fields + "/a.jpg h -\n", false,
       "/a.jpg@h", " long:1", 3},
      {"blank lines, then combined", "\n \n" + combined + combined, true,
       "/c.jpg@www.example.com /c.jpg@www.example.com", "", 4},
      {"combined without --host", combined, false, "",
       " refused: --host is required: log is in the combined log format, which records no Host "
       "header",
       0},
      {"a later directive without the host",
       fields + "/a.jpg h -\n#Fields: cs-uri-stem "
                "cs(Referer)\n/b.jpg -\n",
       false, "/a.jpg@h",
       " refused: --host is required: log:3 is a #Fields directive without cs-host or cs(Host)", 3},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string plain = WritePlain("requests" + std::to_string(n), c.content);
    const std::string packed = WriteGzip("requests" + std::to_string(n) + ".gz", {c.content});
    ++n;
    for (const std::string& path : {plain, packed}) {
      LogRequestsOptions options;
      if (c.host) options.host = "www.example.com";
      Recorder recorder;
      LogRequests requests(path, "log", options, &recorder);
      ASSERT_TRUE(requests.Open()) << requests.error();
      const bool previewed = requests.Preview();
      std::string got;
      for (LogRequest request; requests.Next(&request);) {
        got +=
            (got.empty() ? "" : " ") + std::string(request.url) + "@" + std::string(request.host);
      }
      EXPECT_EQ(got, c.requests) << c.what << ", " << path;
      EXPECT_EQ(recorder.said, c.said) << c.what << ", " << path;
      EXPECT_EQ(requests.lines(), c.lines) << c.what << ", " << path;
      EXPECT_EQ(previewed, c.said.find("refused") == std::string::npos ||
                               std::string(c.what) == "a later directive without the host")
          << c.what;
      EXPECT_EQ(requests.error(), "") << c.what << ", " << path;
    }
  }
}

}  // namespace
}  // namespace refwarden
