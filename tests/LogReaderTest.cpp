#include "tools/replay/LogReader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace refwarden
